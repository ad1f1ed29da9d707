"""Running large graphs: the executor's own cost against the kernels it calls.

Run: python bench/bench_run.py [--before PYTHON] [nodes ...]      (default: 300000 1000000)

Records bench/synthetic.py's `lanes` graph of about N nodes (element-wise chains over 256
sources of 2-element float64 arrays, with commutative twins, identity ops, dead branches and
partial sums; about a third of its nodes survive reduction) and measures, best of 3 rounds of
CPU time:
  - bare loop: the recorded graph's views, built beforehand, walked in id order (dead nodes too),
    calling `kernels[name](*inputs, **params)` or `sources(name, params)` for each node;
  - evaluate of the recorded and of the reduced graph, with the NumPy kernels, and the same
    with `profile=trellan.Profile()` (where the build has it), measured alternately with the
    plain runs, so that the profile's cost is a ratio within one run;
  - to_dask: microseconds per task to build the graph, recorded and reduced;
  - nodes() of the reduced graph followed by 200k allocations of the caller, with the collector
    on and off for all of it (switching it off inside nodes() only would move its cost to the
    caller's next allocations);
  - extra memory during evaluate, in bytes per node of the graph: the peak that tracemalloc sees
    while kernels return one shared value (so no value is held), plus the native plan's arrays
    when the module has one.
With `--before PYTHON`, the same measurements run in that interpreter too (another build of the
module, e.g. a venv with main installed), in the same run, and both columns are printed.
"""

from __future__ import annotations

import gc
import json
import subprocess
import sys
import time
import tracemalloc
from pathlib import Path
from typing import Any, Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synthetic  # noqa: E402

import trellan  # noqa: E402
from trellan import evaluate, to_dask  # noqa: E402
from trellan.kernels import SeededArrays, numpy_kernels  # noqa: E402

ROUNDS = 3
ALLOCATIONS = 200_000


def best(fn: Callable[[], Any], rounds: int = ROUNDS) -> float:
    # CPU time: the work is single-threaded, and a shared machine's load leaves it alone.
    times = []
    for _ in range(rounds):
        gc.collect()
        t0 = time.process_time()
        fn()
        times.append(time.process_time() - t0)
    return min(times)


def bare_loop(views: list, outputs: list[int], sources: Any, kernels: Any) -> list:
    values = []
    for node in views:
        if node["kind"] == "source":
            values.append(sources(node["name"], node["params"]))
        else:
            values.append(kernels[node["name"]](*[values[j] for j in node["inputs"]],
                                                **node["params"]))
    return [values[o] for o in outputs]


def views_then_allocations(store: Any, collector: bool) -> float:
    def run() -> None:
        was = gc.isenabled()
        (gc.enable if collector else gc.disable)()
        try:
            views = store.nodes()
            caller = [[i] for i in range(ALLOCATIONS)]
            del views, caller
        finally:
            (gc.enable if was else gc.disable)()
    return best(run)


def shared_value(*_args: Any, **_params: Any) -> int:
    return 0


def extra_bytes_per_node(store: Any, outputs: list[int]) -> float:
    kernels = {name: shared_value for name in ("add", "mul", "sin", "cos", "tanh", "neg", "sum")}
    gc.collect()
    tracemalloc.start()
    evaluate(store, outputs, sources=shared_value, kernels=kernels)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    native = 0
    if hasattr(store, "execution_plan"):
        plan = store.execution_plan(outputs)
        native = sum(getattr(plan, field).nbytes for field in dir(plan)
                     if isinstance(getattr(plan, field, None), memoryview))
    return (peak + native) / store.node_count()


def measure(target: int) -> dict[str, float]:
    store, outputs = synthetic.lanes(target)
    reduced, _ = store.reduce(outputs=outputs)
    placed = reduced.node_map()
    mapped = [placed[o][0] for o in outputs]
    run = dict(sources=SeededArrays((2,)), kernels=numpy_kernels())
    views = store.nodes()
    out: dict[str, float] = {"nodes": store.node_count(), "reduced nodes": reduced.node_count()}
    out["bare loop s"] = best(lambda: bare_loop(views, outputs, **run))
    del views
    for label, graph_store, ids in (("recorded", store, outputs), ("reduced", reduced, mapped)):
        plain, profiled = [], []
        for _ in range(ROUNDS):  # alternately, so that load on the machine hits both alike
            plain.append(best(lambda: evaluate(graph_store, ids, **run), rounds=1))
            if hasattr(trellan, "Profile"):
                profiled.append(best(lambda: evaluate(graph_store, ids, **run,
                                                      profile=trellan.Profile()), rounds=1))
        out[f"evaluate {label} s"] = min(plain)
        if profiled:
            out[f"evaluate {label}, profiled s"] = min(profiled)
    for label, graph_store, ids in (("recorded", store, outputs), ("reduced", reduced, mapped)):
        tasks = len(to_dask(graph_store, ids, **run)[0])
        out[f"to_dask {label} us/task"] = best(lambda: to_dask(graph_store, ids, **run)) / tasks * 1e6
    out["nodes()+allocs gc on s"] = views_then_allocations(reduced, True)
    out["nodes()+allocs gc off s"] = views_then_allocations(reduced, False)
    out["evaluate extra B/node recorded"] = extra_bytes_per_node(store, outputs)
    out["evaluate extra B/node reduced"] = extra_bytes_per_node(reduced, mapped)
    return out


def main(argv: list[str]) -> None:
    before = None
    if argv[:1] == ["--before"]:
        before, argv = argv[1], argv[2:]
    if argv[:1] == ["--json"]:
        print(json.dumps([measure(int(n)) for n in argv[1:]]))
        return
    sizes = [int(n) for n in argv] or [300_000, 1_000_000]
    for n in sizes:
        after = measure(n)
        columns = [("this build", after)]
        if before is not None:
            done = subprocess.run([before, __file__, "--json", str(n)], capture_output=True,
                                  text=True, check=True)
            columns.insert(0, ("before", json.loads(done.stdout)[0]))
        print(f"\nlanes graph of {n} nodes requested; best of {ROUNDS} rounds")
        print(f"{'':<32}" + "".join(f"{title:>14}" for title, _ in columns))
        for key in after:
            print(f"{key:<32}" + "".join(f"{col[key]:>14.3f}" if key in col else f"{'-':>14}"
                                         for _, col in columns))
        bare = after["bare loop s"]
        print(f"evaluate recorded / bare loop: {after['evaluate recorded s'] / bare:.2f} "
              f"(target 1.5); reduced / recorded: "
              f"{after['evaluate reduced s'] / after['evaluate recorded s']:.2f} (target 1.0)")
        if "evaluate recorded, profiled s" in after:
            print("profiled / plain: " + ", ".join(
                f"{label} {after[f'evaluate {label}, profiled s'] / after[f'evaluate {label} s']:.3f}"
                for label in ("recorded", "reduced")) + " (target 1.10)")


if __name__ == "__main__":
    main(sys.argv[1:])
