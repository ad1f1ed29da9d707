"""A store as a plain dask task graph (a dict of tuples), which `dask.get`, `dask.threaded.get`
and `distributed.Client.get` run as it is. Building it needs no dask at all."""

from __future__ import annotations

import pickle
import secrets
from collections.abc import Callable, Hashable, Iterable
from functools import partial
from hashlib import blake2b
from typing import TYPE_CHECKING, Any

from .cache import CachedLoad, ResultCache, SaveAfter
from .execution import OP, REDUCTION, STAGE, Kernels, Prepared, Sources, prepare, run_members

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
    members, ref_offsets, refs, member_ops, last = (plan.member_offsets, plan.ref_offsets,
                                                   plan.refs, plan.member_operator_index,
                                                   plan.member_last_use)
    for step in plan.shape_first:
        first, end = members[step], members[step + 1]
        ops = member_ops[first:end].tolist()
        shapes.append(StageShape([calls[o] for o in ops], ref_offsets[first:end + 1].tolist(),
                                 refs[ref_offsets[first]:ref_offsets[end]].tolist(),
                                 last[first:end].tolist(), [labels[o] for o in ops]))
    return shapes


class _Hashing:
    """A file that hashes what is written to it, so that a large pickle is never held whole."""

    __slots__ = ("write",)

    def __init__(self, hasher: Any) -> None:
        self.write = hasher.update


def callables_token(name: str | None, sources: Sources, kernels: Kernels, exchange: Any,
                    join: Any, external: Any) -> bytes:
    """32 bytes that name the callables of a run: the hash of `name` when given, else of the
    pickled callables (kernels by sorted name), else, when something does not pickle, bytes
    new to this call."""
    if name is not None:
        return blake2b(name.encode("utf-8", "surrogatepass"), digest_size=32,
                       person=b"trellan.name").digest()
    hasher = blake2b(digest_size=32, person=b"trellan.calls")
    try:
        pickle.Pickler(_Hashing(hasher), protocol=5).dump(
            (sources, sorted(kernels.items()), exchange, join, external))
    except Exception:  # whatever a pickle hook raises: sharing is lost, never correctness
        return secrets.token_bytes(32)
    return hasher.digest()


def task_key_names(store: trellan_core.GraphStore, token: bytes, ids: Any) -> list[str]:
    """The dask key of each id's task: "trellan-" and the task key in hex."""
    text = store.task_keys(token, ids).hex()
    return ["trellan-" + text[i:i + 64] for i in range(0, len(text), 64)]


def to_dask(store: trellan_core.GraphStore, outputs: Iterable[int] | None = None, *,
            sources: Sources, kernels: Kernels, exchange: Callable[..., Any] | None = None,
            join: Callable[..., Any] | None = None, external: Callable[..., Any] | None = None,
            name: str | None = None,
            cache: ResultCache | None = None) -> tuple[dict[Hashable, Any], list[Hashable]]:
    """`(graph, keys)`: one task per node the outputs (default: the store's marks) depend on,
    and the keys of the outputs, in order, repeats kept.

    A key is "trellan-" and 64 hex digits, a hash of the task itself: the callables given, the
    node's operator (a stage's members) and its inputs' keys. Equal keys mean identical tasks,
    so graphs that repeat a computation share its keys, and a cluster that still holds a
    result gives it back. The callables are named by their pickled form, or, when one does not
    pickle, by a token new to each call. `name` replaces that token: passing one promises that
    the same name always comes with the same callables. A module-level function pickles by
    its name, so after editing a kernel in a live session, pass a new `name`.

    The arguments mean what they mean to `evaluate`, and the graph computes what `evaluate`
    returns. A stage is one task that runs its members in order. A source is a task that calls
    `sources(name, params)` where it runs, so its data never passes through the client (a
    mapping's values, though, travel inside the graph). The tasks are picklable objects that
    hold the callables they run, so for a cluster every callable given here must pickle too:
    module-level functions or instances of module-level classes, no lambdas or closures.

    With a `trellan.ResultCache`, a node whose value digest has an entry becomes a task with
    no inputs that loads it where it runs, keyed "trellan-load-" and a hash of the digest and
    the cache's namespace, and what only it needed is left out of the graph; every other task
    saves its value from where it ran when it qualifies (outputs always). The cache's directory
    must be visible to the workers."""
    prepared = prepare(store, outputs, sources=sources, kernels=kernels, exchange=exchange,
                       join=join, external=external)
    plan, calls = prepared.plan, prepared.calls
    token = callables_token(name, sources, kernels, exchange, join, external)
    member_labels = [prepared.label(op, True) if kind in (OP, REDUCTION) else ""
                     for op, (kind, _, _, _) in enumerate(plan.operators)]
    # A step's note as run_step writes it; a stage of one member is run as one call.
    labels = [f"({prepared.label(op, False)})" for op in range(len(plan.operators))]
    sole = [f"(stage), member 0 ({text})" for text in member_labels]
    shapes = _shapes(plan, calls, member_labels)
    reads, offsets = plan.inputs, plan.input_offsets
    if cache is not None:
        return _cached_graph(prepared, cache, lambda ids: task_key_names(store, token, ids),
                             labels, sole, shapes)
    keys = task_key_names(store, token, plan.ids)
    graph: dict[Hashable, Any] = {}
    for key, node, op, kind, shape, lo, hi in zip(keys, plan.ids, plan.operator_index, plan.kinds,
                                                 plan.stage_shape, offsets, offsets[1:]):
        args = [keys[j] for j in reads[lo:hi]]
        if op >= 0:
            graph[key] = (run_step, calls[op], node, sole[op] if kind == STAGE else labels[op], *args)
        else:
            graph[key] = (shapes[shape], node, *args)
    return graph, [keys[o] for o in plan.outputs]


def _cached_graph(prepared: Prepared, cache: ResultCache, keyed: Callable[[list[int]], list[str]],
                  labels: list[str], sole: list[str],
                  shapes: list[StageShape]) -> tuple[dict[Hashable, Any], list[Hashable]]:
    """The graph with cached nodes as load tasks: walking down from the outputs, a node whose
    entry is there is loaded, and only the inputs of nodes that compute are visited. Only the
    computing tasks get task keys, from `keyed(node ids)`."""
    plan, calls = prepared.plan, prepared.calls
    digests, reads, offsets = plan.digests, plan.inputs, plan.input_offsets
    outputs = set(plan.outputs)
    needed = bytearray(len(plan))
    for o in outputs:
        needed[o] = 1
    keys: list[str] = [""] * len(plan)
    tasks: list[tuple[int, Any]] = []  # computing steps, each with its task's callable
    graph: dict[Hashable, Any] = {}
    for s in range(len(plan) - 1, -1, -1):
        if not needed[s]:
            continue
        digest = digests[s * 32:(s + 1) * 32]
        if cache.contains(digest):
            keys[s] = "trellan-load-" + blake2b(cache.entry_key(digest), digest_size=32,
                                                person=b"trellan.load").hexdigest()
            graph[keys[s]] = (CachedLoad(cache, digest, f"node {plan.ids[s]}"),)
            continue
        node, op = plan.ids[s], plan.operator_index[s]
        if op >= 0:
            label = sole[op] if plan.kinds[s] == STAGE else labels[op]
            run: Callable[..., Any] = partial(run_step, calls[op], node, label)
        else:
            run = partial(shapes[plan.stage_shape[s]], node)
        for j in reads[offsets[s]:offsets[s + 1]]:
            needed[j] = 1
        tasks.append((s, SaveAfter(run, cache, digest, s in outputs)))
    for (s, _), key in zip(tasks, keyed([plan.ids[s] for s, _ in tasks])):
        keys[s] = key
    for s, task in tasks:
        graph[keys[s]] = (task, *[keys[j] for j in reads[offsets[s]:offsets[s + 1]]])
    return graph, [keys[o] for o in plan.outputs]
