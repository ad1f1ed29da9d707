"""Progress of a long `evaluate`: a bar on stderr (tqdm when installed, a plain updating line
otherwise) or a callable that receives `(done, total)`. After any node completes, it is told
when at least a tenth of a second has passed since it was last told, so it moves during slow
nodes too, and once more at the end."""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from typing import Any, Union

Progress = Union[None, bool, Callable[[int, int], Any]]

INTERVAL = 0.1  # seconds at least between reports


class _Line:
    """`trellan: done/total nodes (pct%)`, rewritten in place on stderr."""

    def __init__(self, total: int) -> None:
        self.total = total

    def __call__(self, done: int, total: int) -> None:
        percent = 100 * done // total if total else 100
        sys.stderr.write(f"\rtrellan: {done}/{total} nodes ({percent}%)")
        sys.stderr.flush()

    def close(self) -> None:
        sys.stderr.write("\n")
        sys.stderr.flush()


class _Bar:
    """A tqdm bar fed with the steps done since the last report."""

    def __init__(self, total: int) -> None:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

        self.bar = tqdm(total=total, unit="node", file=sys.stderr)
        self.shown = 0

    def __call__(self, done: int, total: int) -> None:
        self.bar.update(done - self.shown)
        self.shown = done

    def close(self) -> None:
        self.bar.close()


def _drawer(total: int) -> _Bar | _Line:
    try:
        return _Bar(total)
    except ImportError:
        return _Line(total)


class Reporter:
    """Calls the sink with `(done, total)`: `report` at once (a native run decides when),
    `update` when `INTERVAL` has passed since the last call, and `finish` once more at the end
    when something was left unsaid."""

    def __init__(self, progress: Progress, total: int) -> None:
        self.total = total
        self.drawer = _drawer(total) if progress is True else None
        self.sink: Callable[[int, int], Any] = self.drawer or progress  # type: ignore[assignment]
        self.last = time.monotonic()
        self.said = -1

    def report(self, done: int) -> None:
        self.said = done
        self.sink(done, self.total)

    def update(self, done: int) -> None:
        now = time.monotonic()
        if now - self.last >= INTERVAL:
            self.last = now
            self.report(done)

    def finish(self, done: int) -> None:
        try:
            if done == self.total and self.said != done:
                self.sink(done, self.total)
        finally:
            if self.drawer is not None:
                self.drawer.close()


def reporter(progress: Progress, total: int) -> Reporter | None:
    """The reporter `progress=` asks for, or None."""
    return None if progress is None or progress is False else Reporter(progress, total)
