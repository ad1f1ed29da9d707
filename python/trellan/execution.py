"""What the interpreter and the dask bridge share: the store's native execution plan, one
callable per distinct operator, the check, before anything runs, that every one of them has
something to call, and the notes that say which node raised."""

from __future__ import annotations

import operator
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from functools import partial
from typing import TYPE_CHECKING, Any, NamedTuple, Union

if TYPE_CHECKING:
    import trellan_core

Sources = Union[Callable[[str, dict[str, Any]], Any], Mapping[str, Any]]
Kernels = Mapping[str, Callable[..., Any]]
Spot = tuple[int, Union[int, None]]  # (node, stage member or None), as in the node map

SOURCE, OP, REDUCTION, EXTERNAL, STAGE, EXCHANGE, JOIN = range(7)
# How a stage member's kind reads in a note: the head of its token.
_MEMBER_HEAD = {OP: "op", REDUCTION: "red"}
_RECORDED_SHOWN = 3  # recorded ids a note lists before "and N more", as ExecutionPlan.recorded_ids keeps


def default_exchange(value: Any, /, **_params: Any) -> Any:
    """The default exchange: on one machine the data is already where it is needed."""
    return value


def _missing(*_inputs: Any, **_params: Any) -> Any:
    raise AssertionError("a missing callable is reported before anything runs")


class Constant:
    """A source's value from a mapping; hidden in a callable so that no scheduler looks inside."""

    __slots__ = ("value",)

    def __init__(self, value: Any) -> None:
        self.value = value

    def __call__(self) -> Any:
        return self.value


class Source:
    """`sources(name, params)`, with a fresh copy of the params for every call."""

    __slots__ = ("sources", "name", "params")

    def __init__(self, sources: Callable[..., Any], name: str, params: dict[str, Any]) -> None:
        self.sources = sources
        self.name = name
        self.params = params

    def __call__(self) -> Any:
        return self.sources(self.name, dict(self.params))


class External:
    """`external(descriptor, *inputs, **params)`, with a fresh copy of the descriptor."""

    __slots__ = ("fn", "descriptor", "params")

    def __init__(self, fn: Callable[..., Any], descriptor: Mapping[str, Any],
                 params: dict[str, Any]) -> None:
        self.fn = fn
        self.descriptor = descriptor
        self.params = params

    def __call__(self, *inputs: Any) -> Any:
        return self.fn(dict(self.descriptor), *inputs, **self.params)


def _with_params(fn: Callable[..., Any], params: dict[str, Any]) -> Callable[..., Any]:
    # partial copies its keywords on every call, so no call sees another's changes.
    return partial(fn, **params) if params else fn


class _Missing:
    """Everything that has no callable, with the first node that needs it (its step, and the
    stage member, or -1) and how many do."""

    def __init__(self) -> None:
        self.found: dict[str, list[int]] = {}

    def add(self, what: str, node: int, step: int, member: int = -1) -> None:
        entry = self.found.setdefault(what, [node, step, member, 0])
        entry[3] += 1

    def raise_if_any(self, plan: trellan_core.ExecutionPlan) -> None:
        if not self.found:
            return
        parts = []
        recorded = plan.recorded_ids()  # only now: the names of what the user recorded
        for what, (node, step, member, count) in sorted(self.found.items(), key=lambda kv: kv[1][0]):
            where = f", member {member}" if member >= 0 else ""
            more = f", and {count - 1} more" if count > 1 else ""
            parts.append(f"{what} (node {node}{where}{recorded_of(recorded[step], max(member, 0))}{more})")
        raise LookupError("nothing was run: missing " + "; missing ".join(parts))


class Given(NamedTuple):
    """The callables (and a mapping's values) a run was given, as the caller passed them."""

    sources: Sources
    kernels: Kernels
    exchange: Callable[..., Any] | None
    join: Callable[..., Any] | None
    external: Callable[..., Any] | None


# What operator k of a plan calls, as the native runner takes it: (fn, head, params) is
# `fn(*head, *inputs, **params)`, a dict in `head` passed as a fresh copy on every call; `fn` None
# means the value `head[0]` itself (a source from a mapping). Plain tuples: a plan may have a
# hundred thousand operators (a source each).
Operator = tuple[Union[Callable[..., Any], None], tuple[Any, ...], Union[dict[str, Any], None]]


class Prepared:
    """A plan with its callables. `operators[k]` is what operator k of the plan calls, for the
    native runner, and `calls[k]` the same as one callable of the input values, for executors
    written in Python; each is made on first use from `given` (what the caller passed) and
    `fns[k]`, the callable given for operator k (None for a source a mapping holds: its value is
    `values[k]`)."""

    __slots__ = ("store", "plan", "given", "fns", "values", "_operators", "_calls")

    def __init__(self, store: trellan_core.GraphStore, plan: trellan_core.ExecutionPlan,
                 given: Given, fns: list[Callable[..., Any] | None], values: dict[int, Any]) -> None:
        self.store = store
        self.plan = plan
        self.given = given
        self.fns = fns
        self.values = values
        self._operators: list[Operator] | None = None
        self._calls: list[Callable[..., Any]] | None = None

    @property
    def operators(self) -> list[Operator]:
        if self._operators is None:
            self._operators = list(self.spelled_out())
        return self._operators

    @property
    def calls(self) -> list[Callable[..., Any]]:
        if self._calls is None:
            self._calls = [callable_of(op) for op in self.spelled_out()]
        return self._calls

    def spelled_out(self, only: Iterable[int] | None = None) -> Iterator[Operator]:
        """What each operator (each of `only`, when given) calls, made anew: see `Operator`."""
        plan, fns = self.plan, self.fns
        names, params, descriptors, operators = plan.names, plan.params, plan.descriptors, plan.operators
        for k in range(len(operators)) if only is None else only:
            kind, name_at, params_at, descriptor_at = operators[k]
            fn = fns[k]
            if kind == SOURCE:
                yield (None, (self.values[k],), None) if fn is None else (
                    fn, (names[name_at], params[params_at]), None)
            elif kind == EXTERNAL:
                yield fn, (descriptors[descriptor_at],), params[params_at] or None
            else:
                yield fn, (), params[params_at] or None

    def label(self, op: int, member: bool) -> str:
        kind, name_at, _, _ = self.plan.operators[op]
        text = _MEMBER_HEAD[kind] if member else self.plan.kind_names[kind]
        name = self.plan.names[name_at]
        return f"{text} {name!r}" if name else text

    def where(self, step: int, member: int = -1) -> str:
        """Names the node (and the stage member) that raised, for an exception's note, and the
        recorded ids that became it when the store came out of a reduction."""
        plan = self.plan
        node = plan.ids[step]
        if member < 0 and plan.kinds[step] == STAGE:
            member = 0  # a stage of one member, run as one call
        if member < 0:
            text = f"node {node} ({self.label(plan.operator_index[step], False)})"
        else:
            op = plan.member_operator_index[plan.member_offsets[step] + member]
            text = f"node {node} (stage), member {member} ({self.label(op, True)})"
        # Read only here, on the error path: the normal path never reads the node map.
        return text + recorded_of(plan.recorded_ids()[step], max(member, 0))

    def note(self, err: BaseException, failed: tuple[int, int] | None) -> None:
        """Adds the note that names the node (and member) whose call raised, given where the
        native runner saw it raise; an error raised elsewhere gets none."""
        if failed is not None:
            err.add_note("trellan: raised by " + self.where(*failed))


def recorded_ids(store: trellan_core.GraphStore,
                 spots: Iterable[Spot]) -> dict[Spot, list[int]] | None:
    """The recorded ids that became each spot, in one pass over the node map, or None for a store
    that came out of no reduction (its ids are the recorded ones). Only error paths and profiles
    read this: a run never does."""
    placed = store.node_map()
    if not placed:
        return None
    found: dict[Spot, list[int]] = {spot: [] for spot in spots}
    for i, entry in enumerate(placed):
        if entry in found:
            found[entry].append(i)
    return found


Recorded = Union[int, bytes, None]  # a step's entry of ExecutionPlan.recorded_ids()


def recorded_of(recorded: Recorded, member: int) -> str:
    """The note's account of the recorded ids of a step's `member` (0 for a step that is not a
    stage), from the step's entry of `ExecutionPlan.recorded_ids()`."""
    entries = ((recorded,) if isinstance(recorded, int)
               else memoryview(recorded or b"").cast("q").tolist())
    at, k = 0, 0
    while at < len(entries):
        count, shown = 1, entries[at:at + 1]
        if entries[at] < 0:
            count = ~entries[at]
            shown = entries[at + 1:at + 1 + min(count, _RECORDED_SHOWN)]
        if k == member:
            return recorded_note(count, shown)
        at, k = at + (len(shown) if count == 1 else 1 + len(shown)), k + 1
    return ""


def recorded_note(count: int, shown: Sequence[int]) -> str:
    """The end of a note naming the `count` recorded ids that became a node, `shown` the first
    of them: ", recorded as node 5", or nothing when there are none."""
    if not count:
        return ""
    more = f" and {count - len(shown)} more" if count > len(shown) else ""
    return f", recorded as node{'s' if count > 1 else ''} {', '.join(map(str, shown))}{more}"


def _requested(outputs: Iterable[int] | None) -> list[int] | None:
    if outputs is None:
        return None
    ids = [operator.index(o) for o in outputs]
    for o in ids:
        if not 0 <= o < 2**64:  # the plan names the first id beyond the store the same way
            raise ValueError(f"no node with id {o}")
    return ids


def prepare(store: trellan_core.GraphStore, outputs: Iterable[int] | None, *, sources: Sources,
            kernels: Kernels, exchange: Callable[..., Any] | None = None,
            join: Callable[..., Any] | None = None,
            external: Callable[..., Any] | None = None) -> Prepared:
    plan = store.execution_plan(_requested(outputs))
    names = plan.names
    fns: list[Callable[..., Any] | None] = []
    add = fns.append
    values: dict[int, Any] = {}  # operator -> the value of a source a mapping holds
    missing: dict[int, str] = {}  # operator -> what it lacks
    table, read = (sources, None) if isinstance(sources, Mapping) else (None, sources)
    exchanges = False  # whether the default exchange must check its nodes' input counts
    for k, (kind, name_at, _, _) in enumerate(plan.operators):
        if kind == SOURCE and read is not None:  # most operators of a partitioned graph
            add(read)
            continue
        name = names[name_at]
        fn: Callable[..., Any] | None
        if kind in (OP, REDUCTION):
            fn, what = kernels.get(name), f"kernel {name!r}"
        elif kind == SOURCE and table is not None:
            fn, what = None, f"source {name!r}"  # None: the value the mapping holds
            if name in table:
                values[k] = table[name]
            else:
                missing[k] = what
        elif kind == EXCHANGE:
            exchanges = exchange is None
            fn, what = default_exchange if exchange is None else exchange, ""
        elif kind == JOIN:
            fn, what = join, "join callable (join=)"
        elif kind == EXTERNAL:
            fn, what = external, "external callable (external=)"
        else:
            raise ValueError(f"unknown node kind {plan.kind_names[kind]!r}")
        if fn is None and kind != SOURCE:
            missing[k] = what
        add(_missing if k in missing else fn)
    if missing or exchanges:
        _report_missing(store, plan, missing, exchange is None)
    return Prepared(store, plan, Given(sources, kernels, exchange, join, external), fns, values)


def callable_of(op: Operator) -> Callable[..., Any]:
    """The operator as one callable of the input values, for executors written in Python."""
    fn, head, params = op
    if fn is None:
        return Constant(head[0])
    if len(head) == 2:
        return Source(fn, *head)
    if head:
        return External(fn, head[0], params or {})
    return _with_params(fn, params or {})


def _report_missing(store: trellan_core.GraphStore, plan: trellan_core.ExecutionPlan,
                    missing: dict[int, str], no_exchange: bool) -> None:
    """Raises LookupError naming, for each missing callable, the first node (or stage member)
    that needs it, with the recorded ids that became it, and how many need it; only the default
    exchange's one input is checked per node."""
    found = _Missing()
    offsets, member_ops, op_index, ids, in_offsets, kinds = (
        plan.member_offsets, plan.member_operator_index, plan.operator_index, plan.ids,
        plan.input_offsets, plan.kinds)
    # With every callable there, only the exchanges need a look.
    for s in range(len(plan)) if missing else _steps_of_kind(kinds, EXCHANGE):
        node, op, kind = ids[s], op_index[s], kinds[s]
        if kind == STAGE:
            for m in range(offsets[s], offsets[s + 1]):
                if member_ops[m] in missing:
                    found.add(missing[member_ops[m]], node, s, m - offsets[s])
        elif op in missing:
            found.add(missing[op], node, s)
        elif kind == EXCHANGE and no_exchange:
            count = in_offsets[s + 1] - in_offsets[s]
            if count != 1:
                found.add(f"exchange callable (exchange=) for {count} inputs", node, s)
    found.raise_if_any(plan)


def _steps_of_kind(kinds: memoryview, kind: int) -> Iterator[int]:
    codes, code = bytes(kinds), bytes((kind,))
    s = codes.find(code)
    while s >= 0:
        yield s
        s = codes.find(code, s + 1)


def run_members(calls: Sequence[Callable[..., Any]], ops: Sequence[int], ref_offsets: Sequence[int],
                refs: Sequence[int], ref_base: int, last: Sequence[int], first: int, end: int,
                inputs: Sequence[Any], where: Callable[[int], str]) -> Any:
    """Runs the stage members [first, end) in order and returns the last one's value. Member m
    calls calls[ops[m]] on refs[ref_offsets[m] - ref_base:ref_offsets[m + 1] - ref_base]
    (r >= 0: the stage's member r; r < 0: inputs[~r]). A failure gets the note `where(k)` for its
    member k. `value` holds the previous member's value; an earlier one is kept only while a
    member after the next still reads it, last[m] being its last reader, so a long chain holds
    one or two values at a time."""
    kept: list[Any] = [None] * (end - first)
    value = None
    k = 0
    try:
        for k, (op, lo, hi, read_last) in enumerate(zip(
                ops[first:end], ref_offsets[first:end], ref_offsets[first + 1:end + 1],
                last[first:end])):
            lo, hi = lo - ref_base, hi - ref_base
            if hi - lo == 1:
                r = refs[lo]
                if r < 0:
                    value = calls[op](inputs[~r])
                elif r == k - 1:
                    value = calls[op](value)
                else:
                    value = calls[op](kept[r])
                    if last[first + r] == k:
                        kept[r] = None
            else:
                read = refs[lo:hi]
                value = calls[op](*[inputs[~r] if r < 0 else value if r == k - 1 else kept[r]
                                    for r in read])
                for r in read:
                    if 0 <= r < k - 1 and last[first + r] == k:
                        kept[r] = None
            if read_last > k + 1:
                kept[k] = value
    except Exception as err:
        err.add_note("trellan: raised by " + where(k))
        raise
    return value
