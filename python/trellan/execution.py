"""The execution plan that the interpreter and the dask bridge share: the nodes the requested
outputs depend on, one picklable callable per node, and the check, before anything runs, that
every one of them has something to call."""

from __future__ import annotations

import operator
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union

if TYPE_CHECKING:
    import trellan_core

Sources = Union[Callable[[str, dict[str, Any]], Any], Mapping[str, Any]]
Kernels = Mapping[str, Callable[..., Any]]


def _only(value: Any, /, **_params: Any) -> Any:
    """The default exchange: on one machine the data is already where it is needed."""
    return value


def _constant(value: Any) -> Any:
    return value


class Runner:
    """Computes one node from its input values; says which node when something raises."""

    __slots__ = ("node", "kind", "name")

    def __init__(self, node: int, kind: str, name: str) -> None:
        self.node = node
        self.kind = kind
        self.name = name

    def where(self) -> str:
        label = f"{self.kind} {self.name!r}" if self.name else self.kind
        return f"node {self.node} ({label})"

    def __call__(self, *inputs: Any) -> Any:
        raise NotImplementedError


class Call(Runner):
    """`fn(*lead, *inputs, **params)`: a kernel, a source, an exchange, a join or an external."""

    __slots__ = ("fn", "lead", "params")

    def __init__(self, node: int, kind: str, name: str, fn: Callable[..., Any],
                 lead: tuple[Any, ...], params: Mapping[str, Any]) -> None:
        # One of these per node: the fields are set here rather than through super().__init__.
        self.node = node
        self.kind = kind
        self.name = name
        self.fn = fn
        self.lead = lead
        self.params = params

    def __call__(self, *inputs: Any) -> Any:
        try:
            return self.fn(*self.lead, *inputs, **self.params)
        except Exception as err:
            err.add_note(f"trellan: raised by {self.where()}")
            raise


# One stage member: its kernel, params, references (r >= 0: member r; r < 0: input slot ~r),
# the members whose last reader it is, and its kind and name for error notes.
Member = tuple[Callable[..., Any], Mapping[str, Any], tuple[int, ...], tuple[int, ...], str, str]


class StageCall(Runner):
    """Runs a stage's members in order; the stage's value is its last member's value. A member's
    value is dropped after its last reader, so a long chain holds one or two values at a time."""

    __slots__ = ("members",)

    def __init__(self, node: int, members: tuple[Member, ...]) -> None:
        super().__init__(node, "stage", "")
        self.members = members

    def __call__(self, *inputs: Any) -> Any:
        values: list[Any] = [None] * len(self.members)
        for k, (fn, params, refs, frees, kind, name) in enumerate(self.members):
            args = [values[r] if r >= 0 else inputs[~r] for r in refs]
            try:
                values[k] = fn(*args, **params)
            except Exception as err:
                err.add_note(f"trellan: raised by {self.where()}, member {k} ({kind} {name!r})")
                raise
            del args
            for m in frees:
                values[m] = None
        return values[-1]


@dataclass
class Plan:
    """Every needed node in id order, which is a topological order: its id, its runner and its
    input ids, in three parallel lists. `outputs`: the requested ids, in order, repeats kept."""

    ids: list[int]
    runners: list[Runner]
    inputs: list[list[int]]
    outputs: list[int]


class _Missing:
    """Everything that has no callable, with the first node that needs it and how many do."""

    def __init__(self) -> None:
        self.found: dict[str, list[int]] = {}

    def add(self, what: str, node: int) -> None:
        entry = self.found.setdefault(what, [node, 0])
        entry[1] += 1

    def raise_if_any(self) -> None:
        if not self.found:
            return
        parts = []
        for what, (node, count) in sorted(self.found.items(), key=lambda kv: kv[1][0]):
            more = f", and {count - 1} more" if count > 1 else ""
            parts.append(f"{what} (node {node}{more})")
        raise LookupError("nothing was run: missing " + "; missing ".join(parts))


def _requested(store: trellan_core.GraphStore, outputs: Iterable[int] | None,
               count: int) -> list[int]:
    ids = store.outputs() if outputs is None else [operator.index(o) for o in outputs]
    for o in ids:
        if not 0 <= o < count:
            raise ValueError(f"no node with id {o}")
    return ids


def _needed(nodes: list[trellan_core._NodeView], outputs: list[int]) -> bytearray:
    """needed[i] is 1 when an output depends on node i. Inputs have smaller ids than their
    readers, so one sweep from the top down finds them all, without recursion."""
    needed = bytearray(len(nodes))
    for o in outputs:
        needed[o] = 1
    for i in range(len(nodes) - 1, -1, -1):
        if needed[i]:
            for j in nodes[i]["inputs"]:
                needed[j] = 1
    return needed


def _stage(node: trellan_core._NodeView, kernels: Kernels, missing: _Missing) -> StageCall:
    i = node["id"]
    members = node.get("members", [])
    slots = len(node["inputs"])
    if not members:
        raise ValueError(f"node {i}: a stage without members has no value")
    refs_of: list[tuple[int, ...]] = []
    last_reader = list(range(len(members)))  # a member nothing reads is dropped at once
    for k, member in enumerate(members):
        refs = []
        for which, v in member["inputs"]:
            if which == "member" and 0 <= v < k:
                refs.append(v)
                last_reader[v] = k
            elif which == "input" and 0 <= v < slots:
                refs.append(~v)
            else:
                raise ValueError(f"node {i}: member {k} reads {which} {v}, "
                                 "which the stage does not have")
        refs_of.append(tuple(refs))
    frees: list[list[int]] = [[] for _ in members]
    for m, k in enumerate(last_reader[:-1]):
        frees[k].append(m)
    built: list[Member] = []
    for k, member in enumerate(members):
        fn = kernels.get(member["name"])
        if fn is None:
            missing.add(f"kernel {member['name']!r}", i)
            fn = _constant
        built.append((fn, member["params"], refs_of[k], tuple(frees[k]), member["kind"],
                      member["name"]))
    return StageCall(i, tuple(built))


def build(store: trellan_core.GraphStore, outputs: Iterable[int] | None, *, sources: Sources,
          kernels: Kernels, exchange: Callable[..., Any] | None = None,
          join: Callable[..., Any] | None = None,
          external: Callable[..., Any] | None = None) -> Plan:
    nodes = store.nodes()
    requested = _requested(store, outputs, len(nodes))
    needed = _needed(nodes, requested)
    missing = _Missing()
    ids: list[int] = []
    runners: list[Runner] = []
    reads: list[list[int]] = []
    for node in nodes:
        i = node["id"]
        if not needed[i]:
            continue
        kind, name, params, inputs = node["kind"], node["name"], node["params"], node["inputs"]
        runner: Runner
        if kind == "stage":
            runner = _stage(node, kernels, missing)
        elif kind == "source":
            if isinstance(sources, Mapping):
                if name not in sources:
                    missing.add(f"source {name!r}", i)
                runner = Call(i, kind, name, _constant, (sources.get(name),), {})
            else:
                runner = Call(i, kind, name, sources, (name, params), {})
        elif kind in ("op", "reduction"):
            fn = kernels.get(name)
            if fn is None:
                missing.add(f"kernel {name!r}", i)
            runner = Call(i, kind, name, fn or _constant, (), params)
        elif kind == "exchange":
            if exchange is None and len(inputs) != 1:
                missing.add(f"exchange callable (exchange=) for {len(inputs)} inputs", i)
            runner = Call(i, kind, name, exchange or _only, (), params)
        elif kind == "join":
            if join is None:
                missing.add("join callable (join=)", i)
            runner = Call(i, kind, name, join or _constant, (), params)
        elif kind == "external":
            if external is None:
                missing.add("external callable (external=)", i)
            runner = Call(i, kind, name, external or _constant, (node["descriptor"],), params)
        else:
            raise ValueError(f"node {i}: unknown node kind {kind!r}")
        ids.append(i)
        runners.append(runner)
        reads.append(inputs)
    missing.raise_if_any()
    return Plan(ids, runners, reads, requested)
