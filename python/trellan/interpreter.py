"""The reference interpreter: runs any store, recorded, reduced or read from a blob, on one
machine, each node once, in id order, without recursion, straight from the native plan."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator
from itertools import islice
from typing import TYPE_CHECKING, Any

from . import stage_code
from .cached_run import run_cached
from .execution import Kernels, Prepared, Sources, prepare, run_members
from .progress import Progress, Reporter, chunks

if TYPE_CHECKING:
    import trellan_core

    from .cache import ResultCache


def evaluate(store: trellan_core.GraphStore, outputs: Iterable[int] | None = None, *,
             sources: Sources, kernels: Kernels, exchange: Callable[..., Any] | None = None,
             join: Callable[..., Any] | None = None, external: Callable[..., Any] | None = None,
             progress: Progress = None, cache: ResultCache | None = None) -> list[Any]:
    """The values of `outputs` (default: the store's marks), one per requested id, in order,
    repeats kept.

    `sources(name, params)` (or a mapping from name) gives a source's value;
    `kernels[name](*inputs, **params)` runs an op or a reduction, also inside a stage;
    `exchange(*inputs, **params)` defaults to the identity of its one input;
    `join(left, right, **params)` and `external(descriptor, *inputs, **params)` have no default.
    Every call gets its own copy of the params (and of an external's descriptor).

    Only the nodes the outputs depend on run. Before any of them does, a `LookupError` names
    every kernel or callable that is missing, with a node that needs it. An exception raised
    while a node runs keeps its type and gets a note naming the node (and the stage member),
    and, in a reduced store, the recorded nodes that became it. Each value is dropped after its
    last reader, so memory follows the graph's width.

    `progress=True` draws a bar on stderr (tqdm when installed, else a plain line); a callable
    receives `(done, total)` nodes, at most about ten times a second.

    With a `trellan.ResultCache`, a node whose cache key has an entry is loaded instead of
    computed, and what only it needed does not run; the outputs, and any computed node whose
    own time reached the cache's `min_seconds`, are stored. A key covers the node's computation
    and the fingerprints of the code and data it depends on; a node that depends on something
    without a fingerprint is neither loaded nor stored. Progress then counts the nodes that
    run."""
    prepared = prepare(store, outputs, sources=sources, kernels=kernels, exchange=exchange,
                       join=join, external=external)
    plan = prepared.plan
    prepared.shaped = stage_code.functions(plan, prepared.calls)
    if cache is not None:
        return run_cached(prepared, cache, progress)
    total = len(plan)
    values: list[Any] = [None] * total
    keep = bytearray(total)  # outputs outlive their last reader
    for o in plan.outputs:
        keep[o] = 1
    reads = iter(plan.inputs)
    reporter = None if progress is None or progress is False else Reporter(progress, total)
    done = 0
    try:
        for start, stop in chunks(total, reporter):
            _run(prepared, values, keep, reads, start, stop)
            done = stop
    finally:
        if reporter is not None:
            reporter.finish(done)
    return [values[o] for o in plan.outputs]


def _run(prepared: Prepared, values: list[Any], keep: bytearray, reads: Iterator[int],
         start: int, stop: int) -> None:
    """Runs steps [start, stop); `reads` yields the input steps of each step in turn. A stage
    runs its members in order, each value dropped after its last reader, as values are."""
    plan, calls, shaped = prepared.plan, prepared.calls, prepared.shaped
    last, offsets, shapes = plan.last_use, plan.input_offsets, plan.stage_shape
    members, member_ops, ref_offsets, refs, member_last = (
        plan.member_offsets, plan.member_operator_index, plan.ref_offsets, plan.refs,
        plan.member_last_use)
    s, in_stage = start, False
    try:
        for s, op, lo, hi in zip(range(start, stop), plan.operator_index[start:stop],
                                 offsets[start:stop], offsets[start + 1:stop + 1]):
            # A step is one call (a stage of one member reading its inputs in order, or of a
            # shape with a function, too), or a stage whose members run one by one.
            fn = calls[op] if op >= 0 else shaped[shapes[s]]
            count = hi - lo
            if count == 1 and fn is not None:
                j = next(reads)
                values[s] = fn(values[j])
                if last[j] == s and not keep[j]:
                    values[j] = None
                continue
            if count == 2 and fn is not None:
                j, i = next(reads), next(reads)
                values[s] = fn(values[j], values[i])
                if last[j] == s and not keep[j]:
                    values[j] = None
                if last[i] == s and not keep[i]:
                    values[i] = None
                continue
            held = (next(reads),) if count == 1 else tuple(islice(reads, count))
            inputs = [values[j] for j in held]
            if fn is not None:
                values[s] = fn(*inputs)
            else:
                first, end = members[s], members[s + 1]
                in_stage = True  # the members note their own failures
                values[s] = run_members(calls, member_ops, ref_offsets, refs, 0, member_last,
                                        first, end, inputs,
                                        lambda k: prepared.where(s, k))
                in_stage = False
            del inputs
            for j in held:
                if last[j] == s and not keep[j]:
                    values[j] = None
    except Exception as err:
        if not in_stage:
            member = stage_code.failed_member(err.__traceback__) if plan.operator_index[s] < 0 else -1
            err.add_note("trellan: raised by " + prepared.where(s, member))
        raise
