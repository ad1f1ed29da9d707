"""The built-in example pipeline: a click-scoring job as a front end would record it."""

from __future__ import annotations

import os

from collections.abc import Sequence
from typing import Any

import trellan_core


def record_pipeline() -> tuple[trellan_core.GraphStore, list[int]]:
    """Records the example and returns the store and its output ids.

    It holds what the optimizer looks for: a commutative pair recorded both ways, two identity
    ops (+ 0.0 and 1.0 *), fan-out, a debugging branch no output needs, and the boundaries
    (reduction, external payload, exchange, join) that stage fusion never crosses."""
    g = trellan_core.GraphStore()
    clicks = g.add_source("clicks", {"table": "events.clicks", "partitions": 8})
    prices = g.add_source("prices", {"table": "catalog.prices"})
    users = g.add_source("users", {"table": "crm.users"})

    revenue = g.add_op("mul", [clicks, prices])
    revenue_again = g.add_op("mul", [prices, clicks])  # same product, recorded the other way
    shifted = g.add_op("add", [revenue], {"scalar": 0.0, "side": "r"})  # x + 0.0
    log_rev = g.add_op("log1p", [shifted])
    scaled = g.add_op("mul", [log_rev], {"scalar": 1.0, "side": "l"})  # 1.0 * x
    clipped = g.add_op("minimum", [scaled], {"scalar": 10.0, "side": "r"})
    squared = g.add_op("mul", [clipped, clipped])  # fan-out: clipped is read three times
    centered = g.add_op("sub", [clipped, revenue_again])
    score = g.add_op("add", [squared, centered])

    debug = g.add_op("exp", [log_rev])  # a leftover debugging branch: nothing reads it
    g.add_reduction("max", [debug], {"axis": 0})

    total = g.add_reduction("sum", [score], {"axis": 0})
    embedding = g.add_external(
        {
            "kind": "onnx",
            "content_hash": "sha256:5f0c9a1e7d",
            "framework": "onnxruntime",
            "version": "1.17.1",
            "io_schema": "f32[n] -> f32[n,16]",
        },
        [score],
        {"batch": 256},
    )
    by_user = g.add_exchange([embedding], {"scheme": "hash", "key": "user_id", "partitions": 16})
    joined = g.add_join([by_user, users], {"how": "inner", "on": "user_id"})
    return g, [joined, total]


# Stand-ins that keep the demo runnable without the real model or a real join: deterministic,
# module-level (so a cluster could run them too), shaped like what they replace.
def embed(descriptor: dict[str, Any], x: Any, /, **_params: Any) -> Any:
    """Stands in for the external model ("f32[n] -> f32[n,16]"): x times 16 fixed weights."""
    import numpy as np

    return np.outer(x, np.linspace(0.5, 2.0, 16))


def inner_join(left: Any, right: Any, /, **_params: Any) -> Any:
    """Stands in for the join on user_id: the rows of both sides side by side."""
    import numpy as np

    return np.column_stack((left, right))


def execute(pipeline: trellan_core.GraphStore,
            reduced: Sequence[tuple[str, trellan_core.GraphStore]],
            cache_dir: os.PathLike[str] | str | None = None) -> tuple[list[str], bool]:
    """Runs the pipeline's outputs before and after each reduction with the NumPy kernels, and,
    given `cache_dir`, twice more against a result cache there. Returns the lines to print and
    whether every run gave the recorded values."""
    try:
        import numpy as np

        from .kernels import SeededArrays, numpy_kernels
    except ImportError:
        return [
            "Execution skipped: running the graphs needs NumPy.",
            "  pip install \".[run]\" (in a checkout) or pip install \"trellan-core[run]\", "
            "then run trellan demo again.",
        ], True
    from . import Profile, ResultCache, evaluate, to_dask

    sources, kernels = SeededArrays((8,)), numpy_kernels()

    def values(store: trellan_core.GraphStore, outputs: list[int],
               cache: ResultCache | None = None, profile: Profile | None = None) -> list[Any]:
        return evaluate(store, outputs, sources=sources, kernels=kernels, external=embed,
                        join=inner_join, cache=cache, profile=profile)

    def tasks(store: trellan_core.GraphStore, outputs: list[int]) -> int:
        graph, _ = to_dask(store, outputs, sources=sources, kernels=kernels, external=embed,
                           join=inner_join)
        return len(graph)

    outputs = pipeline.outputs()
    expected = values(pipeline, outputs)
    rows = [("recorded", tasks(pipeline, outputs), "")]
    all_equal = True
    profile, profiled = Profile(), ""
    for title, store in reduced:
        # An output lands as a node of its own or as the last member of a stage: either way
        # the reduced node's value is the output's value.
        mapped = []
        for entry in store.node_map_of(outputs):
            assert entry is not None, "a reduction keeps its outputs"
            mapped.append(entry[0])
        got = values(store, mapped, profile=None if profiled else profile)
        profiled = profiled or title
        equal = all(np.array_equal(a, b, equal_nan=True) for a, b in zip(expected, got))
        all_equal = all_equal and equal
        rows.append((title, tasks(store, mapped), "equal to the recorded ones" if equal
                     else "DIFFERENT from the recorded ones"))
    shapes = " and ".join(str(np.shape(v)) for v in expected)
    lines = [
        "Execution with the NumPy kernels (trellan.evaluate): seeded random sources, stand-ins",
        f"for the external model and the join; outputs {outputs} of shapes {shapes}.",
        "Tasks: what trellan.to_dask hands a dask scheduler for each graph.",
        f"  {'graph':<26}{'tasks':>6}  outputs",
    ]
    lines.extend(f"  {title:<26}{n:>6}  {verdict}".rstrip() for title, n, verdict in rows)
    if profiled:
        lines.append(f"Where the time went, {profiled} (evaluate(..., profile=trellan.Profile())):")
        lines.extend("  " + line for line in profile.table().splitlines())
    if cache_dir is not None:
        cache = ResultCache(cache_dir)  # created 0700
        for _ in range(2):
            before = cache.stats()
            got = values(pipeline, outputs, cache)
            all_equal = all_equal and all(np.array_equal(a, b, equal_nan=True)
                                          for a, b in zip(expected, got))
        hits = cache.stats()["hits"] - before["hits"]
        lines.append(f"Run twice against a trellan.ResultCache in {cache_dir}: the second run "
                     f"had {hits} hits")
        lines.append(f"of {len(outputs)} outputs, loaded instead of computed.")
    return lines, all_equal
