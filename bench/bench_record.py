"""Recording cost: ns per add_op call and store memory per node.

Run: python bench/bench_record.py [N]      (default N = 1000000)

Records N op nodes (two inputs, params {"scalar": 2.0, "side": "r"}) with the
argument objects prebuilt, beside the cost of the empty Python loop over the same
arguments measured in the same run; best of 3, each into a fresh store. Targets:
<= 500 ns per call and <= 250 bytes of store memory per node (arena, hash-cons
table and params included; measured as the growth of the process's resident set).
Then records the exported workload graphs (bench/workloads.py) and reports ns per
node, best of 3.
"""

from __future__ import annotations

import gc
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

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
    bench_workloads()
