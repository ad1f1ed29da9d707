"""The reference interpreter: runs any store, recorded, reduced or read from a blob, on one
machine, each node once, in id order, without recursion, straight from the native plan."""

from __future__ import annotations

import time
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any

import trellan_core

from .cached_run import run_cached
from .execution import Kernels, Prepared, Sources, prepare
from .progress import INTERVAL, Progress, reporter

if TYPE_CHECKING:
    from .cache import ResultCache
    from .profile import Profile


def evaluate(store: trellan_core.GraphStore, outputs: Iterable[int] | None = None, *,
             sources: Sources, kernels: Kernels, exchange: Callable[..., Any] | None = None,
             join: Callable[..., Any] | None = None, external: Callable[..., Any] | None = None,
             progress: Progress = None, cache: ResultCache | None = None,
             profile: Profile | None = None) -> list[Any]:
    """The values of `outputs` (default: the store's marks), one per requested id, in order,
    repeats kept.

    `sources(name, params)` (or a mapping from name) gives a source's value;
    `kernels[name](*inputs, **params)` runs an op or a reduction, also inside a stage;
    `exchange(*inputs, **params)` defaults to the identity of its one input;
    `join(left, right, **params)` and `external(descriptor, *inputs, **params)` have no default.
    Every call gets its own copy of the params (and of an external's descriptor).

    Only the nodes the outputs depend on run. Before any of them does, a `LookupError` names
    every kernel or callable that is missing, with a node (and stage member) that needs it. An
    exception raised while a node runs keeps its type and gets a note naming the node (and the
    stage member), and, in a reduced store, the recorded nodes that became it. Each value is
    dropped after its last reader, so memory follows the graph's width.

    `progress=True` draws a bar on stderr (tqdm when installed, else a plain line); a callable
    receives `(done, total)` nodes: after a node completes when a tenth of a second has passed
    since the last call, and at the end.

    `profile=trellan.Profile()` times every call and sums the times per op (see `Profile`).

    With a `trellan.ResultCache`, a node whose cache key has an entry is loaded instead of
    computed, and what only it needed does not run; the outputs, and any computed node whose
    own time reached the cache's `min_seconds`, are stored. A key covers the node's computation
    and the fingerprints of the code and data it depends on; a node that depends on something
    without a fingerprint is neither loaded nor stored. Progress and the profile then count the
    nodes that run."""
    began = time.perf_counter()
    prepared = prepare(store, outputs, sources=sources, kernels=kernels, exchange=exchange,
                       join=join, external=external)
    runner = Runner(prepared, profile is not None)
    try:
        if cache is not None:
            return run_cached(prepared, runner, cache, progress)
        return _run(prepared, runner(), progress)
    finally:
        if profile is not None:
            timings = None if runner.made is None else runner.made.timings()
            profile.record(prepared, timings or [], time.perf_counter() - began)


class Runner:
    """The native runner of a prepared plan, made on first call: a warm cached run may need
    none."""

    __slots__ = ("prepared", "profile", "made")

    def __init__(self, prepared: Prepared, profile: bool) -> None:
        self.prepared = prepared
        self.profile = profile
        self.made: trellan_core._PlanRunner | None = None

    def __call__(self) -> trellan_core._PlanRunner:
        if self.made is None:
            self.made = trellan_core._PlanRunner(self.prepared.plan, self.prepared.operators,
                                                 self.profile)
        return self.made


def _run(prepared: Prepared, runner: trellan_core._PlanRunner, progress: Progress) -> list[Any]:
    total = len(prepared.plan)
    told = reporter(progress, total)
    done = 0
    try:
        values = runner.run(None if told is None else told.report, INTERVAL)
        done = total
    except Exception as err:
        prepared.note(err, runner.failed)
        raise
    finally:
        if told is not None:
            told.finish(done)
    return values
