"""Reduction cost: GraphStore.reduce() end to end on synthetic and real pipelines.

Run: python bench/bench_reduce.py [sizes...]      (default: 10000 100000 1000000)
     pip install ".[bench]" first for the dask baseline of the second table.

First table: synthetic pipelines (see bench/synthetic.py) recorded through the Python
builders; reduce() timed from call to returned store, the fastest call of 3 rounds
(a round of calls shorter than 0.2 s repeats them for about 0.2 s). Reports ns per node,
the per-node growth from the smallest to the largest size (target <= 1.5x) and the
time at 1M nodes (target < 2 s).

Second table: the exported workload graphs. Each is recorded once, then reduce()
against its outputs is timed beside dask's own cull followed by fuse (from
dask.optimization) on the same dependency structure: one key per exported node, each
task a tuple of a dummy callable and its input keys; cull against the outputs, then
fuse the culled graph. Both timed the same way, in the same run: the fastest call of 3
rounds, each call timed alone. Target: reduce() >= 10x faster.

The per-pass split of the same synthetic shape comes from the C++ benchmark
bench/reduce_bench.cpp: cmake -S . -B build/bench -DTRELLAN_BUILD_BENCH=ON &&
cmake --build build/bench --target reduce_bench && build/bench/reduce_bench
(add --blob FILE to split the reduction of a store saved with serialize()).
"""

from __future__ import annotations

import gc
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synthetic  # noqa: E402
import workloads  # noqa: E402

REPEATS = 3


def best_of(fn, repeats: int = REPEATS, min_batch: float = 0.2) -> tuple[float, object]:
    """Seconds of the fastest fn() call, and the last result.

    Each of `repeats` rounds makes as many calls as fill about `min_batch` seconds
    (at least one), each timed alone, with the previous result freed before the
    next call starts; the fastest call of all rounds counts. The cycle collector
    runs as it does by default (a round starts from a collected heap)."""
    best = float("inf")
    result = None
    number = 1
    for _ in range(repeats):
        gc.collect()
        for _ in range(number):
            result = None
            t0 = time.perf_counter()
            result = fn()
            best = min(best, time.perf_counter() - t0)
        number = max(1, int(min_batch / best))
    return best, result


def bench_synthetic(sizes: list[int]) -> None:
    print("reduce() on synthetic pipelines (fastest call of 3 rounds)")
    print(f"{'nodes':>9} {'reduced':>8} {'stages':>7} {'record s':>9} {'reduce s':>9} {'ns/node':>8}")
    per_node: list[tuple[int, float]] = []
    for n in sizes:
        t0 = time.perf_counter()
        store, outputs = synthetic.pipeline(n)
        record = time.perf_counter() - t0
        count = store.node_count()
        seconds, (_, report) = best_of(lambda: store.reduce(outputs=outputs))
        per_node.append((count, seconds / count))
        print(f"{count:>9} {report['reduced_nodes']:>8} {report['stages']:>7} {record:>9.3f} "
              f"{seconds:>9.3f} {seconds * 1e9 / count:>8.0f}")
        del store
    if len(per_node) > 1:
        (n0, first), (n1, last) = per_node[0], per_node[-1]
        growth = last / first
        print(f"per-node growth {n0} -> {n1}: {growth:.2f}x (target <= 1.5x: "
              f"{'met' if growth <= 1.5 else 'missed'})")
    big = [(n, s * n) for n, s in per_node if n >= 1_000_000]
    if big:
        n, total = big[-1]
        print(f"reduce() at {n} nodes: {total:.3f} s (target < 2 s: {'met' if total < 2 else 'missed'})")


def dask_graph(graph: dict) -> tuple[dict, list[str]]:
    def task(*args):  # never called: only the graph's shape matters
        return None

    keys = [f"n{i}" for i in range(len(graph["nodes"]))]
    dsk = {keys[i]: (task, *(keys[j] for j in node.get("inputs", ())))
           for i, node in enumerate(graph["nodes"])}
    return dsk, [keys[i] for i in graph["outputs"]]


def bench_workloads() -> None:
    try:
        from dask.optimization import cull, fuse
    except ImportError:
        print("\ndask is not installed (pip install '.[bench]'): workload table skipped")
        return
    print("\nreduce() on the exported workloads vs dask cull + fuse (fastest call of 3 rounds each)")
    print(f"{'workload':<26} {'nodes':>7} {'reduced':>8} {'reduce ms':>10} {'cull+fuse ms':>13} "
          f"{'speed-up':>9}")
    for path in workloads.available():
        graph = workloads.load(path)
        store, _, outputs = workloads.record(graph)
        ours, (_, report) = best_of(lambda: store.reduce(outputs=outputs))

        def cull_fuse() -> float:
            dsk, keys = dask_graph(graph)  # a fresh input, built untimed
            t0 = time.perf_counter()
            culled, deps = cull(dsk, keys)
            fuse(culled, keys=keys, dependencies=deps)
            return time.perf_counter() - t0

        def cull_fuse_round(number: int) -> float:
            gc.collect()
            return min(cull_fuse() for _ in range(number))

        theirs = cull_fuse_round(1)
        for _ in range(REPEATS):
            theirs = min(theirs, cull_fuse_round(max(1, int(0.2 / theirs))))
        ratio = theirs / ours
        print(f"{path.name:<26} {len(graph['nodes']):>7} {report['reduced_nodes']:>8} "
              f"{ours * 1e3:>10.2f} {theirs * 1e3:>13.2f} {ratio:>8.1f}x "
              f"({'met' if ratio >= 10 else 'missed'})")


if __name__ == "__main__":
    sizes = [int(a) for a in sys.argv[1:]] or [10_000, 100_000, 1_000_000]
    bench_synthetic(sizes)
    bench_workloads()
