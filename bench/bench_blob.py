"""Blob cost: serialize() and GraphStore.deserialize() beside pickling the node view.

Run: python bench/bench_blob.py [N]      (default N = 1000000)

Records a synthetic pipeline of about N nodes (bench/synthetic.py), then times, best
of 3 each and in the same run:
  serialize()                 against pickle.dumps(store.nodes())  (target >= 20x faster)
  GraphStore.deserialize()    against pickle.loads of those bytes  (target >= 5x faster)
and compares the sizes (target: blob no larger than the pickle). Also reports the cost
per node of nodes() and to_dot(). Every call starts from a collected heap and runs with
the cycle collector paused, which favours the pickle side (it allocates a million
dicts); one more row gives pickle.loads with the collector on, as Python runs by default.
"""

from __future__ import annotations

import gc
import pickle
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import trellan_core  # noqa: E402
import synthetic  # noqa: E402

REPEATS = 3


def best_of(fn, repeats: int = REPEATS, collector: bool = False):
    """Seconds of the fastest of `repeats` calls, and the last result. Each call
    starts from a collected heap, with the previous result freed; the cycle
    collector is paused during the call unless `collector` is set."""
    best = float("inf")
    result = None
    for _ in range(repeats):
        result = None
        gc.collect()
        if not collector:
            gc.disable()
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
        gc.enable()
    return best, result


def verdict(ok: bool) -> str:
    return "met" if ok else "missed"


def main(n: int) -> None:
    store, outputs = synthetic.pipeline(n)
    count = store.node_count()
    per = lambda s: s * 1e9 / count  # noqa: E731

    t_ser, blob = best_of(store.serialize)
    t_nodes, view = best_of(store.nodes)
    t_dumps, pickled = best_of(lambda: pickle.dumps(view, protocol=pickle.HIGHEST_PROTOCOL))
    t_de, back = best_of(lambda: trellan_core.GraphStore.deserialize(blob))
    t_loads, _ = best_of(lambda: pickle.loads(pickled))
    t_loads_gc, _ = best_of(lambda: pickle.loads(pickled), collector=True)
    t_dot, dot = best_of(store.to_dot)
    assert back.node_count() == count and back.serialize() == blob

    print(f"store of {count} nodes (synthetic pipeline), best of {REPEATS}")
    print(f"{'operation':<34} {'ms':>9} {'ns/node':>8} {'bytes/node':>11}")
    rows = [
        ("serialize()", t_ser, len(blob)),
        ("pickle.dumps(nodes())", t_dumps, len(pickled)),
        ("GraphStore.deserialize(blob)", t_de, None),
        ("pickle.loads(pickled view)", t_loads, None),
        ("  the same, cycle collector on", t_loads_gc, None),
        ("nodes()", t_nodes, None),
        ("to_dot()", t_dot, len(dot)),
    ]
    for name, s, size in rows:
        size_text = f"{size / count:>11.1f}" if size is not None else f"{'':>11}"
        print(f"{name:<34} {s * 1e3:>9.1f} {per(s):>8.0f} {size_text}")
    ser_ratio = t_dumps / t_ser
    de_ratio = t_loads / t_de
    size_ratio = len(blob) / len(pickled)
    print(f"serialize vs pickle.dumps:   {ser_ratio:6.1f}x faster (target >= 20x: {verdict(ser_ratio >= 20)})")
    print(f"deserialize vs pickle.loads: {de_ratio:6.1f}x faster (target >= 5x: {verdict(de_ratio >= 5)})")
    print(f"blob / pickle size:          {size_ratio:6.2f} (target <= 1: {verdict(size_ratio <= 1)})")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
