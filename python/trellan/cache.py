"""A persistent, content-addressed store of node values in a local directory.

An entry is keyed by a node's 32-byte cache key (`trellan.cache_keys`: its value digest salted
with the fingerprints of the code and data it depends on) under the cache's `namespace`, and
lives at `PATH/ab/cdef...` (the key in hex, fanned out by its first byte); `cache_entry` holds
its layout. Every write goes to a temporary file of its own in the same folder and is renamed
into place, so a reader sees a whole entry or none. Every read checks the magic, the key, the
length and the checksum before it trusts the payload; an entry that fails is removed and counts
as a miss. The directory is held open and every file operation is relative to it (`cache_dir`).

What an executor calls, per node it runs (with `cache=None` it calls nothing at all):

- `found, value = cache.lookup(digest)` before computing a node;
- `cache.save(digest, value, seconds, force=is_output)` after computing one, with the seconds
  its own kernel took; below `min_seconds` and without `force` it stores nothing;
- `cache.contains(digest)` to decide, when building a task graph, which nodes to load instead;
  the load task is `CachedLoad(cache, digest, where)`, and a computing task wrapped in
  `SaveAfter(task, cache, digest, force)` saves its value where it runs.

None of them ever raises an OSError: what the file system refuses is a miss or a skipped save,
counted under `errors`."""

from __future__ import annotations

import os
import threading
import time
import weakref
from collections.abc import Callable
from contextlib import suppress
from functools import partial
from types import TracebackType
from typing import Any

from . import cache_dir, cache_keys, cache_values
from .cache_dir import Directory, Found
from .cache_entry import (CHECKSUM_SIZE, HEADER, entry_tag, open_file, payload_length,
                          read_entry, read_head, unlink_if_same, write_entry)

STAT_KEYS = ("hits", "misses", "written", "bytes_written", "evicted", "corrupt", "not_cached",
             "errors", "unkeyed")
# After evicting, the directory is brought down to this share of max_bytes, so that the next
# few writes do not each pay for a scan of the directory.
LOW_WATER = 0.9
# A temporary file this old belongs to a writer that died: eviction removes it.
STALE_TEMP_SECONDS = 3600

_MISS = (False, None)


class CachedValueMissing(LookupError):
    """A load task found its entry missing or damaged when it ran (evicted, cleared, corrupt,
    or not readable there). Nothing upstream of it is in the graph, so running again is the
    way to recompute it."""


class ResultCache:
    """Node values kept on disk between runs, keyed by cache key and `namespace`.

    `path` (a leading `~` is expanded) is a directory owned by the effective user, not a
    symbolic link and not writable by group or others; a missing one is created with mode 0700
    whatever the umask, its missing parents too, and any other is refused with a
    PermissionError (NotADirectoryError for a file). It is marked with a CACHEDIR.TAG; an
    existing directory without one is refused unless it is empty or holds only cache entries.
    The directory is held open until `close()`; the cache is a context manager.

    `max_bytes` bounds the directory: past it, the least recently used entries go first.
    `namespace` names what keys cannot see, such as the data behind a source's params; entries
    of one namespace are never seen through another. `min_seconds` is the kernel time from
    which a value that was not asked for is worth keeping. `allow_pickle` lets values with no
    plain encoding be pickled; loading a pickle runs code, so only allow it for a directory
    nobody else writes.

    Several processes and threads may share one directory. The cache pickles as its settings
    and the identity of its directory; in each process the copies share one object, so
    `stats()` counts that process's work."""

    def __init__(self, path: str | os.PathLike[str], *, max_bytes: int | None = None,
                 namespace: str = "", min_seconds: float = 0.05,
                 allow_pickle: bool = False) -> None:
        if max_bytes is not None and (type(max_bytes) is not int or max_bytes < 0):
            raise ValueError(f"max_bytes must be None or an int >= 0, not {max_bytes!r}")
        if not isinstance(namespace, str):
            raise TypeError(f"namespace must be a str, not {type(namespace).__name__}")
        if not min_seconds >= 0:
            raise ValueError(f"min_seconds must be >= 0, not {min_seconds!r}")
        path = os.path.abspath(os.path.expanduser(os.fspath(path)))
        self._setup(path, max_bytes, namespace, float(min_seconds), bool(allow_pickle),
                    Directory.open(path))

    def _setup(self, path: str, max_bytes: int | None, namespace: str, min_seconds: float,
               allow_pickle: bool, directory: Directory) -> None:
        self.path = path
        self.max_bytes = max_bytes
        self.namespace = namespace
        self.min_seconds = min_seconds
        self.allow_pickle = allow_pickle
        self._dir = directory
        self._ns_key = cache_keys.namespace_key(namespace)
        self._counts = dict.fromkeys(STAT_KEYS, 0)
        self._bound_lock = threading.Lock()
        self._size: int | None = None  # bytes on disk as last scanned plus what we wrote since
        with _live_lock:
            _live.setdefault(self._live_key(), self)

    def _settings(self) -> tuple[str, int | None, str, float, bool]:
        return self.path, self.max_bytes, self.namespace, self.min_seconds, self.allow_pickle

    def _live_key(self) -> tuple[Any, ...]:
        return *self._settings(), self._dir.identity

    def __reduce__(self) -> tuple[Callable[..., ResultCache], tuple[Any, ...]]:
        return _shared, self._live_key()

    def __repr__(self) -> str:
        return (f"ResultCache({self.path!r}, max_bytes={self.max_bytes!r}, "
                f"namespace={self.namespace!r}, min_seconds={self.min_seconds!r}, "
                f"allow_pickle={self.allow_pickle!r})")

    def close(self) -> None:
        """Releases the directory. A closed cache raises ValueError when used; a copy
        unpickled afterwards opens the directory again."""
        self._dir.close()
        with _live_lock:
            if _live.get(self._live_key()) is self:
                del _live[self._live_key()]

    def __enter__(self) -> ResultCache:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()

    # -- what executors call --------------------------------------------------------------

    def lookup(self, digest: bytes) -> tuple[bool, Any]:
        """`(True, value)` for an intact entry of `digest` in this namespace, else
        `(False, None)`. A damaged entry is removed and counted as corrupt. A hit marks the
        entry as recently used. A pickled entry is a miss unless pickles are allowed."""
        key = self.entry_key(digest)
        found, value = self._at_entry(key, partial(self._load, key=key), _MISS)
        self._count("hits" if found else "misses")
        return found, value

    def contains(self, digest: bytes) -> bool:
        """Whether an entry for `digest` is there and loadable, judged from its header and size
        alone: cheap enough to ask for every node of a graph. A damaged payload is found, and
        the entry removed, only when it is loaded. Counts only damage and errors."""
        key = self.entry_key(digest)
        found: bool = self._at_entry(key, partial(self._judge, key=key), False)
        return found

    def save(self, digest: bytes, value: Any, seconds: float = 0.0, *,
             force: bool = False) -> bool:
        """Store `value` under `digest` when it qualifies: `force` (a requested output), or
        `seconds` (the node's own kernel time, measured where it ran) at least `min_seconds`.
        True when an entry was written. A value with no usable encoding or larger than
        `max_bytes` is not cached, and counted so; a failure to store is counted as an error
        and never fails the caller."""
        if not force and seconds < self.min_seconds:
            return False
        key = self.entry_key(digest)
        encoded = cache_values.encode(value, self.allow_pickle)
        if encoded is None:
            self._count("not_cached")
            return False
        tag, payload = encoded
        size = HEADER.size + payload_length(payload) + CHECKSUM_SIZE
        if self.max_bytes is not None and size > self.max_bytes:
            self._count("not_cached")
            return False

        def write(folder: int, name: str) -> bool:
            write_entry(folder, name, key, tag, payload)
            return True

        if not self._at_entry(key, write, False, create=True):
            return False
        self._count("written")
        self._count("bytes_written", size)
        if self.max_bytes is not None:
            self._bound(size, key.hex())
        return True

    # -- what users call ------------------------------------------------------------------

    def count_unkeyed(self, nodes: int) -> None:
        """Counts nodes an executor ran without looking them up or storing them, because they
        depend on a callable or value that has no fingerprint."""
        self._count("unkeyed", nodes)

    def stats(self) -> dict[str, int]:
        """This process's counts since the cache was opened: hits, misses, entries written,
        bytes written, entries evicted, entries found corrupt, values not cached, errors (files
        or folders the system or the cache refused), and nodes run without a key."""
        with _count_lock:
            return dict(self._counts)

    def info(self) -> dict[str, int]:
        """`{"entries": n, "temporary": t, "bytes": b}`: the entries in the directory, all
        namespaces, the temporary files of writers, and the bytes both take."""
        with self._dir as top:
            cache_dir.claim(top, self.path)
            files = [f for f in self._listing(top) if cache_dir.is_ours(top, f)]
        return _summary(files)

    def clear(self) -> dict[str, int]:
        """Removes every entry, all namespaces, and the temporary files of writers; any other
        file in the directory stays. Returns what was removed, as `info()` counts it. A write
        in flight when clear runs may be lost; the value is then recomputed."""
        with self._dir as top:
            cache_dir.claim(top, self.path)
            listing = cache_dir.listing(top)
            self._count("errors", listing.refused)
            removed = [f for f in listing.files if cache_dir.remove(top, f)]
            for folder in listing.folders:
                with suppress(OSError):  # still holds other files, or a writer just made it
                    os.rmdir(folder, dir_fd=top)
        with self._bound_lock:
            self._size = None
        return _summary(removed)

    # -- entries --------------------------------------------------------------------------

    def entry_key(self, digest: bytes) -> bytes:
        """The 32 bytes the entry for a node's cache key is filed under in this namespace."""
        return cache_keys.entry_key(self._ns_key, digest)

    def _at_entry(self, key: bytes, work: Callable[[int, str], Any], failed: Any, *,
                  create: bool = False) -> Any:
        """`work(folder descriptor, file name)` at the place of the entry for `key`, creating
        its folder when `create`. `failed` when the folder or file is missing, or when the
        system or the cache refuses something (counted under errors)."""
        name = key.hex()
        try:
            with self._dir as top:
                folder = cache_dir.open_folder(top, name[:2], create=create)
                try:
                    return work(folder, name[2:])
                finally:
                    os.close(folder)
        except FileNotFoundError:
            if create:  # the directory itself is gone: never made again behind the user
                self._count("errors")
            return failed
        except OSError:
            self._count("errors")
            return failed

    def _load(self, folder: int, name: str, key: bytes) -> tuple[bool, Any]:
        fd, st = open_file(name, folder)
        try:
            # Once open, eviction by another process cannot take the entry away from us.
            entry = read_entry(fd, key, st.st_size)
            if entry is None:
                self._remove_damaged(folder, name, st)
                return _MISS
            if entry[0] == cache_values.PICKLE and not self.allow_pickle:
                return _MISS  # loading it would run code
            try:
                value = cache_values.decode(*entry)
            except MemoryError:
                raise
            except Exception:  # a payload with a valid checksum that still does not decode
                self._remove_damaged(folder, name, st)
                return _MISS
            try:
                now = time.time_ns()
                os.utime(fd, ns=(now, now))
            except OSError:
                self._count("errors")  # the value is good; only its recency is lost
            return True, value
        finally:
            os.close(fd)

    def _judge(self, folder: int, name: str, key: bytes) -> bool:
        fd, st = open_file(name, folder)
        try:
            tag = entry_tag(read_head(fd), key, st.st_size)
        finally:
            os.close(fd)
        if tag is None:
            self._remove_damaged(folder, name, st)
            return False
        return tag != cache_values.PICKLE or self.allow_pickle

    def _remove_damaged(self, folder: int, name: str, st: os.stat_result) -> None:
        self._count("corrupt")
        if st.st_uid == os.geteuid():
            unlink_if_same(folder, name, st.st_ino)

    # -- size -----------------------------------------------------------------------------

    def _bound(self, size: int, written: str) -> None:
        assert self.max_bytes is not None
        with self._bound_lock:
            if self._size is not None and self._size + size <= self.max_bytes:
                self._size += size
                return
            self._size = None
            try:
                with self._dir as top:
                    self._size = self._evict(top, written)
            except OSError:
                self._count("errors")  # eviction stops; the next write tries again

    def _evict(self, top: int, written: str) -> int:
        """When the user's files named as entries or temporary files take more than
        max_bytes, removes the temporary files of writers that died, then entries, least
        recently used first and never the one just `written`, down to LOW_WATER of max_bytes.
        A file found not to be an entry stays, and stops counting. Returns the bytes left."""
        assert self.max_bytes is not None
        files = sorted(self._listing(top))
        total = sum(f.size for f in files)
        if total <= self.max_bytes:
            return total
        stale = time.time_ns() - STALE_TEMP_SECONDS * 10**9
        for f in files:
            if f.temporary and f.mtime_ns < stale and cache_dir.remove(top, f):
                total -= f.size
        target = self.max_bytes * LOW_WATER
        for f in files:
            if total <= target:
                break
            if f.temporary or f.folder + f.name == written:
                continue
            if cache_dir.remove(top, f):
                self._count("evicted")
            total -= f.size  # evicted, gone already, or not an entry: no longer counted
        return total

    def _listing(self, top: int) -> list[Found]:
        listing = cache_dir.listing(top)
        self._count("errors", listing.refused)
        return listing.files

    def _count(self, what: str, n: int = 1) -> None:
        with _count_lock:
            self._counts[what] += n
            _process_counts[what] += n


def _summary(files: list[Found]) -> dict[str, int]:
    temporary = sum(f.temporary for f in files)
    return {"entries": len(files) - temporary, "temporary": temporary,
            "bytes": sum(f.size for f in files)}


_count_lock = threading.Lock()
_process_counts = dict.fromkeys(STAT_KEYS, 0)


def process_stats() -> dict[str, int]:
    """The counts of every cache this process has used, summed, as `stats()` gives them per
    cache. On a cluster each worker counts what its tasks did, so gather them with
    `client.run(trellan.cache.process_stats)`."""
    with _count_lock:
        return dict(_process_counts)


# One cache object per settings and directory in each process, so that the copies a dask graph
# unpickles on a worker share their counts.
_live: weakref.WeakValueDictionary[tuple[Any, ...], ResultCache] = weakref.WeakValueDictionary()
_live_lock = threading.Lock()


def _shared(path: str, max_bytes: int | None, namespace: str, min_seconds: float,
            allow_pickle: bool, identity: tuple[str, int, int]) -> ResultCache:
    with _live_lock:
        cache = _live.get((path, max_bytes, namespace, min_seconds, allow_pickle, identity))
    if cache is not None:
        return cache
    # Never creates the directory; one that is not the same (or gone) makes every lookup miss
    # and every save be skipped, counted under errors.
    cache = ResultCache.__new__(ResultCache)
    cache._setup(path, max_bytes, namespace, min_seconds, allow_pickle,
                 Directory.reopen(path, identity))
    return cache


class CachedLoad:
    """A task with no inputs that gives one node's value from the cache where it runs.
    `where` names the node in the error raised when the entry is missing or damaged then."""

    __slots__ = ("cache", "digest", "where")

    def __init__(self, cache: ResultCache, digest: bytes, where: str) -> None:
        self.cache = cache
        self.digest = bytes(digest)
        self.where = where

    def __call__(self) -> Any:
        found, value = self.cache.lookup(self.digest)
        if not found:
            # The graph was built when the entry was there; what happened since is not known.
            raise CachedValueMissing(
                f"trellan: the cached value of {self.where} was missing or damaged when its load "
                "task ran (evicted, cleared, corrupt or unreadable there); run again to "
                "recompute it")
        return value


class SaveAfter:
    """Runs a computing task, then saves its value from where it ran when it qualifies
    (`force` for a requested output, else the task's own time against `min_seconds`)."""

    __slots__ = ("run", "cache", "digest", "force")

    def __init__(self, run: Callable[..., Any], cache: ResultCache, digest: bytes,
                 force: bool) -> None:
        self.run = run
        self.cache = cache
        self.digest = bytes(digest)
        self.force = force

    def __call__(self, *inputs: Any) -> Any:
        start = time.perf_counter()
        value = self.run(*inputs)
        self.cache.save(self.digest, value, time.perf_counter() - start, force=self.force)
        return value
