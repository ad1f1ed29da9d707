"""A store as a plain dask task graph (a dict of tuples), which `dask.get`, `dask.threaded.get`
and `distributed.Client.get` run as it is. Building it needs no dask at all."""

from __future__ import annotations

import uuid
from collections.abc import Callable, Hashable, Iterable
from typing import TYPE_CHECKING, Any

from .execution import OP, REDUCTION, STAGE, Kernels, Sources, prepare, run_members

if TYPE_CHECKING:
    import trellan_core


def run_step(fn: Callable[..., Any], node: int, label: str, *inputs: Any) -> Any:
    """The task of a node that is one call, `fn(*inputs)`, naming the node if it raises."""
    try:
        return fn(*inputs)
    except Exception as err:
        err.add_note(f"trellan: raised by node {node} {label}")
        raise


class StageShape:
    """Runs a stage of one shape: its members' callables, references and last readers, with the
    labels its error notes use. Every stage of the shape shares one; a task passes it the node
    (for the notes) and the stage's inputs, and gets the last member's value."""

    __slots__ = ("calls", "ref_offsets", "refs", "last", "labels")

    def __init__(self, calls: list[Callable[..., Any]], ref_offsets: list[int], refs: list[int],
                 last: list[int], labels: list[str]) -> None:
        self.calls = calls
        self.ref_offsets = ref_offsets  # as in the plan: refs[0] is entry ref_offsets[0]
        self.refs = refs
        self.last = last
        self.labels = labels

    def __call__(self, node: int, *inputs: Any) -> Any:
        count = len(self.calls)
        return run_members(self.calls, range(count), self.ref_offsets, self.refs,
                           self.ref_offsets[0], self.last, 0, count, inputs,
                           lambda k: f"node {node} (stage), member {k} ({self.labels[k]})")


def _shapes(plan: trellan_core.ExecutionPlan, calls: list[Callable[..., Any]],
            labels: list[str]) -> list[StageShape]:
    shapes = []
    members, ref_offsets = plan.member_offsets, plan.ref_offsets
    for step in plan.shape_first:
        first, end = members[step], members[step + 1]
        ops = plan.member_operator_index[first:end].tolist()
        shapes.append(StageShape([calls[o] for o in ops], ref_offsets[first:end + 1].tolist(),
                                 plan.refs[ref_offsets[first]:ref_offsets[end]].tolist(),
                                 plan.member_last_use[first:end].tolist(),
                                 [labels[o] for o in ops]))
    return shapes


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
    prepared = prepare(store, outputs, sources=sources, kernels=kernels, exchange=exchange,
                       join=join, external=external)
    plan, calls = prepared.plan, prepared.calls
    if name is None:
        name = f"trellan-{uuid.uuid4().hex}"
    member_labels = [prepared.label(op, True) if kind in (OP, REDUCTION) else ""
                     for op, (kind, _, _, _) in enumerate(plan.operators)]
    # A step's note as run_step writes it; a stage of one member is run as one call.
    labels = [f"({prepared.label(op, False)})" for op in range(len(plan.operators))]
    sole = [f"(stage), member 0 ({text})" for text in member_labels]
    shapes = _shapes(plan, calls, member_labels)
    keys = [(name, i) for i in plan.ids]
    reads, offsets = plan.inputs, plan.input_offsets
    graph: dict[Hashable, Any] = {}
    for key, node, op, kind, shape, lo, hi in zip(keys, plan.ids, plan.operator_index, plan.kinds,
                                                 plan.stage_shape, offsets, offsets[1:]):
        args = [keys[j] for j in reads[lo:hi]]
        if op >= 0:
            graph[key] = (run_step, calls[op], node, sole[op] if kind == STAGE else labels[op], *args)
        else:
            graph[key] = (shapes[shape], node, *args)
    return graph, [keys[o] for o in plan.outputs]
