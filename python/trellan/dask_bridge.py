"""A store as a dask task graph, which `dask.get`, `dask.threaded.get` and
`distributed.Client.get` run as it is. Its tasks are dask's own task objects (`Task`, with a
`TaskRef` per input) where the installed dask has them, so that no scheduler converts anything,
and plain tuples otherwise; building one needs no dask at all."""

from __future__ import annotations

import gc
import secrets
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from functools import partial
from itertools import starmap
from hashlib import blake2b
from typing import TYPE_CHECKING, Any

from . import task_names
from .cache import CachedLoad, ResultCache, SaveAfter
from .cache_keys import KEY_SIZE, node_keys
from .dask_runs import COMPUTES, LOADS, fused_graph
from .execution import (OP, REDUCTION, SOURCE, STAGE, Given, Kernels, Prepared, Recorded, Sources, callable_of,
                        prepare, recorded_of, run_members)
from .fingerprint import Fingerprints

if TYPE_CHECKING:
    import trellan_core


class OneCall:
    """Runs the steps of one operator that are one call, `fn(*inputs)`: a task passes it the
    node and its recorded ids, which the note names if the call raises."""

    __slots__ = ("fn", "label")

    def __init__(self, fn: Callable[..., Any], label: str) -> None:
        self.fn = fn
        self.label = label

    def __call__(self, node: int, recorded: Recorded, *inputs: Any) -> Any:
        try:
            return self.fn(*inputs)
        except Exception as err:
            err.add_note(f"trellan: raised by node {node} {self.label}{recorded_of(recorded, 0)}")
            raise


class SourceCall:
    """Runs the step of a source read by a callable, `sources(name, params)` with a fresh copy of
    the params: one object per source, as a graph may have a hundred thousand of them, each
    with its own params."""

    __slots__ = ("sources", "name", "params", "label")

    def __init__(self, sources: Callable[..., Any], name: str, params: dict[str, Any], label: str) -> None:
        self.sources = sources
        self.name = name
        self.params = params
        self.label = label

    def __call__(self, node: int, recorded: Recorded) -> Any:
        try:
            return self.sources(self.name, dict(self.params))
        except Exception as err:
            err.add_note(f"trellan: raised by node {node} {self.label}{recorded_of(recorded, 0)}")
            raise


class StageShape:
    """Runs a stage of one shape: its members' callables, references and last readers, with the
    labels its error notes use. Every stage of the shape shares one; a task passes it the node
    and its recorded ids (for the notes) and the stage's inputs, and gets the last member's
    value."""

    __slots__ = ("calls", "ref_offsets", "refs", "last", "labels")

    def __init__(self, calls: Sequence[Callable[..., Any]], ref_offsets: Sequence[int], refs: Sequence[int],
                 last: Sequence[int], labels: Sequence[str]) -> None:
        self.calls = calls
        self.ref_offsets = ref_offsets  # refs[0] is entry ref_offsets[0]
        self.refs = refs
        self.last = last
        self.labels = labels

    def __call__(self, node: int, recorded: Recorded, *inputs: Any) -> Any:
        count = len(self.calls)
        return run_members(self.calls, range(count), self.ref_offsets, self.refs,
                           self.ref_offsets[0], self.last, 0, count, inputs,
                           lambda k: f"node {node} (stage), member {k} ({self.labels[k]})"
                                     + recorded_of(recorded, k))


def _shapes(plan: trellan_core.ExecutionPlan, calls: list[Callable[..., Any]],
            member_labels: list[str]) -> list[StageShape]:
    # Sliced natively: a graph can have tens of thousands of shapes, most of them used once.
    return list(starmap(StageShape, plan.stage_shapes(calls, member_labels)))


class Spelled:
    """What the tasks of a plan say about their operators, made once per kind and name: per
    operator, the key prefix of a node that runs it and of a stage whose last member does, and
    the labels of the error notes."""

    def __init__(self, plan: trellan_core.ExecutionPlan, prepared: Prepared) -> None:
        names = plan.names
        cache: dict[tuple[int, int], tuple[str, str, str, str, str]] = {}
        self.prefixes: list[str] = []        # a node running the operator
        self.stage_prefixes: list[str] = []  # a stage whose last member runs it
        self.labels: list[str] = []          # a node's note: "(op 'add')"
        self.members: list[str] = []         # a member's note: "op 'add'"
        self.sole: list[str] = []            # a stage of that one member, run as one call
        self.kernels: list[str] = []         # the names of the kernels the operators run
        for op, (kind, name_at, _, _) in enumerate(plan.operators):
            spelled = cache.get((kind, name_at))
            if spelled is None:
                name = names[name_at]
                member = prepared.label(op, True) if kind in (OP, REDUCTION) else ""
                if member:
                    self.kernels.append(name)
                spelled = cache[kind, name_at] = (
                    task_names.prefix(kind, name), task_names.prefix(STAGE, name),
                    f"({prepared.label(op, False)})", member, f"(stage), member 0 ({member})")
            self.prefixes.append(spelled[0])
            self.stage_prefixes.append(spelled[1])
            self.labels.append(spelled[2])
            self.members.append(spelled[3])
            self.sole.append(spelled[4])


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


def task_keys(plan: trellan_core.ExecutionPlan, token: bytes, spelled: Spelled) -> list[str]:
    """The dask key of each step's task: its prefix and its task key in hex."""
    return plan.task_key_names(token, spelled.prefixes, spelled.stage_prefixes)


class _Emit:
    """Makes the graph's entries: dask's `Task` with a `TaskRef` per input where the installed
    dask has them, else the tuple `(fn, *input keys)`; and how `ExecutionPlan.task_graph`
    makes dask's objects without calling their classes, when it can (see `_checked_fill`)."""

    def __init__(self) -> None:
        found = task_objects()
        self.classes = found
        self.task: Callable[..., Any] = _legacy_task if found is None else found[0]
        self.ref: Callable[[str], Any] = str if found is None else found[1]
        self.fill = None if found is None else _fill_of(*found)


def task_objects() -> tuple[type, type] | None:
    """dask's `Task` and `TaskRef` classes, or None for a dask that reads tuples only."""
    try:
        from dask._task_spec import Task, TaskRef
    except ImportError:
        return None
    return Task, TaskRef


def _legacy_task(_key: str, fn: Callable[..., Any], *inputs: str) -> tuple[Any, ...]:
    return (fn, *inputs)


# The slots dask's Task and TaskRef constructors set, and those a Task takes as its constructor
# leaves them when it is given no keywords.
_TASK_SLOTS = frozenset(("key", "_dependencies", "func", "args", "kwargs", "_data_producer", "_token",
                         "_is_coro", "_repr"))
_TASK_DEFAULTS = ("kwargs", "_data_producer", "_token", "_is_coro", "_repr")
_FILLS: dict[tuple[type, type], Any] = {}


def _fill_of(task: type, ref: type) -> Any:
    if (task, ref) not in _FILLS:
        _FILLS[task, ref] = _checked_fill(task, ref)
    return _FILLS[task, ref]


def _checked_fill(task: type, ref: type) -> Any:
    """The `fill` of `ExecutionPlan.task_graph` for dask's classes: their instances made with
    their slots set directly, as their constructors set them, which costs a fraction of calling
    them. Used only when the installed classes have exactly the slots known here, no `__new__`
    or `__setattr__` of their own, and a small graph made both ways comes out the same, slot by
    slot; None otherwise, and the classes are called."""
    import trellan_core

    def slots(cls: type) -> set[str] | None:
        found: set[str] = set()
        for c in cls.__mro__[:-1]:
            if "__slots__" not in c.__dict__:  # its instances have a __dict__
                return None
            names = c.__dict__["__slots__"]
            found.update((names,) if isinstance(names, str) else names)
        return found

    plain = object.__dict__["__new__"], object.__dict__["__setattr__"]
    if slots(task) != set(_TASK_SLOTS) or slots(ref) != {"key"} or any(
            (getattr(cls, "__new__"), getattr(cls, "__setattr__")) != plain for cls in (task, ref)):
        return None
    try:
        template = task("trellan-template", _legacy_task)
        fill = ("key", "key", "func", "args", "_dependencies", template._dependencies, template,
                _TASK_DEFAULTS)
        store = trellan_core.GraphStore()
        a = store.add_source("a", {})
        b = store.add_op("b", [a, a])
        c = store.add_op("c", [b, a])
        plan = store.execution_plan([c])
        keys = [f"trellan-check-{s}" for s in range(len(plan))]
        calls = [_legacy_task] * len(plan.operators)
        recorded: list[Recorded] = [None, 5, b"x"]
        made = plan.task_graph(keys, calls, calls, [], recorded, task, ref, fill)
        called = plan.task_graph(keys, calls, calls, [], recorded, task, ref)
        for key in keys:
            one, other = made[key], called[key]
            if type(one) is not type(other) or any(
                    getattr(one, slot) != getattr(other, slot) for slot in _TASK_SLOTS):
                return None
            if [type(x) for x in one.args] != [type(x) for x in other.args]:
                return None
    except Exception:  # a dask that builds its tasks another way: call its classes
        return None
    return fill


def to_dask(store: trellan_core.GraphStore, outputs: Iterable[int] | None = None, *,
            sources: Sources, kernels: Kernels, exchange: Callable[..., Any] | None = None,
            join: Callable[..., Any] | None = None, external: Callable[..., Any] | None = None,
            name: str | None = None, cache: ResultCache | None = None,
            fuse_runs: bool = False) -> tuple[dict[str, Any], list[str]]:
    """`(graph, keys)`: one task per node the outputs (default: the store's marks) depend on,
    and the keys of the outputs, in order, repeats kept.

    A key is "trellan-", words that say what the task runs (so that dask's `key_split` gives
    "trellan-add" for an op `add`, "trellan-sum-reduction", "trellan-exp-stage", ...) and 64
    hex digits, a hash of the task itself: the callables given, the node's operator (a stage's
    members) and its inputs' keys. Equal keys mean identical tasks, so graphs that repeat a
    computation share its keys, and a cluster that still holds a result gives it back. The
    callables are named by their fingerprints (their code and what it captures, a mapping's
    values by content), or, when one has none, by a token new to each call; an edited kernel
    therefore gets new keys. `name` replaces that token: passing one promises that the same
    name always comes with the same callables.

    The arguments mean what they mean to `evaluate`, and the graph computes what `evaluate`
    returns. A stage is one task that runs its members in order. A source is a task that calls
    `sources(name, params)` where it runs, so its data never passes through the client (a
    mapping's values, though, travel inside the graph). The tasks hold the callables they run,
    so for a cluster every callable given here must pickle too: module-level functions or
    instances of module-level classes, no lambdas or closures. A task that raises adds a note
    naming its node, and, in a reduced store, the recorded nodes that became it.

    With a `trellan.ResultCache`, a node whose cache key has an entry becomes a task with no
    inputs that loads it where it runs, keyed "trellan-...-load-" and a hash of the entry's
    key, and what only it needed is left out of the graph; every other task saves its value
    from where it ran when it qualifies (outputs always), unless it has no cache key. The
    cache's directory must be visible to the workers.

    `fuse_runs=True` hands dask one task per run of nodes in which each node after the first
    reads nothing but the node before it, which nothing else reads and which is no output
    (see `trellan.dask_runs`): fewer tasks, the same parallelism. A run is keyed by its last
    node's words, "run-" and a hash of its nodes' task keys and its inputs' keys."""
    with collector_paused():  # and every object the build made but the graph is gone before it resumes
        return _graph(prepare(store, outputs, sources=sources, kernels=kernels, exchange=exchange,
                              join=join, external=external), name, cache, fuse_runs)


@contextmanager
def collector_paused() -> Iterator[None]:
    """Pauses the cyclic garbage collector: building a task graph makes several small objects
    per task and no reference cycle, and the collector would walk them again and again as
    they pile up (on a graph of 300k tasks, that doubles the time of the build)."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _graph(prepared: Prepared, name: str | None, cache: ResultCache | None,
           fuse_runs: bool) -> tuple[dict[str, Any], list[str]]:
    plan = prepared.plan
    prints = Fingerprints()
    spelled = Spelled(plan, prepared)
    token = callables_token(name, prepared.given, spelled.kernels, prints)
    keys = task_keys(plan, token, spelled)
    steps = StepCalls(prepared, spelled)
    recorded = plan.recorded_ids()
    emit = _Emit()
    if cache is None and not fuse_runs:  # one task per step, made natively
        task, ref = emit.classes or (None, None)
        return (plan.task_graph(keys, steps.calls, steps.sole, steps.shapes, recorded, task, ref, emit.fill),
                [keys[o] for o in plan.outputs])
    reads, offsets = plan.inputs.tolist(), plan.input_offsets.tolist()
    heads = steps.heads(plan, recorded)
    if cache is None:
        calls: list[Any] = [partial(head[0], *head[1:]) for head in heads]
        tasks = bytearray((COMPUTES,)) * len(plan)
    else:  # a warm run keeps a few of many steps: only those get a callable
        calls, tasks = _cached(prepared, cache, keys, heads, reads, offsets, prints)
    if fuse_runs:
        return fused_graph(keys, calls, reads, offsets, plan.outputs, tasks, emit.task, emit.ref)
    graph: dict[str, Any] = {}
    refs = [emit.ref(key) if what else None for key, what in zip(keys, tasks)]
    for s, what in enumerate(tasks):
        if what:
            inputs = reads[offsets[s]:offsets[s + 1]] if what == COMPUTES else ()
            graph[keys[s]] = emit.task(keys[s], calls[s], *[refs[j] for j in inputs])
    return graph, [keys[o] for o in plan.outputs]


class StepCalls:
    """What the tasks of a plan call, each made once and shared by the steps that run it: per
    operator, a `OneCall` for a step that is one call of it, and one for a stage whose only
    member it is (its note names the member); per stage shape, a `StageShape`."""

    def __init__(self, prepared: Prepared, spelled: Spelled) -> None:
        plan = prepared.plan
        self.calls: list[Any] = [None] * len(plan.operators)
        self.sole: list[Any] = [None] * len(plan.operators)  # only for operators a stage's member can run
        calls: list[Any] = [None] * len(plan.operators)  # the callables of the input values members run
        labels, sole, names, params = spelled.labels, spelled.sole, plan.names, plan.params
        others = []
        for k, ((kind, name_at, params_at, _), fn) in enumerate(zip(plan.operators, prepared.fns)):
            if kind == SOURCE and fn is not None:  # a source a callable reads: most operators of a large graph
                self.calls[k] = SourceCall(fn, names[name_at], params[params_at], labels[k])
            else:
                others.append(k)
        for k, op in enumerate(prepared.spelled_out(others)):
            k = others[k]
            call = calls[k] = callable_of(op)
            self.calls[k] = OneCall(call, labels[k])
            if plan.operators[k][0] in (OP, REDUCTION):
                self.sole[k] = OneCall(call, sole[k])
        self.shapes = _shapes(plan, calls, spelled.members)

    def heads(self, plan: trellan_core.ExecutionPlan, recorded: list[Recorded]) -> list[tuple[Any, ...]]:
        """Per step, what its task calls and the arguments before its inputs' values."""
        return [(self.shapes[shape] if op < 0 else (self.sole if kind == STAGE else self.calls)[op], node, rec)
                for node, op, kind, shape, rec in zip(plan.ids, plan.operator_index, plan.kinds,
                                                      plan.stage_shape, recorded)]


def _cached(prepared: Prepared, cache: ResultCache, keys: list[str], heads: list[tuple[Any, ...]],
            reads: list[int], offsets: list[int], prints: Fingerprints) -> tuple[list[Any], bytearray]:
    """Per step, its task's callable (None for a step left out) and what the task does with the
    cache: walking down from the outputs, a node whose entry is there is loaded (LOADS: its key
    and callable become the load's), and only the inputs of nodes that compute (COMPUTES: their
    callables then save) are visited; 0 for a step left out. A node without a cache key is
    neither loaded nor saved."""
    plan = prepared.plan
    node_key, unkeyed = node_keys(plan, prepared.given, prints)
    ids, kinds, ops, member_ops, members = (plan.ids, plan.kinds, plan.operator_index,
                                            plan.member_operator_index, plan.member_offsets)
    names, operators = plan.names, plan.operators
    outputs = set(plan.outputs)
    tasks = bytearray(len(plan))
    calls: list[Any] = [None] * len(plan)
    for o in outputs:
        tasks[o] = COMPUTES
    without_key = 0
    for s in range(len(plan) - 1, -1, -1):
        if not tasks[s]:
            continue
        key = node_key[s * KEY_SIZE:(s + 1) * KEY_SIZE]
        if not unkeyed[s] and cache.contains(key):
            kind = kinds[s]
            op = member_ops[members[s + 1] - 1] if kind == STAGE else ops[s]
            load = task_names.load_prefix(kind, names[operators[op][1]])
            keys[s] = load + blake2b(cache.entry_key(key), digest_size=32,
                                     person=b"trellan.load").hexdigest()
            calls[s] = CachedLoad(cache, key, f"node {ids[s]}")
            tasks[s] = LOADS
            continue
        for j in reads[offsets[s]:offsets[s + 1]]:
            tasks[j] = COMPUTES
        calls[s] = partial(heads[s][0], *heads[s][1:])
        if unkeyed[s]:
            without_key += 1
        else:
            calls[s] = SaveAfter(calls[s], cache, key, s in outputs)
    cache.count_unkeyed(without_key)
    return calls, tasks
