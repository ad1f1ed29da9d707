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

Run: python bench/bench_run.py --dask [--before PYTHON] [nodes [split-nodes]]  (300000 100000;
     nodes 0 skips the build)

measures to_dask instead, on bench/synthetic.py's three shapes (hub, many_outputs, fresh_sources)
at seeds 0, 1 and 2, recorded and reduced, best of 3 rounds of CPU time:
  - the build, in microseconds per task, against its budget of 3 us plus 0.5 us per stage member
    (the graph freed after the clock stops), and the same with the graph freed inside it;
  - ExecutionPlan.recorded_ids(), the recorded ids every task carries for its error notes;
  - a dask.get run of fresh_sources' reduced graph (split-nodes, seed 0) against evaluate, split
    into conversion (dask.core's convert_legacy_graph), ordering (dask.order.order), our code
    (the tasks' own callables run in a loop, less the kernels and the timing wrappers' own cost),
    kernels (timed inside wrappers of sources, kernels and join) and what is left, dask's
    scheduling; and the same with fuse_runs=True.
"""

from __future__ import annotations

import gc
import json
import subprocess
import sys
import time
import tracemalloc
from pathlib import Path
from collections.abc import Mapping
from typing import Any, Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synthetic  # noqa: E402

import trellan  # noqa: E402
from trellan import evaluate, to_dask  # noqa: E402
from trellan.kernels import SeededArrays, numpy_kernels  # noqa: E402

ROUNDS = 3
ALLOCATIONS = 200_000


def best(fn: Callable[[], Any], rounds: int = ROUNDS, hold: bool = False) -> float:
    # CPU time: the work is single-threaded, and a shared machine's load leaves it alone. With
    # hold, what fn returns is freed after the clock stops: the time to make it, not to drop it.
    times = []
    for _ in range(rounds):
        gc.collect()
        if hold:
            t0 = time.process_time()
            made = fn()
            times.append(time.process_time() - t0)
            del made
            continue
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


def dask_kernels() -> dict[str, Any]:
    # fresh_sources' names: the NumPy kernels and two more ufuncs.
    from trellan.kernels import Unary
    return dict(numpy_kernels(), square=Unary("square"), arctan=Unary("arctan"))


def side_by_side(left: Any, right: Any, /, **_params: Any) -> Any:
    return left + right


class AnyKernel(Mapping):  # type: ignore[type-arg]
    """The kernels of `table`, and a stand-in for every other name: for graphs that are built,
    not run."""

    def __init__(self, table: dict[str, Any]) -> None:
        self.table = table

    def __getitem__(self, name: str) -> Any:
        return self.table.get(name, side_by_side)

    def __iter__(self) -> Any:
        return iter(self.table)

    def __len__(self) -> int:
        return len(self.table)


def dask_build(target: int, seeds: list[int]) -> dict[str, float]:
    out: dict[str, float] = {}
    run = dict(sources=SeededArrays((2,)), kernels=AnyKernel(dask_kernels()), join=side_by_side,
               external=side_by_side)
    for shape, make in synthetic.SHAPES.items():
        for seed in seeds:
            store, outputs = make(target, seed=seed)
            reduced, _ = store.reduce(outputs=outputs)
            mapped = [placed[0] for placed in reduced.node_map_of(outputs)]
            for label, graph_store, ids in (("recorded", store, outputs), ("reduced", reduced, mapped)):
                plan = graph_store.execution_plan(ids)
                tasks, members = len(plan), plan.member_offsets[-1]
                row = f"{shape} {seed} {label}"
                out[f"{row} tasks"] = tasks
                out[f"{row} budget us/task"] = 3 + 0.5 * members / tasks
                out[f"{row} build us/task"] = best(lambda: to_dask(graph_store, ids, **run), hold=True) / tasks * 1e6
                out[f"{row} build and free us/task"] = best(lambda: to_dask(graph_store, ids, **run)) / tasks * 1e6
                if hasattr(plan, "recorded_ids"):
                    out[f"{row} recorded_ids us/task"] = best(plan.recorded_ids) / tasks * 1e6
    return out


class Timed:
    """Wraps a callable and adds the time spent inside it to `Timed.total`, and one to
    `Timed.calls`."""

    total = 0.0
    calls = 0

    def __init__(self, fn: Any) -> None:
        self.fn = fn

    def __call__(self, *args: Any, **params: Any) -> Any:
        start = time.process_time()  # CPU time, as everything else here: load leaves it alone
        try:
            return self.fn(*args, **params)
        finally:
            Timed.total += time.process_time() - start
            Timed.calls += 1


def wrapper_cost() -> float:
    """Seconds a Timed wrapper adds to a call, outside what it times."""
    def nothing() -> None:
        return None
    timed, count = Timed(nothing), 200_000
    plain = best(lambda: [nothing() for _ in range(count)])
    wrapped = best(lambda: [timed() for _ in range(count)])
    return max(0.0, wrapped - plain) / count


def run_tasks(graph: dict, keys: list) -> list:  # type: ignore[type-arg]
    """Calls each task's own callable on its inputs' values, in the graph's order (inputs
    first), with no scheduler: what our code and the kernels cost."""
    values: dict[Any, Any] = {}
    for key, task in graph.items():
        if isinstance(task, tuple):
            fn, args = task[0], [values[a] if isinstance(a, str) and a in graph else a for a in task[1:]]
        else:
            fn, args = task.func, [values[a.key] if type(a).__name__ == "TaskRef" else a for a in task.args]
        values[key] = fn(*args)
    return [values[k] for k in keys]


def dask_split(target: int) -> dict[str, float]:
    import dask
    from dask.order import order
    try:
        from dask._task_spec import convert_legacy_graph
    except ImportError:  # a dask that runs tuples as they are
        def convert_legacy_graph(graph: Any) -> Any:
            return graph
    store, outputs = synthetic.fresh_sources(target, seed=0)
    reduced, _ = store.reduce(outputs=outputs)
    mapped = [placed[0] for placed in reduced.node_map_of(outputs)]
    sources, kernels = SeededArrays((2,)), dask_kernels()
    run = dict(sources=sources, kernels=kernels, join=side_by_side)
    timed = dict(sources=Timed(sources), kernels={k: Timed(v) for k, v in kernels.items()},
                 join=Timed(side_by_side))
    out = {"evaluate s": best(lambda: evaluate(reduced, mapped, **run))}
    for fused in (False, True):
        extra = {"fuse_runs": True} if fused else {}
        if fused and "fuse_runs" not in to_dask.__code__.co_varnames:
            continue
        label = "fuse_runs " if fused else ""
        graph, keys = to_dask(reduced, mapped, **run, **extra)
        out[f"{label}tasks"] = len(graph)
        out[f"{label}build s"] = best(lambda: to_dask(reduced, mapped, **run, **extra))
        out[f"{label}dask.get s"] = total = best(lambda: dask.get(graph, keys))
        out[f"{label}  conversion s"] = best(lambda: convert_legacy_graph(graph))
        converted = convert_legacy_graph(graph)
        out[f"{label}  ordering s"] = best(lambda: order(converted))
        # The tasks run in a loop with their kernels timed from inside: what is not the kernels'
        # (nor the timing wrappers') is ours.
        timed_graph, timed_keys = to_dask(reduced, mapped, **timed, **extra)
        overhead, inside, ours = wrapper_cost(), [], []
        for _ in range(ROUNDS):
            Timed.total, Timed.calls = 0.0, 0
            gc.collect()
            start = time.process_time()
            run_tasks(timed_graph, timed_keys)
            loop = time.process_time() - start
            inside.append(Timed.total)
            ours.append(loop - Timed.total - Timed.calls * overhead)
        out[f"{label}  kernels s"] = min(inside)
        out[f"{label}  our code s"] = min(ours)
        out[f"{label}  dask's scheduling s"] = (total - out[f"{label}  conversion s"]
                                                - out[f"{label}  ordering s"] - min(ours) - min(inside))
        out[f"{label}dask.get / evaluate"] = total / out["evaluate s"]
    return out


def dask_main(argv: list[str], before: str | None) -> None:
    import warnings
    warnings.filterwarnings("ignore", category=RuntimeWarning)  # log1p of negatives and such
    import numpy as np
    np.seterr(all="ignore")
    if argv[:1] == ["--json"]:
        target, split = int(argv[1]), int(argv[2])
        print(json.dumps([dask_build(target, [0, 1, 2]) if target else {}, dask_split(split)]))
        return
    target, split = (int(argv[0]) if argv else 300_000), (int(argv[1]) if len(argv) > 1 else 100_000)
    columns = [("this build", [dask_build(target, [0, 1, 2]) if target else {}, dask_split(split)])]
    if before is not None:
        done = subprocess.run([before, __file__, "--dask", "--json", str(target), str(split)],
                              capture_output=True, text=True, check=True)
        columns.insert(0, ("before", json.loads(done.stdout)))
    for part, title in ((0, f"to_dask build at {target} nodes requested; best of {ROUNDS} rounds"),
                        (1, f"dask.get of fresh_sources reduced, {split} nodes requested, seed 0")):
        if not columns[-1][1][part]:
            continue
        print(f"\n{title}")
        print(f"{'':<44}" + "".join(f"{name:>14}" for name, _ in columns))
        for key in columns[-1][1][part]:
            cells = [col[part].get(key) for _, col in columns]
            print(f"{key:<44}" + "".join(f"{'-':>14}" if c is None else f"{c:>14.3f}" for c in cells))


def main(argv: list[str]) -> None:
    before = None
    if argv[:1] == ["--dask"]:
        argv = argv[1:]
        if argv[:1] == ["--before"]:
            before, argv = argv[1], argv[2:]
        dask_main(argv, before)
        return
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
