"""The reference interpreter: runs any store, recorded, reduced or read from a blob, on one
machine, each node once, in id order, without recursion."""

from __future__ import annotations

from array import array
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any

from .execution import Kernels, Sources, build

if TYPE_CHECKING:
    import trellan_core


def evaluate(store: trellan_core.GraphStore, outputs: Iterable[int] | None = None, *,
             sources: Sources, kernels: Kernels, exchange: Callable[..., Any] | None = None,
             join: Callable[..., Any] | None = None,
             external: Callable[..., Any] | None = None) -> list[Any]:
    """The values of `outputs` (default: the store's marks), one per requested id, in order,
    repeats kept.

    `sources(name, params)` (or a mapping from name) gives a source's value;
    `kernels[name](*inputs, **params)` runs an op or a reduction, also inside a stage;
    `exchange(*inputs, **params)` defaults to the identity of its one input;
    `join(left, right, **params)` and `external(descriptor, *inputs, **params)` have no default.

    Only the nodes the outputs depend on run. Before any of them does, a `LookupError` names
    every kernel or callable that is missing, with a node that needs it. An exception raised
    while a node runs keeps its type and gets a note naming the node (and the stage member).
    Each value is dropped after its last reader, so memory follows the graph's width."""
    plan = build(store, outputs, sources=sources, kernels=kernels, exchange=exchange,
                 join=join, external=external)
    keep = set(plan.outputs)
    # last[j]: the id of the last node that reads node j (ids are in step order); once that
    # reader has run, node j's value goes.
    last = array("q", [-1]) * (plan.ids[-1] + 1 if plan.ids else 0)
    for i, inputs in zip(plan.ids, plan.inputs):
        for j in inputs:
            last[j] = i

    values: dict[int, Any] = {}
    for i, runner, inputs in zip(plan.ids, plan.runners, plan.inputs):
        values[i] = runner(*[values[j] for j in inputs])
        for j in inputs:
            if last[j] == i and j not in keep:
                values.pop(j, None)  # pop: a node may read the same input twice
    return [values[o] for o in plan.outputs]
