"""The directory a result cache lives in. It is opened once and held: every later file
operation is relative to that descriptor, so renaming the path or planting a link there
afterwards redirects nothing. A CACHEDIR.TAG marks it as a cache, for backup tools and for the
cache itself. Its fan-out folders are opened relative to it without following links, and
checked at every use."""

from __future__ import annotations

import errno
import os
import re
import secrets
import socket
import stat
import threading
from collections.abc import Iterator
from contextlib import suppress
from typing import NamedTuple

from .cache_entry import (MAGIC, NotAFile, holds_key, mine, open_file, read_head,
                          unlink_if_same, write_whole)

TAG = "CACHEDIR.TAG"
TAG_TEXT = (b"Signature: 8a477f597d28d172789f06886806bc55\n"
            b"# This file is a cache directory tag created by trellan's result cache.\n"
            b"# For information about cache directory tags see https://bford.info/cachedir/\n")
_SIGNATURE = TAG_TEXT[:43]

FANOUT = re.compile(r"[0-9a-f]{2}\Z")
ENTRY = re.compile(r"[0-9a-f]{62}\Z")
TEMP = re.compile(r"\.tmp-[0-9a-f]{62}-[0-9]+-[0-9a-f]{16}\Z")
_TAG_TEMP = re.compile(r"\.tmp-CACHEDIR\.TAG-[0-9]+-[0-9a-f]{16}\Z")

_OPEN_DIR = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
# What opening a link or a file as a folder without following links fails with.
_NOT_A_DIRECTORY = (errno.ENOTDIR, errno.ELOOP)


class Refused(PermissionError):
    """A folder of the cache that it does not trust: a link, another user's, or writable by
    group or others."""


class Unusable(OSError):
    """A cache copy whose directory could not be opened again as the one it was made from."""


def distrust(st: os.stat_result) -> str | None:
    """Why a folder is not to be trusted, or None: it must be a real directory of the
    effective user that group and others cannot write."""
    if not stat.S_ISDIR(st.st_mode):
        return "it is not a directory"
    if st.st_uid != os.geteuid():
        return f"it belongs to user id {st.st_uid}, not to you"
    if st.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        return (f"group or others may write to it (mode {stat.S_IMODE(st.st_mode):o}); "
                "chmod go-w it")
    return None


def open_directory(path: str, *, create: bool) -> int:
    """A descriptor of the cache directory `path`, created with mode 0700 (its missing parents
    too) when `create` and missing. Refused with PermissionError unless it is a real directory
    (NotADirectoryError for a file) of the effective user that group and others cannot write."""
    created = False
    if create:
        _make_parents(path)
        with suppress(FileExistsError):
            os.mkdir(path, 0o700)
            created = True
    refuse = f"{path}: refused as a cache directory"
    try:
        fd = os.open(path, _OPEN_DIR)
    except OSError as err:
        if err.errno not in _NOT_A_DIRECTORY or not os.path.lexists(path):
            raise
        if os.path.islink(path):
            raise PermissionError(f"{refuse}: it is a symbolic link; give the directory it "
                                  "points to") from None
        raise NotADirectoryError(f"{refuse}: it is not a directory") from None
    try:
        if created:
            os.fchmod(fd, 0o700)  # the umask may have taken bits away
        why = distrust(os.fstat(fd))
        if why is not None:
            raise PermissionError(f"{refuse}: {why}")
    except BaseException:
        os.close(fd)
        raise
    return fd


def _make_parents(path: str) -> None:
    missing = []
    parent = os.path.dirname(path)
    while not os.path.isdir(parent):
        missing.append(parent)
        parent = os.path.dirname(parent)
    for folder in reversed(missing):
        with suppress(FileExistsError):
            os.mkdir(folder, 0o700)
            os.chmod(folder, 0o700)


def claim(top: int, path: str) -> None:
    """Makes sure the directory is marked as a cache. One without the tag is adopted, and
    tagged, when it is empty or holds nothing but fan-out folders of entries and temporary
    files; any other is refused with a PermissionError."""
    if _tagged(top):
        return
    if not _adoptable(top):
        raise PermissionError(f"{path}: refused as a cache directory: it holds files that are "
                              f"not cache entries, and no {TAG}")
    write_whole(top, TAG, f".tmp-{TAG}-{os.getpid()}-{secrets.token_hex(8)}", (TAG_TEXT,))


def _tagged(top: int) -> bool:
    try:
        fd, _ = open_file(TAG, top)
    except (FileNotFoundError, NotAFile):
        return False
    try:
        return read_head(fd, len(_SIGNATURE)) == _SIGNATURE
    finally:
        os.close(fd)


def _adoptable(top: int) -> bool:
    for name in _names(top):
        if _TAG_TEMP.match(name):
            continue
        if not FANOUT.match(name):
            return False
        try:
            folder = os.open(name, _OPEN_DIR, dir_fd=top)
        except FileNotFoundError:  # a clear removed it meanwhile
            continue
        except OSError as err:
            if err.errno in _NOT_A_DIRECTORY:
                return False
            raise
        try:
            if not all(_ours(folder, f) for f in _names(folder)):
                return False
        finally:
            os.close(folder)
    return True


def _ours(folder: int, name: str) -> bool:
    """Whether a file of a fan-out folder is a temporary file or an entry (it has the magic)."""
    temporary = TEMP.match(name)
    if not (temporary or ENTRY.match(name)):
        return False
    try:
        fd, _ = open_file(name, folder)
    except FileNotFoundError:  # renamed or evicted by a writer meanwhile
        return True
    except NotAFile:
        return False
    try:
        return bool(temporary) or read_head(fd, len(MAGIC)) == MAGIC
    finally:
        os.close(fd)


def _names(folder: int) -> list[str]:
    """The names in an open folder. Listing reads through a descriptor of its own, since a
    listing's position is shared by every copy of a descriptor."""
    fd = os.open(".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC, dir_fd=folder)
    try:
        return os.listdir(fd)
    finally:
        os.close(fd)


def open_folder(top: int, name: str, *, create: bool) -> int:
    """A descriptor of the fan-out folder `name`, made with mode 0700 when `create` and
    missing; Refused when it is not one to trust."""
    try:
        fd = os.open(name, _OPEN_DIR, dir_fd=top)
    except FileNotFoundError:
        if not create:
            raise
        with suppress(FileExistsError):
            os.mkdir(name, 0o700, dir_fd=top)
        fd = os.open(name, _OPEN_DIR, dir_fd=top)
        with suppress(OSError):
            os.fchmod(fd, 0o700)  # the umask may have taken bits away
    except OSError as err:
        if err.errno not in _NOT_A_DIRECTORY:
            raise
        raise Refused(f"{name}: not a directory") from None
    try:
        why = distrust(os.fstat(fd))
    except BaseException:
        os.close(fd)
        raise
    if why is not None:
        os.close(fd)
        raise Refused(f"{name}: {why}")
    return fd


class Found(NamedTuple):
    """A file that may be the cache's, as a listing saw it; oldest first when sorted."""
    mtime_ns: int
    folder: str  # "" at the top
    name: str
    size: int
    temporary: bool


class Listing(NamedTuple):
    files: list[Found]
    folders: list[str]  # the fan-out folders visited
    refused: int  # fan-out folders not visited, as not to be trusted


def listing(top: int) -> Listing:
    """The regular files of the effective user named as entries or temporary files, in the
    fan-out folders to trust. Their contents are not read: `remove` judges those."""
    files: list[Found] = []
    folders: list[str] = []
    refused = 0
    for name in _names(top):
        if _TAG_TEMP.match(name):
            files.extend(_found(top, "", name, True))
        elif FANOUT.match(name):
            try:
                folder = open_folder(top, name, create=False)
            except FileNotFoundError:
                continue
            except Refused:
                refused += 1
                continue
            try:
                for file in _names(folder):
                    temporary = bool(TEMP.match(file))
                    if temporary or ENTRY.match(file):
                        files.extend(_found(folder, name, file, temporary))
            finally:
                os.close(folder)
            folders.append(name)
    return Listing(files, folders, refused)


def _found(fd: int, folder: str, name: str, temporary: bool) -> Iterator[Found]:
    try:
        st = os.stat(name, dir_fd=fd, follow_symlinks=False)
    except FileNotFoundError:
        return
    if mine(st):
        yield Found(st.st_mtime_ns, folder, name, st.st_size, temporary)


def is_ours(top: int, f: Found) -> bool:
    """Whether a listed file is still the user's regular file and, for an entry, its header
    holds the magic and the key its name spells: the only files the cache removes."""
    return _judged(top, f, unlink=False)


def remove(top: int, f: Found) -> bool:
    """Removes a listed file when `is_ours`. False for a file that is not the cache's, or gone;
    OSError when the system refuses."""
    return _judged(top, f, unlink=True)


def _judged(top: int, f: Found, *, unlink: bool) -> bool:
    try:
        folder = open_folder(top, f.folder, create=False) if f.folder else top
    except (FileNotFoundError, Refused):
        return False
    try:
        fd, st = open_file(f.name, folder)
        try:
            ours = mine(st) and (f.temporary or _spells_its_key(fd, f))
        finally:
            os.close(fd)
        return ours and (not unlink or unlink_if_same(folder, f.name, st.st_ino))
    except (FileNotFoundError, NotAFile):
        return False
    finally:
        if folder != top:
            os.close(folder)


def _spells_its_key(fd: int, f: Found) -> bool:
    return holds_key(read_head(fd), bytes.fromhex(f.folder + f.name))


class Directory:
    """The held descriptor of a cache directory, shared by every thread of one cache object.
    `with directory as fd:` lends it for one operation; once closed, it is released as soon as
    no operation still uses it, so that its number is never reused under one."""

    def __init__(self, fd: int | None, identity: tuple[str, int, int], problem: str = "") -> None:
        self.identity = identity  # (host, device, inode) when opened
        self._fd = fd
        self._problem = problem
        self._users = 0
        self._closed = False
        self._lock = threading.Lock()

    @classmethod
    def open(cls, path: str) -> Directory:
        """Opens (creating it when missing) and claims the directory; raises when refused."""
        fd = open_directory(path, create=True)
        try:
            claim(fd, path)
            st = os.fstat(fd)
        except BaseException:
            os.close(fd)
            raise
        return cls(fd, (socket.gethostname(), st.st_dev, st.st_ino))

    @classmethod
    def reopen(cls, path: str, identity: tuple[str, int, int]) -> Directory:
        """The directory a cache was opened on, for a copy of it: never created, and unusable
        unless the path still names that same directory and it is still to be trusted."""
        try:
            fd = open_directory(path, create=False)
        except OSError as err:
            return cls(None, identity, str(err))
        st = os.fstat(fd)
        host, device, inode = identity
        # A shared filesystem keeps inode numbers across machines, not device numbers.
        if st.st_ino != inode or (host == socket.gethostname() and st.st_dev != device):
            os.close(fd)
            return cls(None, identity, f"{path}: no longer the directory the cache was "
                                       "opened on")
        return cls(fd, identity)

    def __enter__(self) -> int:
        with self._lock:
            if self._closed:
                raise ValueError("the result cache is closed")
            if self._fd is None:
                raise Unusable(self._problem)
            self._users += 1
            return self._fd

    def __exit__(self, *_: object) -> None:
        with self._lock:
            self._users -= 1
            self._release()

    def close(self) -> None:
        with self._lock:
            self._closed = True
            self._release()

    def _release(self) -> None:
        if self._closed and not self._users and self._fd is not None:
            os.close(self._fd)
            self._fd = None

    def __del__(self) -> None:
        if self._fd is not None:
            with suppress(OSError):
                os.close(self._fd)
