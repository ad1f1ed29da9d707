"""`to_dask(..., fuse_runs=True)`: fewer, larger tasks. A run is a chain of steps in which each
step after the first reads nothing but the step before it, which nothing else reads and which is
not an output: a stage, a reduction, an exchange and more in a row, which stage fusion never
crosses. Its steps must run one after another anyway, and the run waits for nothing but what
its first step reads, so one task per run loses no parallelism: the critical path is the same.
dask's ordering and scheduling cost grows with the number of tasks it is handed."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from hashlib import blake2b
from typing import Any

_HEX = 64  # hex digits at the end of a task key

COMPUTES, LOADS = 1, 2  # what a step's task does, when the graph has one


class Run:
    """Runs the steps of a run: the first on the run's inputs, each next one on the value
    before it (read `arity` times, as that step reads it); gives the last one's value."""

    __slots__ = ("head", "rest")

    def __init__(self, head: Callable[..., Any], rest: list[tuple[Callable[..., Any], int]]) -> None:
        self.head = head
        self.rest = rest

    def __call__(self, *inputs: Any) -> Any:
        value = self.head(*inputs)
        for fn, arity in self.rest:
            value = fn(value) if arity == 1 else fn(*[value] * arity)
        return value


def fused_graph(keys: list[str], calls: list[Callable[..., Any]], reads: Sequence[int],
                offsets: Sequence[int], outputs: Sequence[int], tasks: bytes | bytearray,
                task: Callable[..., Any], ref: Callable[[str], Any]) -> tuple[dict[str, Any], list[str]]:
    """The graph of one task per run over the steps whose `tasks` entry is COMPUTES (a task
    `calls[s]` on its inputs) or LOADS (a task `calls[s]` of no inputs, never in a run, which
    keeps its key). A run's key is its last step's words, "run-", and a hash of its steps' task
    keys and of its inputs' keys here: a run is not the task its last step's key names, and
    its inputs may be runs too."""
    count = len(keys)
    readers = bytearray(count)  # distinct reading steps, up to 2; an output counts as 2
    for s in range(count):
        if tasks[s] == COMPUTES:
            for j in set(reads[offsets[s]:offsets[s + 1]]):
                readers[j] = min(readers[j] + 1, 2)
    for o in outputs:
        readers[o] = 2
    after = [-1] * count  # the step that follows s in its run
    follows = bytearray(count)
    for s in range(count):
        lo, hi = offsets[s], offsets[s + 1]
        if tasks[s] != COMPUTES or lo == hi:
            continue
        first = reads[lo]
        if tasks[first] == COMPUTES and readers[first] == 1 and all(reads[k] == first for k in range(lo + 1, hi)):
            after[first] = s
            follows[s] = 1
    named = list(keys)
    graph: dict[str, Any] = {}
    refs: dict[int, Any] = {}
    for head in range(count):
        if not tasks[head] or follows[head]:
            continue
        steps = [head]
        while after[steps[-1]] >= 0:
            steps.append(after[steps[-1]])
        last = steps[-1]
        inputs = [] if tasks[head] == LOADS else reads[offsets[head]:offsets[head + 1]]
        fn = calls[head]
        if tasks[head] == COMPUTES:
            if len(steps) > 1:
                fn = Run(calls[head], [(calls[s], offsets[s + 1] - offsets[s]) for s in steps[1:]])
            named[last] = f"{keys[last][:-_HEX]}run-{_run_hash(keys, named, steps, inputs)}"
        graph[named[last]] = task(named[last], fn, *[_ref(refs, named, j, ref) for j in inputs])
    return graph, [named[o] for o in outputs]


def _run_hash(keys: list[str], named: list[str], steps: list[int], inputs: Sequence[int]) -> str:
    """Names a run's task by its steps' task keys and its inputs' keys in this graph: equal
    names mean the same steps on the same tasks' values."""
    digest = blake2b(digest_size=32, person=b"trellan.run")
    for text in [keys[s] for s in steps] + ["|"] + [named[j] for j in inputs]:
        digest.update(text.encode())
        digest.update(b"\0")
    return digest.hexdigest()


def _ref(refs: dict[int, Any], named: list[str], step: int, ref: Callable[[str], Any]) -> Any:
    found = refs.get(step)
    if found is None:
        found = refs[step] = ref(named[step])
    return found
