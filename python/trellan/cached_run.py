"""`evaluate` with a result cache: the requested outputs are looked up first, then, walking down,
the nodes that uncached ones read; a node found in the cache is loaded, and what only it needed
never runs. Every computed node offers its value to the cache with its own kernel time. A node
without a cache key (it depends on something that has no fingerprint) is neither looked up nor
offered."""

from __future__ import annotations

import time
from array import array
from typing import TYPE_CHECKING, Any

from .cache_keys import KEY_SIZE, node_keys
from .execution import Prepared
from .progress import Progress, reporter

if TYPE_CHECKING:
    from collections.abc import Callable

    import trellan_core

    from .cache import ResultCache


def run_cached(prepared: Prepared, runner: Callable[[], trellan_core._PlanRunner],
               cache: ResultCache, progress: Progress) -> list[Any]:
    """The outputs' values, each computed node run by the native runner `runner()` gives (made
    only when something runs); progress counts the nodes that run."""
    plan = prepared.plan
    total = len(plan)
    keys, unkeyed = node_keys(plan, prepared.given)
    ins, offsets = plan.inputs, plan.input_offsets
    values: list[Any] = [None] * total
    keep = bytearray(total)  # outputs outlive their last reader
    for o in plan.outputs:
        keep[o] = 1
    # Walk down: a node is looked up only when a node that runs needs it. Readers come after
    # what they read, so by the time a step is reached every one of its readers is decided.
    needed = bytearray(keep)
    run = bytearray(total)
    last = array("i", [-1]) * total  # the last step that runs and reads each step
    without_key = 0
    for s in range(total - 1, -1, -1):
        if not needed[s]:
            continue
        if unkeyed[s]:
            without_key += 1
        else:
            found, value = cache.lookup(keys[s * KEY_SIZE:(s + 1) * KEY_SIZE])
            if found:
                values[s] = value
                continue
        run[s] = 1
        for j in ins[offsets[s]:offsets[s + 1]]:
            needed[j] = 1
            if last[j] < 0:
                last[j] = s
    # A key met again in one run (a stage and the chain of ops it fused, both in one store) is
    # loaded from the entry its first computation wrote, when it wrote one.
    first: dict[bytes, int] = {}
    again = bytearray(total)
    for s in range(total):
        if run[s] and not unkeyed[s] and first.setdefault(keys[s * KEY_SIZE:(s + 1) * KEY_SIZE], s) != s:
            again[s] = 1
    cache.count_unkeyed(without_key)
    told = reporter(progress, sum(run))
    done = 0
    for s in range(total):
        if not run[s]:
            continue
        key = keys[s * KEY_SIZE:(s + 1) * KEY_SIZE]
        held = ins[offsets[s]:offsets[s + 1]]
        found = False
        if again[s]:
            found, values[s] = cache.lookup(key)
        if not found:
            inputs = [values[j] for j in held]
            start = time.perf_counter()
            try:
                values[s] = runner().step(s, inputs)
            except Exception as err:
                prepared.note(err, runner().failed)
                raise
            if not unkeyed[s]:
                cache.save(key, values[s], time.perf_counter() - start, force=bool(keep[s]))
            del inputs
        for j in held:
            if last[j] == s and not keep[j]:
                values[j] = None
        done += 1
        if told is not None:
            told.update(done)
    if told is not None:
        told.finish(done)
    return [values[o] for o in plan.outputs]
