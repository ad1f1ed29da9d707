"""Recording cost: ns per add_op call and store memory per node.

Run: python bench/bench_record.py [N]      (default N = 1000000)

Records N op nodes (two inputs, params {"scalar": 2.0, "side": "r"}) with the
argument objects prebuilt, beside the cost of the empty Python loop over the same
arguments measured in the same run; best of 3, each into a fresh store. Targets:
<= 500 ns per call and <= 250 bytes of store memory per node (arena, hash-cons
table and params included; measured as the growth of the process's resident set).
Then records a pipeline over 1,000 partitions, 200 layers of one op per partition
(200k nodes, each new), reading one and then two nodes of the layer before: by the
loop of add_op calls and by one add_ops call per layer, the rows given as lists and
as a NumPy array, all prebuilt; best of 5 each, in the same run, timed by the CPU
time of the recording thread (a shared machine disturbs it less than wall time).
Target: add_ops >= 5x faster per node than the loop. Then records the exported workload graphs
(bench/workloads.py) and reports ns per node, best of 3.
"""

from __future__ import annotations

import gc
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy as np  # noqa: E402
import trellan_core  # noqa: E402
import workloads  # noqa: E402

REPEATS = 3


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def verdict(ok: bool) -> str:
    return "met" if ok else "missed"


def bench_add_op(n: int) -> None:
    params = {"scalar": 2.0, "side": "r"}
    inputs = [[i, i + 1] for i in range(n)]
    names = ["add"] * n
    best_call = best_empty = float("inf")
    memory = None
    for _ in range(REPEATS):
        gc.collect()
        gc.disable()
        t0 = time.perf_counter_ns()
        for name, inp in zip(names, inputs):
            pass
        best_empty = min(best_empty, (time.perf_counter_ns() - t0) / n)

        store = trellan_core.GraphStore()
        store.add_source("a")
        store.add_source("b")
        before = rss_bytes()
        add_op = store.add_op
        t0 = time.perf_counter_ns()
        for name, inp in zip(names, inputs):
            add_op(name, inp, params)
        best_call = min(best_call, (time.perf_counter_ns() - t0) / n)
        if memory is None:  # the first store alone: later ones reuse freed pages
            memory = (rss_bytes() - before) / n
        gc.enable()
        assert store.node_count() == n + 2
        del store
    print(f"add_op x {n} (best of {REPEATS}): {best_call:.0f} ns/call; empty loop {best_empty:.0f} ns/iter, "
          f"call minus loop {best_call - best_empty:.0f} ns; store memory {memory:.0f} B/node")
    print(f"  target <= 500 ns/call: {verdict(best_call <= 500)}; "
          f"target <= 250 B/node: {verdict(memory <= 250)}")


PARTITIONS, LAYERS, BATCH_REPEATS = 1000, 200, 5


def layer_rows(width: int) -> list[list[list[int]]]:
    # Ids are dense, so every layer's ids are known in advance: sources 0..999, then layer k at 1000 * (k + 1).
    rows = []
    for k in range(LAYERS):
        base = PARTITIONS * k
        rows.append([[base + (i + j) % PARTITIONS for j in range(width)] for i in range(PARTITIONS)])
    return rows


def bench_batch() -> None:
    params = {"scalar": 2.0, "side": "r"}
    names = ["neg", "add", "exp", "mul"]
    for width in (1, 2):
        rows = layer_rows(width)
        arrays = [np.array(layer, dtype=np.int64) for layer in rows]

        def loop(store):
            add_op = store.add_op
            for k, layer in enumerate(rows):
                name = names[k % len(names)]
                for inputs in layer:
                    add_op(name, inputs, params)

        def batch(store, layers):
            for k, layer in enumerate(layers):
                store.add_ops(names[k % len(names)], layer, params)

        ways = {"add_op loop": loop, "add_ops lists": lambda g: batch(g, rows),
                "add_ops array": lambda g: batch(g, arrays)}
        best = {}
        for label, record in ways.items():
            best[label] = float("inf")
            for _ in range(BATCH_REPEATS):
                store = trellan_core.GraphStore()
                store.add_sources("part", [{"i": i} for i in range(PARTITIONS)])
                gc.collect()
                gc.disable()
                t0 = time.thread_time_ns()
                record(store)
                best[label] = min(best[label], (time.thread_time_ns() - t0) / (LAYERS * PARTITIONS))
                gc.enable()
                assert store.node_count() == PARTITIONS * (LAYERS + 1)
        base = best["add_op loop"]
        shown = ", ".join(f"{label} {ns:.0f} ns/node ({base / ns:.1f}x)" for label, ns in best.items())
        speedup = base / max(best["add_ops lists"], best["add_ops array"])
        print(f"{LAYERS} layers x {PARTITIONS} partitions, {width} input(s) per op (best of {BATCH_REPEATS}): {shown}")
        print(f"  target add_ops >= 5x faster than the loop: {verdict(speedup >= 5)}")


def bench_workloads() -> None:
    for path in workloads.available():
        graph = workloads.load(path)
        best = float("inf")
        for _ in range(REPEATS):
            gc.collect()
            t0 = time.perf_counter_ns()
            store, _, _ = workloads.record(graph)
            best = min(best, time.perf_counter_ns() - t0)
        n = len(graph["nodes"])
        print(f"record {path.name}: {n} nodes -> {store.node_count()} ids, {best / n:.0f} ns/node")


if __name__ == "__main__":
    bench_add_op(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
    bench_batch()
    bench_workloads()
