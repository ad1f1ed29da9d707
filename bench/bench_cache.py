"""The result cache on a pipeline people re-run: cold, warm, and after editing one op.

Run: python bench/bench_cache.py [--partitions N]      (pip install ".[bench]" first)

The pipeline, recorded in a GraphStore: 64 partitions of 512x512 float64 blocks, each through
twenty element-wise ops, then `(x - mean(x)) / std(x)` within the partition (one kernel), then a
sum; the 64 sums are the outputs. The NumPy kernels, and the default `min_seconds`. Runs:

  evaluate         `trellan.evaluate(..., cache=cache)`, digests from the native plan;
  dask threaded    `trellan.to_dask(..., cache=cache)` run by `dask.threaded.get`: cached
                   nodes are load tasks with no inputs, the rest save from where they ran.

Each is timed cold (fresh directory), warm (the same graph again), and after editing one op in
one partition (a store recorded anew, so ids and digests come from scratch). Baselines in the
same run: `evaluate` with no cache, and dask's own `cull` + `fuse` of `to_dask`'s plain graph run
by `dask.threaded.get`, which keeps nothing between runs. Also the cache's size on disk, its
per-entry costs against `np.save` / `np.load` of the same block, and the time a run spends
fingerprinting its callables (best of 20, each with fresh fingerprints): those the pipeline
uses, which the cache keys need, and the whole kernel table, which `to_dask`'s task keys cover.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import os
import shutil
import tempfile
import time
from collections.abc import Callable
from typing import Any

import dask.threaded
import numpy as np
from dask.optimization import cull, fuse

import trellan_core as tc
from trellan import ResultCache, evaluate, to_dask
from trellan.execution import OP, REDUCTION
from trellan.fingerprint import Fingerprints
from trellan.kernels import numpy_kernels

SHAPE = (512, 512)
# Twenty element-wise ops: (name, params).
OPS: list[tuple[str, dict[str, Any]]] = [
    ("mul", {"scalar": 1.0001, "side": "r"}), ("add", {"scalar": 0.5, "side": "r"}), ("tanh", {}),
    ("abs", {}), ("sub", {"scalar": 0.25, "side": "r"}),
] * 4
EDITED_OP = 6  # an add


def normalize(x: Any) -> Any:
    return (x - x.mean()) / x.std()


def block(_name: str, params: dict[str, Any]) -> Any:
    return np.random.default_rng(params["part"]).random(SHAPE)


KERNELS = {**numpy_kernels(), "normalize": normalize}
RUN = dict(sources=block, kernels=KERNELS)


def h(*parts: object) -> bytes:
    return hashlib.blake2b(repr(parts).encode(), digest_size=32).digest()


def pipeline(parts: int, edit: tuple[int, float] | None = None) -> tuple[tc.GraphStore, list[int]]:
    """The recorded pipeline; `edit` = (partition, scalar) changes one add's scalar there."""
    g = tc.GraphStore()
    outputs = []
    for p in range(parts):
        x = g.add_source("block", {"part": p})
        for j, (name, params) in enumerate(OPS):
            if edit and edit[0] == p and j == EDITED_OP:
                params = dict(params, scalar=edit[1])
            x = g.add_op(name, [x], params or None)
        outputs.append(g.add_reduction("sum", [g.add_op("normalize", [x])]))
    return g, outputs


def run_evaluate(case: tuple[tc.GraphStore, list[int]], cache: ResultCache | None) -> list[Any]:
    return evaluate(*case, **RUN, cache=cache)


def run_dask(case: tuple[tc.GraphStore, list[int]], cache: ResultCache | None) -> list[Any]:
    graph, keys = to_dask(*case, **RUN, cache=cache)
    if cache is None:  # the baseline: dask's own graph optimizations, no cache
        graph, deps = cull(graph, keys)
        graph, _ = fuse(graph, keys, deps)
    return list(dask.threaded.get(graph, keys))


def timed(fn: Callable[[], Any]) -> tuple[float, Any]:
    gc.collect()
    t0 = time.perf_counter()
    value = fn()
    return time.perf_counter() - t0, value


def scenario(label: str, parts: int, run: Callable[..., list[Any]], root: str,
             expected: list[Any], edited: list[Any]) -> None:
    """Cold, warm and edited runs against a fresh cache; each the best of 3 (cold: fresh
    directory each time; edited: a new edit each time)."""
    cold, warm, edit = [], [], []
    case = pipeline(parts)
    for r in range(3):
        cache = ResultCache(os.path.join(root, f"{label}-{r}"))
        t, got = timed(lambda: run(case, cache))
        assert got == expected
        cold.append(t)
        t, got = timed(lambda: run(case, cache))
        assert got == expected
        warm.append(t)
        changed = pipeline(parts, (r % parts, 1.5 + r))
        t, got = timed(lambda: run(changed, cache))
        assert r or got == edited
        edit.append(t)
    size = cache.info()
    print(f"{label:<16} cold {min(cold):7.3f} s   warm {min(warm) * 1e3:7.2f} ms "
          f"({min(cold) / min(warm):6.0f}x)   one op edited {min(edit) * 1e3:7.1f} ms "
          f"({min(cold) / min(edit):5.1f}x)   on disk {size['entries']} entries, "
          f"{size['bytes']} bytes")


def per_entry(root: str) -> None:
    data = block("block", {"part": 0})
    cache = ResultCache(os.path.join(root, "entries"))
    n = 20
    digests = [h("entry", k) for k in range(n)]
    t_save, _ = timed(lambda: [cache.save(d, data, force=True) for d in digests])
    t_load, _ = timed(lambda: [cache.lookup(d) for d in digests])
    files = [os.path.join(root, f"np{k}.npy") for k in range(n)]
    t_np_save, _ = timed(lambda: [np.save(f, data) for f in files])
    t_np_load, _ = timed(lambda: [np.load(f) for f in files])
    miss = [h("missing", k) for k in range(1000)]
    t_miss, _ = timed(lambda: [cache.lookup(d) for d in miss])
    t_has, _ = timed(lambda: [cache.contains(d) for d in digests * 50])
    small = [h("small", k) for k in range(1000)]
    t_small_save, _ = timed(lambda: [cache.save(d, 1.5, force=True) for d in small])
    t_small_load, _ = timed(lambda: [cache.lookup(d) for d in small])
    mib = data.nbytes / 2**20
    print(f"2 MiB block      save {t_save / n * 1e3:.2f} ms, lookup {t_load / n * 1e3:.2f} ms"
          f"   (np.save {t_np_save / n * 1e3:.2f} ms, np.load {t_np_load / n * 1e3:.2f} ms;"
          f" {mib:.0f} MiB each)")
    print(f"small values     save {t_small_save / 1e3 * 1e6:.0f} us, lookup "
          f"{t_small_load / 1e3 * 1e6:.0f} us, miss {t_miss / 1e3 * 1e6:.1f} us, contains "
          f"{t_has / 1e3 * 1e6:.1f} us")


def fingerprinting(parts: int) -> None:
    store, outputs = pipeline(parts)
    plan = store.execution_plan(outputs)
    used = sorted({plan.names[name] for kind, name, _, _ in plan.operators if kind in (OP, REDUCTION)})

    def best(kernels: list[str]) -> float:
        times = []
        for _ in range(20):
            t0 = time.perf_counter()
            prints = Fingerprints()
            assert prints.callable(block) is not None
            assert all(prints.callable(KERNELS[name]) is not None for name in kernels)
            times.append(time.perf_counter() - t0)
        return min(times)

    print(f"fingerprints     the pipeline's callables {best(used) * 1e3:.3f} ms (block and "
          f"{len(used)} kernels);   the whole table {best(sorted(KERNELS)) * 1e3:.3f} ms "
          f"(block and {len(KERNELS)} kernels, for to_dask's task keys)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--partitions", type=int, default=64)
    parts = parser.parse_args().partitions
    root = tempfile.mkdtemp(prefix="trellan-cache-bench-")
    os.chmod(root, 0o700)
    try:
        case = pipeline(parts)
        t_plain, expected = timed(lambda: run_evaluate(case, None))
        t_plain = min(t_plain, *(timed(lambda: run_evaluate(case, None))[0] for _ in range(2)))
        edited = run_evaluate(pipeline(parts, (0, 1.5)), None)
        t_dask = min(timed(lambda: run_dask(case, None))[0] for _ in range(3))
        print(f"{parts} partitions of {SHAPE[0]}x{SHAPE[1]} float64, {len(OPS) + 3} nodes each")
        print(f"baselines        evaluate, no cache {t_plain:.3f} s;   dask cull+fuse, threaded "
              f"{t_dask:.3f} s (every run)")
        fingerprinting(parts)
        scenario("evaluate", parts, run_evaluate, root, expected, edited)
        scenario("dask threaded", parts, run_dask, root, expected, edited)
        per_entry(root)
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
