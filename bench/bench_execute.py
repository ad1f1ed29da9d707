"""Running the exported array workloads end to end on dask's threaded scheduler, two ways.

Run: python bench/bench_execute.py [name-filter ...]      (pip install ".[bench]" first)

For each `ew_chain_*` and `normalize_*` graph (bench/workloads.py loads them), recorded once:
  (a) the recorded graph as a dask graph (`trellan.to_dask` of the recorded store, one task per
      recorded node), then dask's own `cull` and `fuse`, run by `dask.threaded.get`;
  (b) `reduce()`, then `to_dask` of the reduced store, run by `dask.threaded.get`; and the
      same with `maximal_fusion=True`.
Both compute the outputs from the same sources with the same kernels, and must give identical
values. Reported per way: tasks, build (to_dask), optimize (cull + fuse, or reduce), run, and
their total; each the fastest of 3 to 15 rounds (as many as fit in 5 s), the ways alternating.

Sources: every source of these graphs has the same name and differs by its `key` param, so each
is a 64x64 float64 block seeded from its params (trellan.kernels.SeededArrays). Kernels: the
names in numpy_kernels() run as NumPy; the array library's internal chunk functions
(mean_chunk, moment_combine, _concatenate2, ...) get a stand-in that keeps the block shape, and
`where` and the exchanges (transpose, rechunk split and merge) get small stand-ins too; only the
equality of (a) and (b) matters, not what the stand-ins compute.
"""

from __future__ import annotations

import gc
import os
import sys
import time
import warnings
from collections.abc import Callable
from functools import reduce
from pathlib import Path
from typing import Any

import dask.threaded
import numpy as np
from dask.optimization import cull, fuse

sys.path.insert(0, str(Path(__file__).resolve().parent))

import workloads  # noqa: E402

from trellan import to_dask  # noqa: E402
from trellan.kernels import SeededArrays, numpy_kernels  # noqa: E402

REPEATS = 3       # rounds at least; a workload whose rounds are short gets more of them
MIN_SECONDS = 5.0  # ... until the rounds have taken this long (at most MAX_REPEATS)
MAX_REPEATS = 15
BLOCK = (64, 64)


def blend(*inputs: Any, **_params: Any) -> Any:
    """Stand-in for the chunk functions: the mean of its inputs, the block shape kept."""
    return reduce(np.add, (np.asarray(x, dtype=np.float64) for x in inputs)) / len(inputs)


def where(cond: Any, x: Any, arg2: float = 0.0, **_params: Any) -> Any:
    return np.where(cond, x, arg2)


def exchange(*inputs: Any, scheme: str = "", **_params: Any) -> Any:
    x = inputs[0] if len(inputs) == 1 else blend(*inputs)
    return np.transpose(x) if scheme == "transpose" else x


def kernels_for(graph: dict) -> dict[str, Callable[..., Any]]:
    kernels: dict[str, Callable[..., Any]] = dict(numpy_kernels())
    kernels["where"] = where
    for node in graph["nodes"]:
        if node["kind"] in ("op", "reduction"):
            kernels.setdefault(node["name"], blend)
    return kernels


def timed(fn: Callable[[], Any]) -> tuple[float, Any]:
    gc.collect()
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def way_a(store: Any, outputs: list[int], run: dict) -> dict:
    build, (graph, keys) = timed(lambda: to_dask(store, outputs, **run))

    def optimize() -> dict:
        culled, deps = cull(graph, keys)
        fused, _ = fuse(culled, keys=keys, dependencies=deps)
        return fused

    opt, fused = timed(optimize)
    seconds, values = timed(lambda: dask.threaded.get(fused, keys))
    return dict(tasks=len(fused), build=build, optimize=opt, run=seconds, values=list(values),
                recorded_tasks=len(graph))


def way_b(store: Any, outputs: list[int], run: dict, maximal: bool = False) -> dict:
    def optimize() -> tuple[Any, list[int]]:
        reduced, _ = store.reduce(outputs=outputs, maximal_fusion=maximal)
        node_map = reduced.node_map()
        return reduced, [node_map[o][0] for o in outputs]

    opt, (reduced, mapped) = timed(optimize)
    build, (graph, keys) = timed(lambda: to_dask(reduced, mapped, **run))
    seconds, values = timed(lambda: dask.threaded.get(graph, keys))
    return dict(tasks=len(graph), build=build, optimize=opt, run=seconds, values=list(values))


def compare(xs: list[Any], ys: list[Any]) -> str:
    def raw(v: Any) -> tuple[Any, ...]:
        v = np.asarray(v)
        return v.dtype, v.shape, v.tobytes()

    if len(xs) == len(ys) and all(raw(x) == raw(y) for x, y in zip(xs, ys)):
        return "identical"
    if len(xs) == len(ys) and all(np.array_equal(x, y, equal_nan=True) for x, y in zip(xs, ys)):
        return "equal up to the sign of zero and NaN payloads"
    return "DIFFERENT"


def best(rounds: list[dict]) -> dict:
    out = dict(rounds[-1])
    for key in ("build", "optimize", "run"):
        out[key] = min(r[key] for r in rounds)
    out["total"] = min(r["build"] + r["optimize"] + r["run"] for r in rounds)
    return out


def main(filters: list[str]) -> None:
    warnings.filterwarnings("ignore", category=RuntimeWarning)  # log1p of negatives and such
    paths = [p for p in workloads.available()
             if p.name.startswith(("ew_chain_", "normalize_"))
             and (not filters or any(f in p.name for f in filters))]
    if not paths:
        print(f"no array workloads in {workloads.WORKLOAD_DIR}")
        return
    print(f"end to end on dask.threaded.get ({os.cpu_count()} cores), fastest of {REPEATS} to "
          f"{MAX_REPEATS} rounds (as many as fit in {MIN_SECONDS:.0f} s); seconds")
    print(f"{'workload':<22} {'way':<20} {'tasks':>7} {'build':>7} {'optimize':>9} {'run':>7} "
          f"{'total':>7}  result")
    for path in paths:
        graph = workloads.load(path)
        store, _, outputs = workloads.record(graph)
        run = dict(sources=SeededArrays(BLOCK), kernels=kernels_for(graph), exchange=exchange)
        rounds: tuple[list[dict], list[dict], list[dict]] = ([], [], [])
        started = time.perf_counter()
        while len(rounds[0]) < REPEATS or (time.perf_counter() - started < MIN_SECONDS
                                           and len(rounds[0]) < MAX_REPEATS):
            rounds[0].append(way_a(store, outputs, run))
            rounds[1].append(way_b(store, outputs, run))
            rounds[2].append(way_b(store, outputs, run, maximal=True))
        a, b, m = (best(r) for r in rounds)
        label = f"{path.name.removesuffix('.json.gz')}"
        print(f"{label:<22} {'(a) cull + fuse':<20} {a['tasks']:>7} {a['build']:>7.3f} "
              f"{a['optimize']:>9.3f} {a['run']:>7.3f} {a['total']:>7.3f}  "
              f"from {a['recorded_tasks']} recorded tasks")
        for title, way in (("(b) reduce + to_dask", b), ("    maximal fusion", m)):
            speedup = a["total"] / way["total"]
            verdict = "met" if speedup >= 2 else "missed"
            print(f"{'':<22} {title:<20} {way['tasks']:>7} {way['build']:>7.3f} "
                  f"{way['optimize']:>9.3f} {way['run']:>7.3f} {way['total']:>7.3f}  "
                  f"{speedup:.1f}x faster (target 2x: {verdict}); outputs "
                  f"{compare(a['values'], way['values'])}")
        del a, b, m, rounds, store


if __name__ == "__main__":
    main(sys.argv[1:])
