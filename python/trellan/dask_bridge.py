"""A store as a plain dask task graph (a dict of tuples), which `dask.get`, `dask.threaded.get`
and `distributed.Client.get` run as it is. Building it needs no dask at all."""

from __future__ import annotations

import secrets
from collections.abc import Callable, Hashable, Iterable, Mapping
from functools import partial
from hashlib import blake2b
from typing import TYPE_CHECKING, Any

from .cache import CachedLoad, ResultCache, SaveAfter
from .cache_keys import KEY_SIZE, node_keys
from .execution import OP, REDUCTION, STAGE, Given, Kernels, Prepared, Sources, prepare, run_members
from .fingerprint import Fingerprints

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


def callables_token(name: str | None, given: Given, used: Iterable[str] = (),
                    prints: Fingerprints | None = None) -> bytes:
    """32 bytes that name the callables of a run: the hash of `name` when given, else of the
    fingerprints of the callables (every kernel of the table, and those of `used` too, in case
    the mapping does not list them; a sources mapping's values by content), else, when one of
    them has no fingerprint, bytes new to this call."""
    if name is not None:
        return blake2b(name.encode("utf-8", "surrogatepass"), digest_size=32,
                       person=b"trellan.name").digest()
    prints = Fingerprints() if prints is None else prints
    parts: list[bytes | None] = []
    try:
        sources, kernels = given.sources, given.kernels
        if isinstance(sources, Mapping):
            for key in sorted(sources):
                parts += [_named(key), prints.data(sources[key])]
        else:
            parts += [b"", prints.callable(sources)]
        for key in sorted({*kernels, *used}):
            parts += [_named(key), prints.callable(kernels[key])]
    except Exception:  # names that do not sort, a mapping that fails: sharing is lost, never correctness
        return secrets.token_bytes(32)
    for fn in (given.exchange, given.join, given.external):
        parts.append(b"-" if fn is None else prints.callable(fn))
    if any(part is None for part in parts):
        return secrets.token_bytes(32)
    return blake2b(b"".join(part for part in parts if part is not None), digest_size=32,
                   person=b"trellan.calls2").digest()


def _named(key: str) -> bytes:
    data = key.encode("utf-8", "surrogatepass")
    return len(data).to_bytes(8, "little") + data


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
    result gives it back. The callables are named by their fingerprints (their code and what
    it captures, a mapping's values by content), or, when one has none, by a token new to each
    call; an edited kernel therefore gets new keys. `name` replaces that token: passing one
    promises that the same name always comes with the same callables.

    The arguments mean what they mean to `evaluate`, and the graph computes what `evaluate`
    returns. A stage is one task that runs its members in order. A source is a task that calls
    `sources(name, params)` where it runs, so its data never passes through the client (a
    mapping's values, though, travel inside the graph). The tasks are picklable objects that
    hold the callables they run, so for a cluster every callable given here must pickle too:
    module-level functions or instances of module-level classes, no lambdas or closures.

    With a `trellan.ResultCache`, a node whose cache key has an entry becomes a task with no
    inputs that loads it where it runs, keyed "trellan-load-" and a hash of the entry's key,
    and what only it needed is left out of the graph; every other task saves its value from
    where it ran when it qualifies (outputs always), unless it has no cache key. The cache's
    directory must be visible to the workers."""
    prepared = prepare(store, outputs, sources=sources, kernels=kernels, exchange=exchange,
                       join=join, external=external)
    plan, calls = prepared.plan, prepared.calls
    prints = Fingerprints()
    used = [plan.names[name_at] for kind, name_at, _, _ in plan.operators if kind in (OP, REDUCTION)]
    token = callables_token(name, prepared.given, used, prints)
    member_labels = [prepared.label(op, True) if kind in (OP, REDUCTION) else ""
                     for op, (kind, _, _, _) in enumerate(plan.operators)]
    # A step's note as run_step writes it; a stage of one member is run as one call.
    labels = [f"({prepared.label(op, False)})" for op in range(len(plan.operators))]
    sole = [f"(stage), member 0 ({text})" for text in member_labels]
    shapes = _shapes(plan, calls, member_labels)
    reads, offsets = plan.inputs, plan.input_offsets
    if cache is not None:
        return _cached_graph(prepared, cache, lambda ids: task_key_names(store, token, ids),
                             labels, sole, shapes, prints)
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
                  labels: list[str], sole: list[str], shapes: list[StageShape],
                  prints: Fingerprints) -> tuple[dict[Hashable, Any], list[Hashable]]:
    """The graph with cached nodes as load tasks: walking down from the outputs, a node whose
    entry is there is loaded, and only the inputs of nodes that compute are visited. Only the
    computing tasks get task keys, from `keyed(node ids)`. A node without a cache key is
    neither loaded nor saved."""
    plan, calls = prepared.plan, prepared.calls
    node_key, unkeyed = node_keys(plan, prepared.given, prints)
    reads, offsets, ids, kinds, ops, shape_of = (plan.inputs, plan.input_offsets, plan.ids, plan.kinds,
                                                 plan.operator_index, plan.stage_shape)
    outputs = set(plan.outputs)
    needed = bytearray(len(plan))
    for o in outputs:
        needed[o] = 1
    keys: list[str] = [""] * len(plan)
    tasks: list[tuple[int, Any]] = []  # computing steps, each with its task's callable
    graph: dict[Hashable, Any] = {}
    without_key = 0
    for s in range(len(plan) - 1, -1, -1):
        if not needed[s]:
            continue
        key = node_key[s * KEY_SIZE:(s + 1) * KEY_SIZE]
        if not unkeyed[s] and cache.contains(key):
            keys[s] = "trellan-load-" + blake2b(cache.entry_key(key), digest_size=32,
                                                person=b"trellan.load").hexdigest()
            graph[keys[s]] = (CachedLoad(cache, key, f"node {ids[s]}"),)
            continue
        node, op = ids[s], ops[s]
        if op >= 0:
            label = sole[op] if kinds[s] == STAGE else labels[op]
            run: Callable[..., Any] = partial(run_step, calls[op], node, label)
        else:
            run = partial(shapes[shape_of[s]], node)
        for j in reads[offsets[s]:offsets[s + 1]]:
            needed[j] = 1
        if unkeyed[s]:
            without_key += 1
        tasks.append((s, run if unkeyed[s] else SaveAfter(run, cache, key, s in outputs)))
    cache.count_unkeyed(without_key)
    for (s, _), name in zip(tasks, keyed([ids[s] for s, _ in tasks])):
        keys[s] = name
    for s, task in tasks:
        graph[keys[s]] = (task, *[keys[j] for j in reads[offsets[s]:offsets[s + 1]]])
    return graph, [keys[o] for o in plan.outputs]
