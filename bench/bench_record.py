"""Recording cost: ns per add_op call and store memory per node.

Run: python bench/bench_record.py [N]
Records N op nodes (two inputs, params {"scalar": 2.0, "side": "r"}) with the
argument objects prebuilt, beside the cost of the empty Python loop, then
records the exported workload graphs and reports ns per node.
"""

from __future__ import annotations

import gc
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import trellan_core  # noqa: E402
import workloads  # noqa: E402


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def bench_add_op(n: int) -> None:
    params = {"scalar": 2.0, "side": "r"}
    inputs = [[i, i + 1] for i in range(n)]
    names = ["add"] * n
    gc.collect()
    gc.disable()

    t0 = time.perf_counter_ns()
    for name, inp in zip(names, inputs):
        pass
    empty = (time.perf_counter_ns() - t0) / n

    store = trellan_core.GraphStore()
    store.add_source("a")
    store.add_source("b")
    before = rss_bytes()
    add_op = store.add_op
    t0 = time.perf_counter_ns()
    for name, inp in zip(names, inputs):
        add_op(name, inp, params)
    per_call = (time.perf_counter_ns() - t0) / n
    mem = (rss_bytes() - before) / n
    gc.enable()
    assert store.node_count() == n + 2
    print(f"add_op x {n}: {per_call:.0f} ns/call (empty loop {empty:.0f} ns/iter, "
          f"call minus loop {per_call - empty:.0f} ns); store memory {mem:.0f} B/node")


def bench_workloads() -> None:
    for path in workloads.available():
        graph = workloads.load(path)
        t0 = time.perf_counter_ns()
        store, _, _ = workloads.record(graph)
        dt = time.perf_counter_ns() - t0
        n = len(graph["nodes"])
        print(f"record {path.name}: {n} nodes -> {store.node_count()} ids, {dt / n:.0f} ns/node")


if __name__ == "__main__":
    bench_add_op(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
    bench_workloads()
