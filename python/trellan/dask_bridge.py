"""A store as a plain dask task graph (a dict of tuples), which `dask.get`, `dask.threaded.get`
and `distributed.Client.get` run as it is. Building it needs no dask at all."""

from __future__ import annotations

import uuid
from collections.abc import Callable, Hashable, Iterable
from typing import TYPE_CHECKING, Any

from .execution import Kernels, Sources, build

if TYPE_CHECKING:
    import trellan_core


def to_dask(store: trellan_core.GraphStore, outputs: Iterable[int] | None = None, *,
            sources: Sources, kernels: Kernels, exchange: Callable[..., Any] | None = None,
            join: Callable[..., Any] | None = None, external: Callable[..., Any] | None = None,
            name: str | None = None) -> tuple[dict[Hashable, Any], list[Hashable]]:
    """`(graph, keys)`: one task per node the outputs (default: the store's marks) depend on,
    keyed `(name, node_id)`, and the keys of the outputs, in order, repeats kept.

    By default `name` is "trellan-" and a hex string new to each call, so that no two graphs
    share a key: a distributed scheduler that still holds a key gives its value to any graph
    that names it. A name of your own is safe with `dask.get` and `dask.threaded.get`, which
    keep nothing between calls; on a cluster, reuse one only for the same graph (the same
    store, outputs and callables).

    The arguments mean what they mean to `evaluate`, and the graph computes what `evaluate`
    returns. A stage is one task that runs its members in order. A source is a task that calls
    `sources(name, params)` where it runs, so its data never passes through the client (a
    mapping's values, though, travel inside the graph). The tasks are picklable objects that
    hold the callables they run, so for a cluster every callable given here must pickle too:
    module-level functions or instances of module-level classes, no lambdas or closures."""
    plan = build(store, outputs, sources=sources, kernels=kernels, exchange=exchange,
                 join=join, external=external)
    if name is None:
        name = "trellan-" + uuid.uuid4().hex
    graph: dict[Hashable, Any] = {
        (name, i): (runner, *[(name, j) for j in inputs])
        for i, runner, inputs in zip(plan.ids, plan.runners, plan.inputs)
    }
    return graph, [(name, o) for o in plan.outputs]
