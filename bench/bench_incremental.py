"""Incremental reduction cost: IncrementalReducer.step throughput and finalize vs reduce.

Run: python bench/bench_incremental.py [N]      (default N = 1000000)

Records a synthetic pipeline of about N nodes (bench/synthetic.py: about 20% of its
nodes are commutative twins or identity ops that the incremental reducer dedups), then
grows a copy of it through the builders in deltas of 1, 100 and 100,000 nodes, calling
step() after each delta. Only the step() calls are timed; reports ns per node and nodes
per second (target: at most 150 ns per node in large deltas), and the cost of a step()
that finds nothing new beside the empty Python loop.

Then, on the full store, times finalize(store, outputs=...) of a reducer that has
stepped through the whole store against store.reduce(outputs=...), best of 3 each in
the same run (target: finalize no slower than reduce).
"""

from __future__ import annotations

import gc
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import trellan_core  # noqa: E402
import synthetic  # noqa: E402

REPEATS = 3
DELTAS = (1, 100, 100_000)


def timer_overhead() -> int:
    pc = time.perf_counter_ns
    best = None
    for _ in range(5):
        t0 = pc()
        for _ in range(100_000):
            a = pc()
            b = pc()
        per = (pc() - t0) // 100_000 - 0  # both reads plus loop
        best = per if best is None else min(best, per)
    return best // 2  # one read of the clock, what a timed region pays once


def step_in_deltas(calls, delta: int, clock=time.perf_counter_ns) -> tuple[int, int, int]:
    """Grows a store by `delta` calls at a time and steps after each; returns
    (nanoseconds spent in step by `clock`, number of steps, nodes consumed)."""
    store = trellan_core.GraphStore()
    reducer = trellan_core.IncrementalReducer()
    methods = {name: getattr(store, name) for name in
               ("add_source", "add_op", "add_reduction", "add_exchange", "add_join")}
    step = reducer.step
    pc = clock
    spent = 0
    steps = 0
    consumed = 0
    gc.collect()
    gc.disable()
    for start in range(0, len(calls), delta):
        for name, args in calls[start:start + delta]:
            methods[name](*args)
        t0 = pc()
        consumed += step(store)
        spent += pc() - t0
        steps += 1
    gc.enable()
    assert consumed == store.node_count() == reducer.total_work()
    return spent, steps, consumed


def empty_step_cost(store, reducer, k: int = 200_000) -> tuple[float, float]:
    step = reducer.step
    rng = range(k)
    pc = time.perf_counter_ns
    best_call = best_loop = float("inf")
    for _ in range(REPEATS):
        t0 = pc()
        for _ in rng:
            pass
        best_loop = min(best_loop, (pc() - t0) / k)
        t0 = pc()
        for _ in rng:
            step(store)
        best_call = min(best_call, (pc() - t0) / k)
    return best_call, best_loop


def best_of(fn):
    best = float("inf")
    result = None
    for _ in range(REPEATS):
        result = None
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def main(n: int) -> None:
    store, outputs = synthetic.pipeline(n)
    count = store.node_count()
    calls = synthetic.calls(store)
    clock = timer_overhead()

    print(f"step() on a store grown to {count} nodes (best of {REPEATS} per delta)")
    print(f"{'delta':>8} {'steps':>8} {'ns/step':>9} {'ns/node':>8} {'Mnodes/s':>9}")
    for delta in DELTAS:
        best = None
        for _ in range(REPEATS if delta > 1 else 1):
            spent, steps, consumed = step_in_deltas(calls, delta)
            spent -= steps * clock  # the clock read inside each timed region
            if best is None or spent < best[0]:
                best = (spent, steps, consumed)
        spent, steps, consumed = best
        per_node = spent / consumed
        verdict = ""
        if delta >= 100_000:
            verdict = f"  (target <= 150 ns/node: {'met' if per_node <= 150 else 'missed'})"
        print(f"{delta:>8} {steps:>8} {spent / steps:>9.0f} {per_node:>8.1f} "
              f"{1e3 / per_node:>9.2f}{verdict}")

    reducer = trellan_core.IncrementalReducer()
    reducer.step(store)
    call, loop = empty_step_cost(store, reducer)
    print(f"empty step(): {call:.0f} ns per call (empty loop {loop:.0f} ns/iter, "
          f"call minus loop {call - loop:.0f} ns)")

    canonical = reducer.canonical_count()
    print(f"\nfinalize vs reduce on {count} nodes; the reducer keeps {canonical} canonical nodes "
          f"({100 * (count - canonical) / count:.1f}% duplicates dedupped while stepping)")
    t_fin, (_, fin_report) = best_of(lambda: reducer.finalize(store, outputs=outputs))
    t_red, (_, red_report) = best_of(lambda: store.reduce(outputs=outputs))
    assert fin_report["reduced_nodes"] == red_report["reduced_nodes"], (fin_report, red_report)
    ratio = t_red / t_fin
    print(f"finalize(): {t_fin * 1e3:8.1f} ms   reduce(): {t_red * 1e3:8.1f} ms   "
          f"finalize is {ratio:.2f}x the speed of reduce (target >= 1: "
          f"{'met' if ratio >= 1 else 'missed'})")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
