"""Progress of a long `evaluate`: a bar on stderr (tqdm when installed, a plain updating line
otherwise) or a callable that receives `(done, total)`, at most about ten times a second."""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from typing import Any, Union

Progress = Union[None, bool, Callable[[int, int], Any]]

INTERVAL = 0.1  # seconds between reports


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
    """Calls the sink with `(done, total)` when `INTERVAL` has passed since the last call, and
    once more at the end when something was left unsaid."""

    def __init__(self, progress: Progress, total: int) -> None:
        self.total = total
        self.drawer = _drawer(total) if progress is True else None
        self.sink: Callable[[int, int], Any] = self.drawer or progress  # type: ignore[assignment]
        self.last = time.monotonic()
        self.said = -1

    def update(self, done: int) -> None:
        now = time.monotonic()
        if now - self.last >= INTERVAL:
            self.last = now
            self.said = done
            self.sink(done, self.total)

    def finish(self, done: int) -> None:
        try:
            if done == self.total and self.said != done:
                self.sink(done, self.total)
        finally:
            if self.drawer is not None:
                self.drawer.close()


def chunks(total: int, reporter: Reporter | None) -> Any:
    """Step ranges to run between reports: the whole run without a reporter; otherwise ranges
    that grow while they take well under a report's interval, and shrink when they take more."""
    if reporter is None:
        yield 0, total
        return
    start, size = 0, 16
    while start < total:
        stop = min(total, start + size)
        began = time.monotonic()
        yield start, stop
        reporter.update(stop)
        took = time.monotonic() - began
        if took < INTERVAL / 8:
            size *= 2
        elif took > INTERVAL and size > 1:
            size //= 2
        start = stop
