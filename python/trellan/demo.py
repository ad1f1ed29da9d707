"""The built-in example pipeline: a click-scoring job as a front end would record it."""

from __future__ import annotations

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
