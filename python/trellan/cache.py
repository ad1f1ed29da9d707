"""A persistent, content-addressed store of node values in a local directory.

An entry is keyed by a node's 32-byte cache key (`trellan.cache_keys`: its value digest salted
with the fingerprints of the code and data it depends on) under the cache's `namespace`, and
lives at `PATH/ab/cdef...` (the key in hex, fanned out by its first byte). Its file holds:

    magic b"TRC1" | key (32 bytes) | encoding tag (u8) | payload length (u64, little-endian)
    | payload | SHA-256 of everything before it

Every write goes to a temporary file of its own in the same folder and is renamed into place, so
a reader sees a whole entry or none. Every read checks the magic, the key, the length and the
checksum before it trusts the payload; an entry that fails is removed and counts as a miss.

What an executor calls, per node it runs (with `cache=None` it calls nothing at all):

- `found, value = cache.lookup(digest)` before computing a node;
- `cache.save(digest, value, seconds, force=is_output)` after computing one, with the seconds
  its own kernel took; below `min_seconds` and without `force` it stores nothing;
- `cache.contains(digest)` to decide, when building a task graph, which nodes to load instead;
  the load task is `CachedLoad(cache, digest, where)`, and a computing task wrapped in
  `SaveAfter(task, cache, digest, force)` saves its value where it runs."""

from __future__ import annotations

import os
import re
import secrets
import stat
import struct
import threading
import time
import weakref
from collections.abc import Callable, Iterator
from contextlib import suppress
from hashlib import sha256
from typing import Any

from . import cache_keys, cache_values

MAGIC = b"TRC1"
HEADER = struct.Struct("<4s32sBQ")
CHECKSUM_SIZE = 32
STAT_KEYS = ("hits", "misses", "written", "bytes_written", "evicted", "corrupt", "not_cached",
             "unkeyed")
# After evicting, the directory is brought down to this share of max_bytes, so that the next
# few writes do not each pay for a scan of the directory.
LOW_WATER = 0.9

_FANOUT = re.compile(r"[0-9a-f]{2}\Z")
_ENTRY = re.compile(r"[0-9a-f]{62}\Z")
_TEMP = re.compile(r"\.tmp-[0-9a-f]{62}-[0-9]+-[0-9a-f]{16}\Z")


class CachedValueMissing(LookupError):
    """A load task found its entry gone (evicted or cleared) or damaged after the graph was
    built. Nothing upstream of it is in the graph, so running again is the way to recompute."""


class ResultCache:
    """Node values kept on disk between runs, keyed by cache key and `namespace`.

    `path` is a directory owned by the effective user, not a symbolic link and not writable by
    group or others; a missing one is created with mode 0700 whatever the umask, and any other
    is refused with a PermissionError (NotADirectoryError for a file). `max_bytes` bounds the
    directory: past it, the least recently used entries go first. `namespace` names what
    keys cannot see, such as the data behind a source's params; entries of one namespace are
    never seen through another. `min_seconds` is the kernel time from which a value that was not
    asked for is worth keeping. `allow_pickle` lets values with no plain encoding be pickled;
    loading a pickle runs code, so only allow it for a directory nobody else writes.

    Several processes and threads may share one directory. The cache pickles as its settings;
    in each process the copies share one object, so `stats()` counts that process's work."""

    def __init__(self, path: str | os.PathLike[str], *, max_bytes: int | None = None,
                 namespace: str = "", min_seconds: float = 0.05,
                 allow_pickle: bool = False) -> None:
        if max_bytes is not None and (type(max_bytes) is not int or max_bytes < 0):
            raise ValueError(f"max_bytes must be None or an int >= 0, not {max_bytes!r}")
        if not isinstance(namespace, str):
            raise TypeError(f"namespace must be a str, not {type(namespace).__name__}")
        if not min_seconds >= 0:
            raise ValueError(f"min_seconds must be >= 0, not {min_seconds!r}")
        self.path = os.path.abspath(os.fspath(path))
        self.max_bytes = max_bytes
        self.namespace = namespace
        self.min_seconds = float(min_seconds)
        self.allow_pickle = bool(allow_pickle)
        trusted_directory(self.path)
        self._ns_key = cache_keys.namespace_key(namespace)
        self._lock = threading.Lock()
        self._counts = dict.fromkeys(STAT_KEYS, 0)
        self._size: int | None = None  # bytes on disk as last scanned plus what we wrote since
        with _live_lock:
            _live.setdefault(self._settings(), self)

    def _settings(self) -> tuple[str, int | None, str, float, bool]:
        return self.path, self.max_bytes, self.namespace, self.min_seconds, self.allow_pickle

    def __reduce__(self) -> tuple[Callable[..., ResultCache], tuple[Any, ...]]:
        return _shared, self._settings()

    def __repr__(self) -> str:
        return (f"ResultCache({self.path!r}, max_bytes={self.max_bytes!r}, "
                f"namespace={self.namespace!r}, min_seconds={self.min_seconds!r}, "
                f"allow_pickle={self.allow_pickle!r})")

    # -- what executors call --------------------------------------------------------------

    def lookup(self, digest: bytes) -> tuple[bool, Any]:
        """`(True, value)` for an intact entry of `digest` in this namespace, else
        `(False, None)`. A damaged entry is removed and counted as corrupt. A hit marks the
        entry as recently used. A pickled entry is a miss unless pickles are allowed."""
        key = self.entry_key(digest)
        path = self._entry_path(key)
        found, value = self._load(path, key)
        if found:
            with suppress(OSError):
                now = time.time_ns()
                os.utime(path, ns=(now, now))
        self._count("hits" if found else "misses")
        return found, value

    def contains(self, digest: bytes) -> bool:
        """Whether an entry for `digest` is there and loadable, judged from its header and size
        alone: cheap enough to ask for every node of a graph. A damaged payload is found, and
        the entry removed, only when it is loaded. Counts nothing unless it finds damage."""
        key = self.entry_key(digest)
        path = self._entry_path(key)
        try:
            with open(path, "rb") as f:
                head = f.read(HEADER.size)
                st = os.fstat(f.fileno())
        except OSError:
            return False
        tag = _entry_tag(head, key, st.st_size)
        if tag is None:
            self._remove_damaged(path, st.st_ino)
            return False
        return tag != cache_values.PICKLE or self.allow_pickle

    def save(self, digest: bytes, value: Any, seconds: float = 0.0, *,
             force: bool = False) -> bool:
        """Store `value` under `digest` when it qualifies: `force` (a requested output), or
        `seconds` (the node's own kernel time, measured where it ran) at least `min_seconds`.
        True when an entry was written. A value with no usable encoding, larger than
        `max_bytes`, or that the disk refused is not cached, and counted so; a failure to
        store never fails the caller."""
        if not force and seconds < self.min_seconds:
            return False
        key = self.entry_key(digest)
        encoded = cache_values.encode(value, self.allow_pickle)
        if encoded is None:
            self._count("not_cached")
            return False
        tag, payload = encoded
        size = HEADER.size + _length(payload) + CHECKSUM_SIZE
        if self.max_bytes is not None and size > self.max_bytes:
            self._count("not_cached")
            return False
        path = self._entry_path(key)
        try:
            self._write(path, key, tag, payload)
        except OSError:
            self._count("not_cached")
            return False
        with self._lock:
            self._counts["written"] += 1
            self._counts["bytes_written"] += size
        if self.max_bytes is not None:
            self._bound(size, path)
        return True

    # -- what users call ------------------------------------------------------------------

    def count_unkeyed(self, nodes: int) -> None:
        """Counts nodes an executor ran without looking them up or storing them, because they
        depend on a callable or value that has no fingerprint."""
        with self._lock:
            self._counts["unkeyed"] += nodes

    def stats(self) -> dict[str, int]:
        """This process's counts since the cache was opened: hits, misses, entries written,
        bytes written, entries evicted, entries found corrupt, values not cached, nodes run
        without a key."""
        with self._lock:
            return dict(self._counts)

    def info(self) -> dict[str, int]:
        """`{"entries": n, "bytes": b}`: the entries in the directory, all namespaces, and the
        bytes their files take."""
        entries = list(self._scan(_ENTRY))
        return {"entries": len(entries), "bytes": sum(size for _, _, size in entries)}

    def clear(self) -> dict[str, int]:
        """Removes every entry, all namespaces, and the temporary files of crashed writers;
        any other file in the directory stays. Returns what was removed, as `info()` counts
        it. A write in flight when clear runs may be lost; the value is then recomputed."""
        removed = {"entries": 0, "bytes": 0}
        for pattern in (_ENTRY, _TEMP):
            for _, path, size in self._scan(pattern):
                with suppress(FileNotFoundError):
                    os.unlink(path)
                    if pattern is _ENTRY:
                        removed["entries"] += 1
                        removed["bytes"] += size
        for folder in self._folders():
            with suppress(OSError):  # still holds other files, or a writer just made it
                os.rmdir(folder)
        with self._lock:
            self._size = None
        return removed

    # -- entries --------------------------------------------------------------------------

    def entry_key(self, digest: bytes) -> bytes:
        """The 32 bytes the entry for a node's cache key is filed under in this namespace."""
        return cache_keys.entry_key(self._ns_key, digest)

    def _entry_path(self, key: bytes) -> str:
        name = key.hex()
        return os.path.join(self.path, name[:2], name[2:])

    def _load(self, path: str, key: bytes) -> tuple[bool, Any]:
        try:
            with open(path, "rb") as f:
                # The whole entry in one read: once open, eviction by another process cannot
                # take it away from us.
                data = f.read()
                inode = os.fstat(f.fileno()).st_ino
        except OSError:
            return False, None
        entry = _parse(data, key)
        if entry is None:
            self._remove_damaged(path, inode)
            return False, None
        if entry[0] == cache_values.PICKLE and not self.allow_pickle:
            return False, None  # loading it would run code
        try:
            return True, cache_values.decode(*entry)
        except MemoryError:
            raise
        except Exception:  # a payload with a valid checksum that still does not decode
            self._remove_damaged(path, inode)
            return False, None

    def _remove_damaged(self, path: str, inode: int | None) -> None:
        self._count("corrupt")
        # Only the file we judged: a writer may have renamed a good entry over it since.
        with suppress(OSError):
            if inode is None or os.stat(path).st_ino == inode:
                os.unlink(path)

    def _write(self, path: str, key: bytes, tag: int, payload: cache_values.Payload) -> None:
        folder, name = os.path.split(path)
        os.makedirs(folder, mode=0o700, exist_ok=True)
        temp = os.path.join(folder, f".tmp-{name}-{os.getpid()}-{secrets.token_hex(8)}")
        header = HEADER.pack(MAGIC, key, tag, _length(payload))
        checksum = sha256(header)
        for piece in payload:
            checksum.update(piece)
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(header)
                for piece in payload:
                    f.write(piece)
                f.write(checksum.digest())
                now = time.time_ns()  # the file clock is coarse; recency needs the fine one
                os.utime(f.fileno(), ns=(now, now))
            os.replace(temp, path)
        except BaseException:
            with suppress(OSError):
                os.unlink(temp)
            raise

    # -- size -----------------------------------------------------------------------------

    def _bound(self, size: int, written: str) -> None:
        assert self.max_bytes is not None
        with self._lock:
            if self._size is not None and self._size + size <= self.max_bytes:
                self._size += size
                return
            # Other processes write too: the directory itself is the measure.
            entries = sorted(self._scan(_ENTRY))
            total = sum(size for _, _, size in entries)
            evicted = 0
            if total > self.max_bytes:
                target = self.max_bytes * LOW_WATER
                for _, path, entry_size in entries:
                    if total <= target:
                        break
                    if path == written:
                        continue
                    with suppress(FileNotFoundError):
                        os.unlink(path)
                        evicted += 1
                    total -= entry_size
            self._size = total
            self._counts["evicted"] += evicted

    def _folders(self) -> Iterator[str]:
        try:
            with os.scandir(self.path) as top:
                folders = [e.path for e in top
                           if _FANOUT.match(e.name) and e.is_dir(follow_symlinks=False)]
        except FileNotFoundError:
            return
        yield from sorted(folders)

    def _scan(self, pattern: re.Pattern[str]) -> Iterator[tuple[int, str, int]]:
        """`(mtime_ns, path, size)` of every file whose name matches, in name order."""
        for folder in self._folders():
            try:
                with os.scandir(folder) as files:
                    found = [e for e in files if pattern.match(e.name)]
            except OSError:  # removed by a concurrent clear
                continue
            for e in sorted(found, key=lambda e: e.name):
                try:
                    st = e.stat(follow_symlinks=False)
                except OSError:
                    continue
                if stat.S_ISREG(st.st_mode):
                    yield st.st_mtime_ns, e.path, st.st_size

    def _count(self, what: str) -> None:
        with self._lock:
            self._counts[what] += 1


def _length(payload: cache_values.Payload) -> int:
    return sum(memoryview(piece).nbytes for piece in payload)


def _entry_tag(head: bytes, key: bytes, size: int) -> int | None:
    """The encoding tag when `head` starts an entry for `key` whose file has `size` bytes."""
    if len(head) < HEADER.size:
        return None
    magic, found, tag, length = HEADER.unpack_from(head)
    if magic != MAGIC or found != key or size != HEADER.size + length + CHECKSUM_SIZE:
        return None
    return int(tag)


def _parse(data: bytes, key: bytes) -> tuple[int, memoryview] | None:
    """`(tag, payload)` of an intact entry for `key`; None for anything else."""
    tag = _entry_tag(data, key, len(data))
    if tag is None:
        return None
    body = memoryview(data)[:-CHECKSUM_SIZE]
    if sha256(body).digest() != data[-CHECKSUM_SIZE:]:
        return None
    return tag, body[HEADER.size:]


def trusted_directory(path: str) -> None:
    """Creates `path` with mode 0700 when missing; refuses it unless it is a real directory of
    the effective user that group and others cannot write."""
    parent = os.path.dirname(path)
    os.makedirs(parent, exist_ok=True)
    try:
        os.mkdir(path, 0o700)
        os.chmod(path, 0o700)  # the umask may have taken bits away
    except FileExistsError:
        pass
    st = os.lstat(path)
    refuse = f"{path}: refused as a cache directory"
    if stat.S_ISLNK(st.st_mode):
        raise PermissionError(f"{refuse}: it is a symbolic link; give the directory it points to")
    if not stat.S_ISDIR(st.st_mode):
        raise NotADirectoryError(f"{refuse}: it is not a directory")
    if hasattr(os, "geteuid") and st.st_uid != os.geteuid():
        raise PermissionError(f"{refuse}: it belongs to user id {st.st_uid}, not to you")
    if st.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        raise PermissionError(f"{refuse}: group or others may write to it "
                              f"(mode {stat.S_IMODE(st.st_mode):o}); chmod go-w it")


# One cache object per settings in each process, so that the copies a dask graph unpickles on a
# worker share their counts.
_live: weakref.WeakValueDictionary[tuple[Any, ...], ResultCache] = weakref.WeakValueDictionary()
_live_lock = threading.Lock()


def _shared(path: str, max_bytes: int | None, namespace: str, min_seconds: float,
            allow_pickle: bool) -> ResultCache:
    with _live_lock:
        cache = _live.get((path, max_bytes, namespace, min_seconds, allow_pickle))
    if cache is not None:
        return cache
    return ResultCache(path, max_bytes=max_bytes, namespace=namespace, min_seconds=min_seconds,
                       allow_pickle=allow_pickle)


class CachedLoad:
    """A task with no inputs that gives one node's value from the cache where it runs.
    `where` names the node in the error raised when the entry has gone or is damaged."""

    __slots__ = ("cache", "digest", "where")

    def __init__(self, cache: ResultCache, digest: bytes, where: str) -> None:
        self.cache = cache
        self.digest = bytes(digest)
        self.where = where

    def __call__(self) -> Any:
        found, value = self.cache.lookup(self.digest)
        if not found:
            raise CachedValueMissing(
                f"trellan: the cached value of {self.where} is gone or damaged since the graph "
                "was built (evicted, cleared or corrupt); run again to recompute it")
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
