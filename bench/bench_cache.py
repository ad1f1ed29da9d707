"""The result cache on a pipeline people re-run: cold, warm, and after editing one op.

Run: python bench/bench_cache.py [--partitions N]      (pip install ".[bench]" first)

The pipeline: 64 partitions of 512x512 float64 blocks, each through twenty element-wise ops,
then `(x - mean(x)) / std(x)` within the partition, then a sum; the 64 sums are the outputs.
Every node gets a 32-byte digest made here from its op, its params and its input's digest, and
the runs drive the cache the way an executor does, with the default `min_seconds`:

  evaluate-style   one loop: look the output up, then walk down the chain to the first cached
                   node, compute from there, and `save` each value (outputs forced);
  dask threaded    a dask graph built per run: a cached node becomes a `CachedLoad` task with no
                   inputs (everything below it is left out), every other node a task wrapped in
                   `SaveAfter`, run by `dask.threaded.get`.

The digests are made before the clock starts, as a native plan gives them. Baselines in the
same run: the same loop with no cache, and dask's own `cull` + `fuse` of the
plain graph run by `dask.threaded.get`, which keeps nothing between runs. Also the cache's size
on disk, and its per-entry costs against `np.save` / `np.load` of the same block.
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

from trellan import ResultCache
from trellan.cache import CachedLoad, SaveAfter

SHAPE = (512, 512)
# Twenty element-wise ops, as (name, function of the block and a scalar, scalar).
OPS: list[tuple[str, Callable[[Any, float], Any], float]] = [
    (name, fn, c) for name, fn, c in [
        ("mul", np.multiply, 1.0001), ("add", np.add, 0.5), ("tanh", lambda x, _: np.tanh(x), 0.0),
        ("abs", lambda x, _: np.abs(x), 0.0), ("sub", np.subtract, 0.25),
    ]
] * 4


def normalize(x: Any) -> Any:
    return (x - x.mean()) / x.std()


def source(p: int) -> Any:
    return np.random.default_rng(p).random(SHAPE)


def h(*parts: object) -> bytes:
    return hashlib.blake2b(repr(parts).encode(), digest_size=32).digest()


class Step:
    """One node of a chain: what it computes and its digest."""

    def __init__(self, run: Callable[[Any], Any], digest: bytes, where: str) -> None:
        self.run, self.digest, self.where = run, digest, where

    def __call__(self, x: Any) -> Any:
        return self.run(x)


def chain(p: int, edit: tuple[int, float] | None) -> list[Step]:
    """Partition p's nodes from its source to its sum; `edit` changes one op's scalar."""
    steps = [Step(lambda _: source(p), h("source", p), f"source {p}")]
    for j, (name, fn, c) in enumerate(OPS):
        c = edit[1] if edit and edit[0] == j else c
        steps.append(Step(lambda x, fn=fn, c=c: fn(x, c), h(name, c, steps[-1].digest),
                          f"{name} {p}.{j}"))
    steps.append(Step(normalize, h("normalize", steps[-1].digest), f"normalize {p}"))
    steps.append(Step(np.sum, h("sum", steps[-1].digest), f"sum {p}"))
    return steps


def pipeline(parts: int, edit: tuple[int, int, float] | None = None) -> list[list[Step]]:
    return [chain(p, edit[1:] if edit and edit[0] == p else None) for p in range(parts)]


def run_plain(chains: list[list[Step]]) -> list[Any]:
    out = []
    for steps in chains:
        x = None
        for step in steps:
            x = step(x)
        out.append(x)
    return out


def run_cached(chains: list[list[Step]], cache: ResultCache) -> list[Any]:
    out = []
    for steps in chains:
        k = len(steps) - 1
        found, x = cache.lookup(steps[k].digest)
        while not found and k > 0:
            k -= 1
            found, x = cache.lookup(steps[k].digest)
        start = k + 1 if found else 0
        for j in range(start, len(steps)):
            t0 = time.perf_counter()
            x = steps[j](x)
            cache.save(steps[j].digest, x, time.perf_counter() - t0, force=j == len(steps) - 1)
        out.append(x)
    return out


def dask_graph(chains: list[list[Step]], cache: ResultCache | None) -> tuple[dict, list]:
    graph: dict[Any, Any] = {}
    keys = []
    for p, steps in enumerate(chains):
        for j in range(len(steps) - 1, -1, -1):
            key = (p, j)
            if cache is not None and cache.contains(steps[j].digest):
                graph[key] = (CachedLoad(cache, steps[j].digest, steps[j].where),)
                break
            run = steps[j] if cache is None else SaveAfter(steps[j], cache, steps[j].digest,
                                                           j == len(steps) - 1)
            graph[key] = (run, (p, j - 1)) if j else (run, None)
        keys.append((p, len(steps) - 1))
    return graph, keys


def run_dask(chains: list[list[Step]], cache: ResultCache | None) -> list[Any]:
    graph, keys = dask_graph(chains, cache)
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
    chains = pipeline(parts)
    for r in range(3):
        path = os.path.join(root, f"{label}-{r}")
        cache = ResultCache(path)
        t, got = timed(lambda: run(chains, cache))
        assert got == expected
        cold.append(t)
        t, got = timed(lambda: run(chains, cache))
        assert got == expected and cache.stats()["hits"] == parts
        warm.append(t)
        changed = pipeline(parts, (r % parts, 7, 1.5 + r))
        t, got = timed(lambda: run(changed, cache))
        assert r or got == edited
        edit.append(t)
    size = cache.info()
    print(f"{label:<16} cold {min(cold):7.3f} s   warm {min(warm) * 1e3:7.2f} ms "
          f"({min(cold) / min(warm):6.0f}x)   one op edited {min(edit) * 1e3:7.1f} ms "
          f"({min(cold) / min(edit):5.1f}x)   on disk {size['entries']} entries, "
          f"{size['bytes']} bytes")


def per_entry(root: str) -> None:
    block = source(0)
    cache = ResultCache(os.path.join(root, "entries"))
    n = 20
    digests = [h("entry", k) for k in range(n)]
    t_save, _ = timed(lambda: [cache.save(d, block, force=True) for d in digests])
    t_load, _ = timed(lambda: [cache.lookup(d) for d in digests])
    files = [os.path.join(root, f"np{k}.npy") for k in range(n)]
    t_np_save, _ = timed(lambda: [np.save(f, block) for f in files])
    t_np_load, _ = timed(lambda: [np.load(f) for f in files])
    miss = [h("missing", k) for k in range(1000)]
    t_miss, _ = timed(lambda: [cache.lookup(d) for d in miss])
    t_has, _ = timed(lambda: [cache.contains(d) for d in digests * 50])
    small = [h("small", k) for k in range(1000)]
    t_small_save, _ = timed(lambda: [cache.save(d, 1.5, force=True) for d in small])
    t_small_load, _ = timed(lambda: [cache.lookup(d) for d in small])
    mib = block.nbytes / 2**20
    print(f"2 MiB block      save {t_save / n * 1e3:.2f} ms, lookup {t_load / n * 1e3:.2f} ms"
          f"   (np.save {t_np_save / n * 1e3:.2f} ms, np.load {t_np_load / n * 1e3:.2f} ms;"
          f" {mib:.0f} MiB each)")
    print(f"small values     save {t_small_save / 1e3 * 1e6:.0f} us, lookup "
          f"{t_small_load / 1e3 * 1e6:.0f} us, miss {t_miss / 1e3 * 1e6:.1f} us, contains "
          f"{t_has / 1e3 * 1e6:.1f} us")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--partitions", type=int, default=64)
    parts = parser.parse_args().partitions
    root = tempfile.mkdtemp(prefix="trellan-cache-bench-")
    os.chmod(root, 0o700)
    try:
        chains = pipeline(parts)
        t_plain, expected = timed(lambda: run_plain(chains))
        t_plain = min(t_plain, *(timed(lambda: run_plain(chains))[0] for _ in range(2)))
        edited = run_plain(pipeline(parts, (0, 7, 1.5)))
        t_dask = min(timed(lambda: run_dask(chains, None))[0] for _ in range(3))
        print(f"{parts} partitions of {SHAPE[0]}x{SHAPE[1]} float64, {len(OPS) + 3} nodes each")
        print(f"baselines        no cache, one loop {t_plain:.3f} s;   dask cull+fuse, threaded "
              f"{t_dask:.3f} s (every run)")
        scenario("evaluate-style", parts, run_cached, root, expected, edited)
        scenario("dask threaded", parts, lambda c, cache: run_dask(c, cache), root, expected,
                 edited)
        per_entry(root)
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
