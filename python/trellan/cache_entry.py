"""One entry file of the result cache: its layout, and reading, judging and writing it through
descriptors, relative to its folder's descriptor, never through a path.

    magic b"TRC1" | key (32 bytes) | encoding tag (u8) | payload length (u64, little-endian)
    | payload | SHA-256 of everything before it"""

from __future__ import annotations

import errno
import os
import secrets
import stat
import struct
import time
from collections.abc import Iterable
from contextlib import suppress
from hashlib import sha256

from .cache_values import Payload

MAGIC = b"TRC1"
HEADER = struct.Struct("<4s32sBQ")
CHECKSUM_SIZE = 32
KEY_SIZE = 32

# A file of the cache is opened without following a link and without waiting: a FIFO planted
# at an entry's place opens at once, and fstat then shows it is no entry.
_READ = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
_CREATE = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC


class NotAFile(OSError):
    """Something other than a regular file (a FIFO, a device, a folder) at an entry's place."""


def open_file(name: str, folder: int) -> tuple[int, os.stat_result]:
    """A descriptor and the status of the regular file `name` in the folder `folder`; NotAFile
    for anything else, a link included, which is never read."""
    try:
        fd = os.open(name, _READ, dir_fd=folder)
    except OSError as err:
        if err.errno == errno.ELOOP:
            raise NotAFile(f"{name}: a symbolic link") from None
        raise
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise NotAFile(f"{name}: not a regular file")
    except BaseException:
        os.close(fd)
        raise
    return fd, st


def mine(st: os.stat_result) -> bool:
    """A regular file of the effective user: only such files are ever removed."""
    return stat.S_ISREG(st.st_mode) and st.st_uid == os.geteuid()


def entry_tag(head: bytes, key: bytes, size: int) -> int | None:
    """The encoding tag when `head` starts an entry for `key` whose file has `size` bytes."""
    if len(head) < HEADER.size:
        return None
    magic, found, tag, length = HEADER.unpack_from(head)
    if magic != MAGIC or found != key or size != HEADER.size + length + CHECKSUM_SIZE:
        return None
    return int(tag)


def holds_key(head: bytes, key: bytes) -> bool:
    """Whether `head` starts with the magic and `key`: a file the cache wrote for that key,
    whole or damaged after."""
    return head[:len(MAGIC) + KEY_SIZE] == MAGIC + key


def read_head(fd: int, size: int = HEADER.size) -> bytes:
    return bytes(_read(fd, size))


def read_entry(fd: int, key: bytes, size: int) -> tuple[int, memoryview] | None:
    """`(tag, payload)` of an intact entry for `key` in the open file `fd` of `size` bytes;
    None for anything else. The header is judged against the size before the payload is read,
    so a file that is not what its header says costs one small read, whatever its size."""
    head = read_head(fd)
    tag = entry_tag(head, key, size)
    if tag is None:
        return None
    # As large as the file, which its header agreed to: a MemoryError here is a real one.
    length = size - HEADER.size - CHECKSUM_SIZE
    payload = _read(fd, length)
    if len(payload) != length:
        return None  # shorter than it was a moment ago
    checksum = sha256(head)
    checksum.update(payload)
    if checksum.digest() != read_head(fd, CHECKSUM_SIZE):
        return None
    return tag, memoryview(payload)


def _read(fd: int, size: int) -> bytearray:
    """Up to `size` bytes, fewer only at the end of the file."""
    buffer = bytearray(size)
    view = memoryview(buffer)
    got = 0
    while got < size:
        n = os.readv(fd, [view[got:]])
        if n == 0:
            del view
            del buffer[got:]
            break
        got += n
    return buffer


def payload_length(payload: Payload) -> int:
    return sum(memoryview(piece).nbytes for piece in payload)


def write_entry(folder: int, name: str, key: bytes, tag: int, payload: Payload) -> None:
    header = HEADER.pack(MAGIC, key, tag, payload_length(payload))
    checksum = sha256(header)
    for piece in payload:
        checksum.update(piece)
    write_whole(folder, name, f".tmp-{name}-{os.getpid()}-{secrets.token_hex(8)}",
                (header, *payload, checksum.digest()))


def write_whole(folder: int, name: str, temp: str, pieces: Iterable[bytes | memoryview]) -> None:
    """Writes `pieces` to the new file `temp` in `folder` and renames it to `name`, so that a
    reader sees the whole file or none."""
    fd = os.open(temp, _CREATE, 0o600, dir_fd=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            for piece in pieces:
                f.write(piece)
            now = time.time_ns()  # the file clock is coarse; recency needs the fine one
            os.utime(f.fileno(), ns=(now, now))
        os.replace(temp, name, src_dir_fd=folder, dst_dir_fd=folder)
    except BaseException:
        with suppress(OSError):
            os.unlink(temp, dir_fd=folder)
        raise


def unlink_if_same(folder: int, name: str, inode: int) -> bool:
    """Removes `name` only when it is still the file judged: a writer may have renamed a good
    entry over it since."""
    try:
        if os.stat(name, dir_fd=folder, follow_symlinks=False).st_ino != inode:
            return False
        os.unlink(name, dir_fd=folder)
    except FileNotFoundError:
        return False
    return True
