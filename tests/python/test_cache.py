"""The result cache on disk: what it keeps and how it reads it back, what damage it survives, the directories and
files it refuses or leaves alone, several processes sharing one directory; what a key covers, and the executors
recomputing only what an edit of the graph, a kernel or the data reaches."""

import contextlib, importlib, io, json, os, pickle, shutil, struct, subprocess, sys, tempfile, threading, time
from collections.abc import Mapping
from functools import partial
from hashlib import sha256
from pathlib import Path

import dask
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from strategies import graphs, model_digest, record
from trellan import ResultCache, cli, evaluate, to_dask
from trellan.cache_values import FLOAT, NPY_ARRAY
from trellan.kernels import SeededArrays, numpy_kernels
from trellan_core import GraphStore
from trellan.cache import CachedLoad, CachedValueMissing, SaveAfter, process_stats
from trellan.cache_keys import output_keys

NO_COUNTS = dict(hits=0, misses=0, written=0, bytes_written=0, evicted=0, corrupt=0, not_cached=0, errors=0, unkeyed=0)
NOBODY = 65534  # the user the permission rows run as: root passes every permission check


def digest(k: int) -> bytes:
    return k.to_bytes(32, "little")


def entries(root: Path) -> list[Path]:
    return sorted(p for p in root.glob("*/*") if not p.name.startswith("."))


def entry_file(cache: ResultCache, digest: bytes) -> Path:
    name = cache.entry_key(digest).hex()
    return Path(cache.path, name[:2], name[2:])


def forge(path: Path, tag: int, payload: bytes) -> bytes:
    # An entry with a valid checksum for the key its path spells, whatever its payload; returns its bytes.
    head = struct.pack("<4s32sBQ", b"TRC1", bytes.fromhex(path.parent.name + path.name), tag, len(payload))
    path.write_bytes(head + payload + sha256(head + payload).digest())
    return path.read_bytes()


def same_value(a, b) -> bool:
    return type(a) is type(b) and (np.array_equal(a, b) and a.dtype == b.dtype if isinstance(a, np.ndarray) else a == b)


class Tagged(np.ndarray):  # an array subclass: .npy would give back a plain array
    pass


class Point:  # a value only pickle can keep
    def __init__(self, x):
        self.x = x

    def __eq__(self, other):
        return type(other) is Point and other.x == self.x


PLAIN = [np.arange(12.0).reshape(3, 4)[:, ::2], np.asfortranarray(np.arange(6, dtype=np.int16).reshape(2, 3)),
         np.array(True), np.zeros(0, ">c8"),
         np.float32(2.5), np.uint64(2**64 - 1), None, True, -(2**70), 0, 1.5, 2j, "héllo\udc80", b"\x00bytes"]
ONLY_PICKLED = [Point(3), [1, 2], np.array([1, "a"], dtype=object), np.arange(3.0).view(Tagged),
                np.datetime64("2024-01-02")]


@pytest.mark.parametrize("value", PLAIN + ONLY_PICKLED, ids=lambda v: type(v).__name__)
def test_values_come_back_as_they_went_in(tmp_path: Path, value) -> None:
    plain = any(value is v for v in PLAIN)
    cache = ResultCache(tmp_path / "c")
    assert cache.save(digest(1), value, force=True) == plain and cache.lookup(digest(1))[0] == plain
    assert cache.stats()["not_cached"] == (not plain)
    pickling = ResultCache(tmp_path / "c", allow_pickle=True)
    if not plain:
        assert pickling.save(digest(1), value, force=True)
        # a cache that does not allow pickles neither loads one (loading runs code) nor removes it
        assert cache.lookup(digest(1)) == (False, None) and not cache.contains(digest(1))
    found, back = pickling.lookup(digest(1))
    assert found and (same_value(back, value) if plain else pickle.dumps(back) == pickle.dumps(value))


def test_what_is_kept_follows_namespace_and_min_seconds(tmp_path: Path) -> None:
    cache = ResultCache(tmp_path / "c", namespace="kernels v1")
    assert not cache.save(digest(1), 1.0, 0.049) and cache.save(digest(1), 1.0, 0.05)
    assert cache.save(digest(2), 2.0, force=True)
    assert not ResultCache(tmp_path / "c", namespace="kernels v2").lookup(digest(1))[0]
    assert cache.lookup(digest(1)) == (True, 1.0) and not cache.contains(digest(3))
    assert not any("kernels" in str(p) for p in (tmp_path / "c").rglob("*"))
    assert cache.stats() == dict(NO_COUNTS, hits=1, written=2, bytes_written=2 * (45 + 8 + 32))
    with pytest.raises(ValueError, match="a cache key is 32 bytes, not 31"):
        cache.lookup(digest(1)[1:])


def truncate(path: Path, _other: Path) -> None:
    path.write_bytes(path.read_bytes()[:-1])


def flip_byte(path: Path, _other: Path) -> None:
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0x10
    path.write_bytes(data)


def other_key(path: Path, other: Path) -> None:
    path.write_bytes(other.read_bytes())


def delete(path: Path, _other: Path) -> None:
    path.unlink()


def plain(damage):
    # A row for damage done to the entry's file alone.
    def row(cache, path: Path, other: Path):
        damage(path, other)
        yield cache
    row.__name__ = damage.__name__
    return row


def fifo(cache, path: Path, _other: Path):
    path.unlink()
    os.mkfifo(path)
    yield cache
    assert path.is_file()  # the save replaced it


def link_to_dev_zero(cache, path: Path, _other: Path):
    path.unlink()
    path.symlink_to("/dev/zero")
    yield cache
    assert path.is_file() and not path.is_symlink()


def sparse_oversized(cache, path: Path, _other: Path):
    os.truncate(path, 2**40)  # its header stays valid; only its size lies
    yield cache


def huge_npy_header(cache, path: Path, _other: Path):
    header = io.BytesIO()
    np.lib.format.write_array_header_1_0(header, {"descr": "<f8", "fortran_order": False, "shape": (10**12,)})
    forge(path, NPY_ARRAY, header.getvalue() + bytes(8))
    yield cache


def foreign_files(cache, path: Path, other: Path):
    # Files with entry-like names that the cache did not write, or that are not the user's, stay through eviction
    # and clear().
    folder = path.parent
    planted = {folder / ("0" * 62): b"11 bytes..."}
    planted[folder / ("1" * 62)] = other.read_bytes()  # an entry under a name that is not its key
    if os.geteuid() == 0:
        stranger = folder / ("2" * 62)
        planted[stranger] = forge(stranger, FLOAT, struct.pack("<d", 1.0))
        os.chown(stranger, NOBODY, NOBODY)
    for p, data in planted.items():
        p.write_bytes(data)
    truncate(path, other)
    bounded = ResultCache(cache.path, max_bytes=len(other.read_bytes()) * 3 // 2)
    yield bounded
    assert bounded.clear()["entries"] == 1
    assert {p: p.read_bytes() for p in planted} == planted


def wrong_value_in(folder: Path, path: Path) -> Path:
    # A well-formed entry for the key, holding a value the graph does not compute, in `folder`.
    folder.mkdir(exist_ok=True)
    forge(folder / path.name, FLOAT, struct.pack("<d", 1.5))
    return folder / path.name


def fanout_symlink(cache, path: Path, _other: Path):
    outside = Path(cache.path).with_name("outside")
    outside.mkdir(mode=0o777)
    shutil.move(path.parent, outside / path.parent.name)
    path.parent.symlink_to(outside / path.parent.name)
    planted = wrong_value_in(outside / path.parent.name, path).read_bytes()
    (outside / path.parent.name).chmod(0o777)
    yield cache
    assert [p.read_bytes() for p in (outside / path.parent.name).iterdir()] == [planted]


def open_fanout(cache, path: Path, _other: Path):
    planted = wrong_value_in(path.parent, path).read_bytes()
    path.parent.chmod(0o777)
    yield cache
    assert path.read_bytes() == planted


def swapped_after_opening(cache, path: Path, other: Path):
    root = Path(cache.path)
    truncate(path, other)
    root.rename(root.with_name("moved"))
    (root.with_name("outside")).mkdir(mode=0o777)
    root.symlink_to(root.with_name("outside"))
    yield cache
    assert not any(root.iterdir()) and (root.with_name("moved") / path.relative_to(root)).is_file()


def removed(cache, _path: Path, _other: Path):
    shutil.rmtree(cache.path)
    yield cache
    assert not os.path.lexists(cache.path)


def unwritable_fanout(cache, path: Path, other: Path):
    # Eviction cannot remove the least recently used entry; the CLI says so in one line.
    delete(path, other)
    other.parent.chmod(0o500)
    yield ResultCache(cache.path, max_bytes=len(other.read_bytes()) * 3 // 2)
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        assert cli.main(["cache", "clear", cache.path]) == 2
    assert err.getvalue() == f"trellan: {cache.path}: Permission denied\n"


def unreadable_top(cache, path: Path, other: Path):
    delete(path, other)
    bounded = ResultCache(cache.path, max_bytes=len(other.read_bytes()) * 3 // 2)
    Path(cache.path).chmod(0o300)  # after opening: it can no longer be listed
    yield bounded


# Each row: damage done after a run that stored both outputs, and the counts of the run after it. Output 0's entry is
# the damaged one, so that run finds output 1 and computes output 0 again.
DAMAGE = {row.__name__: (row, counts) for row, counts in [
    (plain(truncate), dict(corrupt=1, written=1)),
    (plain(flip_byte), dict(corrupt=1, written=1)),
    (plain(other_key), dict(corrupt=1, written=1)),
    (fifo, dict(errors=1, corrupt=0, written=1)),
    (link_to_dev_zero, dict(errors=1, corrupt=0, written=1)),
    (sparse_oversized, dict(corrupt=1, written=1)),
    (huge_npy_header, dict(corrupt=1, written=1)),
    (foreign_files, dict(corrupt=1, written=1, evicted=1)),
    (fanout_symlink, dict(hits=1, errors=2, written=0)),
    (open_fanout, dict(hits=1, errors=2, written=0)),
    (swapped_after_opening, dict(hits=1, corrupt=1, written=1, errors=0)),
    (removed, dict(hits=0, errors=2, written=0)),
    (unwritable_fanout, dict(written=1, evicted=0, errors=1)),
    (unreadable_top, dict(written=1, evicted=0, errors=1)),
]}
AS_NOBODY = {"unwritable_fanout", "unreadable_top"}


def damaged_run(root: Path, row: str) -> dict:
    """Runs a two-output graph against a cache in `root`, damages it by the row, runs again; the second run's values
    are checked, its counts returned."""
    g = GraphStore()
    outputs = [g.add_op("negative", [g.add_source(name)]) for name in "xy"]
    run = dict(sources=SeededArrays((100,)), kernels=numpy_kernels())
    expected = evaluate(g, outputs, **run)
    cache = ResultCache(root / "c")
    evaluate(g, outputs, **run, cache=cache)
    steps = DAMAGE[row][0](cache, *(entry_file(cache, key) for key in output_keys(g, outputs, **run)))
    cache = next(steps)
    before = cache.stats()
    assert all(map(same_value, evaluate(g, outputs, **run, cache=cache), expected))
    after = cache.stats()
    next(steps, None)
    return {key: after[key] - before[key] for key in after}


AS_NOBODY_CHILD = f"""
import json, os, sys
from pathlib import Path
sys.path.insert(0, {str(Path(__file__).parent)!r})
import numpy.random, test_cache  # numpy loads this one lazily, where the user may not read
if os.geteuid() == 0:
    os.setgid({NOBODY})
    os.setuid({NOBODY})
print(json.dumps(test_cache.damaged_run(Path(sys.argv[1]), sys.argv[2])))
"""


@pytest.mark.parametrize("row", DAMAGE)
def test_damage_is_a_miss_and_never_fails_a_run(tmp_path: Path, row: str) -> None:
    if row not in AS_NOBODY:
        counts = damaged_run(tmp_path, row)
    else:  # in a child that drops to a user the permissions apply to, in a folder of its own
        root = Path(tempfile.mkdtemp(dir="/tmp" if os.geteuid() == 0 else None))  # where that user can reach
        try:
            if os.geteuid() == 0:
                os.chown(root, NOBODY, NOBODY)
            done = subprocess.run([sys.executable, "-c", AS_NOBODY_CHILD, root, row], capture_output=True, text=True)
            assert done.returncode == 0, done.stderr
            counts = json.loads(done.stdout)
        finally:
            subprocess.run(["chmod", "-R", "u+rwx", root])
            shutil.rmtree(root)
    expected = DAMAGE[row][1]
    assert {key: counts[key] for key in expected} == expected


@pytest.mark.parametrize("damage", [truncate, flip_byte, other_key])
def test_contains_judges_the_header_and_size_only(tmp_path: Path, damage) -> None:
    cache = ResultCache(tmp_path / "c")
    for k in (1, 2):
        cache.save(digest(k), np.full(100, k), force=True)
    path, other = entry_file(cache, digest(1)), entry_file(cache, digest(2))
    damage(path, other)
    # a flipped payload byte is found, and the entry removed, when it is loaded
    caught = damage is not flip_byte
    assert cache.contains(digest(1)) != caught and path.exists() != caught
    assert cache.stats() == dict(NO_COUNTS, written=2, bytes_written=cache.stats()["bytes_written"], corrupt=int(caught))


def test_eviction_keeps_the_directory_under_max_bytes_and_drops_the_least_recently_used(tmp_path: Path) -> None:
    cache = ResultCache(tmp_path / "c")
    cache.save(digest(9), np.zeros(100), force=True)
    entry = cache.clear()["bytes"]
    # temporary files of writers count against the bound; those of writers dead for an hour are removed
    (tmp_path / "c" / "ab").mkdir()
    young, dead = (tmp_path / "c" / "ab" / f".tmp-{'a' * 62}-{pid}-{'0' * 16}" for pid in (1, 2))
    young.write_bytes(bytes(entry))
    dead.write_bytes(bytes(entry))
    os.utime(dead, (time.time() - 3601,) * 2)
    cache = ResultCache(tmp_path / "c", max_bytes=6 * entry)
    for k in range(4):
        cache.save(digest(k), np.full(100, k, np.float64), force=True)
    assert cache.info() == {"entries": 4, "temporary": 2, "bytes": 6 * entry} and cache.lookup(digest(0))[0]
    cache.save(digest(4), np.full(100, 4.0), force=True)
    # the dead writer's file goes, then entries down to 90% of the bound: 1 goes, and 0, read since, stays
    assert cache.info() == {"entries": 4, "temporary": 1, "bytes": 5 * entry} and cache.stats()["evicted"] == 1
    assert [cache.contains(digest(k)) for k in range(5)] == [True, False, True, True, True] and young.exists()
    assert not cache.save(digest(5), np.zeros(1000), force=True) and cache.stats()["not_cached"] == 1
    assert cache.clear() == {"entries": 4, "temporary": 1, "bytes": 5 * entry}


def make_symlink(root: Path) -> Path:
    (root / "real").mkdir(mode=0o700)
    (root / "link").symlink_to(root / "real")
    return root / "link"


def make_shared(root: Path) -> Path:
    (root / "shared").mkdir()
    (root / "shared").chmod(0o770)
    return root / "shared"


@pytest.mark.parametrize("make, error, message", [
    (make_symlink, PermissionError, "it is a symbolic link"),
    (make_shared, PermissionError, r"group or others may write to it \(mode 770\)"),
    (lambda root: (root / "file").touch() or root / "file", NotADirectoryError, "it is not a directory"),
])
def test_an_untrusted_directory_is_refused(tmp_path: Path, make, error: type, message: str) -> None:
    path = make(tmp_path)
    with pytest.raises(error, match=f"^{path}: refused as a cache directory: {message}"):
        ResultCache(path)


def test_a_directory_without_its_tag_is_adopted_only_when_it_holds_nothing_but_entries(tmp_path: Path) -> None:
    cache = ResultCache(tmp_path / "c")
    cache.save(digest(1), 1.0, force=True)
    tag = tmp_path / "c" / "CACHEDIR.TAG"
    tag.unlink()  # as a cache made before caches were tagged, with a dead writer's temporary file
    entry_file(cache, digest(1)).with_name(f".tmp-{'a' * 62}-1-{'0' * 16}").write_bytes(b"")
    assert ResultCache(tmp_path / "c").lookup(digest(1)) == (True, 1.0)
    assert tag.read_bytes().startswith(b"Signature: 8a477f597d28d172789f06886806bc55\n")
    tag.unlink()  # a file named like an entry that holds none: the directory is not only a cache
    (tmp_path / "c" / "ab").mkdir()
    (tmp_path / "c" / "ab" / ("0" * 62)).write_bytes(b"blob 4\0git")
    for call in (cache.info, cache.clear, lambda: ResultCache(tmp_path / "c")):
        with pytest.raises(PermissionError, match=f"^{tmp_path / 'c'}: refused as a cache directory: it holds files "
                                                  "that are not cache entries, and no CACHEDIR.TAG$"):
            call()
    assert len(entries(tmp_path / "c")) == 2 and not tag.exists()


@pytest.mark.parametrize("umask", [0o000, 0o277])
def test_a_new_directory_and_its_parents_are_private_whatever_the_umask(tmp_path: Path, monkeypatch, umask: int) -> None:
    monkeypatch.setenv("HOME", str(tmp_path))
    old = os.umask(umask)
    try:
        ResultCache("~/a/b").save(digest(1), 1, force=True)
    finally:
        os.umask(old)
    made = [tmp_path / "a", tmp_path / "a" / "b", *(tmp_path / "a" / "b").glob("??")]
    assert [p.stat().st_mode & 0o777 for p in made] == [0o700] * 3 and len(entries(tmp_path / "a" / "b")) == 1


def test_tasks_load_and_save_where_they_run(tmp_path: Path) -> None:
    cache = ResultCache(tmp_path / "c", min_seconds=10)
    assert pickle.loads(pickle.dumps(cache)) is cache  # copies in one process share one object and its counts
    save_small, save_output = (pickle.loads(pickle.dumps(SaveAfter(np.negative, cache, digest(k), force)))
                               for k, force in [(1, False), (2, True)])
    assert save_small(np.ones(3))[0] == -1 and save_output(np.ones(3))[0] == -1 and cache.stats()["written"] == 1
    load = pickle.loads(pickle.dumps(CachedLoad(cache, digest(2), "node 7 (op 'neg')")))
    assert same_value(load(), -np.ones(3))
    cache.clear()
    with pytest.raises(CachedValueMissing, match=r"^trellan: the cached value of node 7 \(op 'neg'\) was missing or "
                                                 "damaged when its load task ran .* run again to recompute it$"):
        load()
    sent = pickle.dumps(cache)
    with cache:  # closing releases the directory
        pass
    with pytest.raises(ValueError, match="closed"):
        cache.lookup(digest(2))
    # A copy opens the directory again, never creates it, and uses it only if it is the one the cache was opened on.
    (tmp_path / "c").rename(tmp_path / "old")
    ResultCache(tmp_path / "c").save(digest(2), 2.0, force=True)
    copy = pickle.loads(sent)
    assert copy.lookup(digest(2)) == (False, None) and not copy.save(digest(2), 3.0, force=True)
    assert copy.stats() == dict(NO_COUNTS, misses=1, errors=2)
    del copy
    shutil.rmtree(tmp_path / "c")
    assert pickle.loads(sent).lookup(digest(2)) == (False, None) and not (tmp_path / "c").exists()


WORKER = """
import json, pickle, random, sys
import numpy as np, trellan_core as tc
from trellan import evaluate
from trellan.cache import process_stats
from trellan.kernels import SeededArrays, numpy_kernels
cache, me = pickle.loads(bytes.fromhex(sys.stdin.read())), int(sys.argv[1])
g = tc.GraphStore()
outputs = [g.add_op("mul", [g.add_op("exp", [g.add_source("x", {"part": k})])], {"scalar": float(k), "side": "r"})
           for k in range(40)]
run = dict(sources=SeededArrays((64, 64)), kernels=numpy_kernels())
want = evaluate(g, outputs, **run)
for _ in range(3):
    order = random.Random(me).sample(range(40), 40)
    got = evaluate(g, [outputs[k] for k in order], cache=cache, **run)
    assert all(np.array_equal(value, want[k]) for value, k in zip(got, order))
del cache  # a worker drops its tasks' copies; the counts stay with the process
print(json.dumps(process_stats()))
"""


def test_processes_share_one_cache(tmp_path: Path) -> None:
    # Four processes evaluate one graph against one cache at once, evicting under each other; every value is right.
    cache = ResultCache(tmp_path / "c", max_bytes=600_000)
    sent = pickle.dumps(cache).hex()
    procs = [subprocess.Popen([sys.executable, "-c", WORKER, str(me)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) for me in range(4)]
    done = [p.communicate(sent) for p in procs]
    assert all(p.returncode == 0 for p in procs), [err for _, err in done]
    counts = [json.loads(out) for out, _ in done]
    assert sum(c["corrupt"] for c in counts) == 0 and sum(c["hits"] for c in counts) > 0
    assert sum(c["evicted"] for c in counts) > 0 and cache.stats() == NO_COUNTS
    assert not list((tmp_path / "c").rglob(".tmp-*"))
    assert cache.info()["entries"] > 0


def exactly(a, b) -> bool:
    # The same type, dtype, shape and bytes: -0.0 is not 0.0, and an int array is not a float one.
    return type(a) is type(b) and (a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
                                   if isinstance(a, np.ndarray) else a == b)


@pytest.mark.parametrize("x, name, unit", [
    (np.arange(3), "add", 0.0),                 # an int array plus 0.0 is a float array
    (np.array([True, False]), "mul", 1.0),      # so is a bool array times 1.0
    (np.array([-0.0, 2.0]), "add", 0.0),        # -0.0 + 0.0 is 0.0, whose inverse is inf, not -inf
], ids=["int", "bool", "negative zero"])
def test_an_identity_op_is_cached_as_what_it_computes(tmp_path: Path, x, name: str, unit: float) -> None:
    g = GraphStore()
    source = g.add_source("x")
    identity = g.add_op(name, [source], {"scalar": unit, "side": "r"})
    outputs = [source, identity, g.add_op("div", [identity], {"scalar": 1.0, "side": "l"})]
    run = dict(sources={"x": x}, kernels=numpy_kernels())
    with np.errstate(divide="ignore"):
        expected = evaluate(g, outputs, **run)
        for _ in range(2):  # a fresh cache, then a warm one
            assert all(map(exactly, evaluate(g, outputs, **run, cache=ResultCache(tmp_path, min_seconds=0)), expected))


def test_commutative_inputs_keep_their_order(tmp_path: Path) -> None:
    g = GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    run = dict(sources={"x": np.array(["ab"]), "y": np.array(["cd"])}, kernels=numpy_kernels(),
               cache=ResultCache(tmp_path, allow_pickle=True, min_seconds=0))
    assert evaluate(g, [g.add_op("add", [x, y])], **run)[0].tolist() == ["abcd"]
    assert evaluate(g, [g.add_op("add", [y, x])], **run)[0].tolist() == ["cdab"]


def scaled(factor: float):
    def kernel(x, **_params):
        return x * factor
    return kernel


def locked():
    lock = threading.Lock()  # a captured value with no stable form

    def kernel(x, **_params):
        with lock:
            return -x
    return kernel


@pytest.mark.parametrize("first, second, hits, unkeyed", [
    (dict(sources={"x": np.arange(3.0)}), dict(sources={"x": np.arange(3.0) + 1}), 0, 0),
    (dict(sources=SeededArrays((2,))), dict(sources=SeededArrays((1000,))), 0, 0),
    (dict(kernels={"f": scaled(2.0)}), dict(kernels={"f": scaled(2.0)}), 2, 0),  # equal code, equal captures
    (dict(kernels={"f": scaled(2.0)}), dict(kernels={"f": scaled(3.0)}), 1, 0),
    (dict(kernels={"f": locked()}), dict(kernels={"f": locked()}), 1, 2),  # never cached, nor loaded
], ids=["mapping value", "SeededArrays shape", "same closure", "closure value", "unfingerprintable closure"])
def test_a_key_covers_the_code_and_data_a_node_depends_on(tmp_path: Path, first, second, hits: int,
                                                           unkeyed: int) -> None:
    g = GraphStore()
    x = g.add_source("x")
    outputs = [g.add_op("f", [x]), x]
    cache = ResultCache(tmp_path, min_seconds=0)
    for given in (first, second):
        run = dict(dict(sources=SeededArrays((4,)), kernels={"f": np.negative}), **given)
        assert all(map(exactly, evaluate(g, outputs, **run, cache=cache), evaluate(g, outputs, **run)))
    assert (cache.stats()["hits"], cache.stats()["unkeyed"]) == (hits, unkeyed)


KERNEL_MODULE = """{moved}
CALLS = []

def factor():
    return {factor}

def plus(x, **params):
    CALLS.append("plus")
    return x + 1

def scale(x, **params):
    CALLS.append("scale")
    return x * factor()
"""


@pytest.mark.parametrize("executor", ["evaluate", "to_dask", "to_dask runs"])
def test_an_edited_kernel_recomputes_only_what_is_downstream_of_its_uses(tmp_path: Path, monkeypatch, executor: str):
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(sys, "dont_write_bytecode", True)  # a rewrite within the second must not load stale bytecode
    path, module = tmp_path / "trellan_edited_kernels.py", None

    def load(factor: str, moved: str = ""):
        nonlocal module
        path.write_text(KERNEL_MODULE.format(factor=factor, moved=moved))
        importlib.invalidate_caches()
        module = importlib.reload(module) if module else importlib.import_module(path.stem)
        return dict(sources={"x": np.arange(4.0)}, kernels={"plus": module.plus, "scale": module.scale})

    g = GraphStore()
    x = g.add_source("x")
    outputs = [g.add_op("plus", [x]), g.add_op("plus", [g.add_op("scale", [x])])]
    cache = ResultCache(tmp_path / "c", min_seconds=0)
    try:
        # the file as first written; moved down by two lines; then the helper scale calls edited
        for factor, moved, calls in [("2", "", ["plus", "scale", "plus"]), ("2", "\n\n", []),
                                     ("30", "", ["scale", "plus"])]:
            run = load(factor, moved)
            if executor == "evaluate":
                got = evaluate(g, outputs, **run, cache=cache)
            else:
                got = dask.get(*to_dask(g, outputs, **run, cache=cache, fuse_runs=executor == "to_dask runs"))
            assert sorted(module.CALLS) == sorted(calls)
            assert all(map(exactly, got, [np.arange(4.0) + 1, np.arange(4.0) * int(factor) + 1]))
            if executor != "evaluate" and factor != "2":  # a cluster never hands back the old kernel's values
                assert not set(to_dask(g, outputs, **run)[1]) & set(to_dask(g, outputs, **load("2"))[1])
    finally:
        sys.modules.pop(path.stem, None)


class Calls(list):
    # The kernels' log of calls. What it holds never changes what they compute, which its version says.
    __trellan_version__ = "a log"


def model_call(calls: list, kind: str, name: str, *inputs, descriptor=None, **params) -> bytes:
    # A node's value is its model digest over its input values: distinct computations have distinct values.
    calls.append(name)
    return model_digest(kind, name, params, descriptor, list(inputs))


class ModelKernels(Mapping):
    # A kernel for every name, counting its calls; the `edited` one computes something else.
    def __init__(self, calls: list, edited: str | None) -> None:
        self.calls, self.edited = calls, edited

    def __getitem__(self, name: str):
        return partial(model_call, self.calls, "op", name, **({"edited": 1} if name == self.edited else {}))

    def __iter__(self):
        return iter(())

    def __len__(self) -> int:
        return 0


def model_run(calls: list, edited: str | None = None) -> dict:
    return dict(sources=lambda name, params: model_call(calls, "source", name, **params),
                kernels=ModelKernels(calls, edited), exchange=partial(model_call, calls, "exchange", ""),
                join=partial(model_call, calls, "join", ""),
                external=lambda d, *ins, **params: model_call(calls, "external", "", *ins, descriptor=d, **params))


def needed_digests(store, outputs) -> set:
    data = store.execution_plan(outputs).digests
    return {data[i:i + 32] for i in range(0, len(data), 32)}


def downstream_calls(store, outputs, kernel: str) -> list:
    # The names the calls of a run log when exactly the nodes that use `kernel`, and those that read them, run.
    plan = store.execution_plan(outputs)
    names, kinds, offsets, inputs = plan.names, plan.kinds, plan.input_offsets, plan.inputs
    reached = []
    for s, name_at in enumerate(plan.name_index):
        reached.append(names[name_at] == kernel and kinds[s] in (1, 2)
                       or any(reached[j] for j in inputs[offsets[s]:offsets[s + 1]]))
    return sorted(names[plan.name_index[s]] for s in range(len(plan)) if reached[s])


@settings(max_examples=60, deadline=None)
@given(graphs(), st.data())
def test_a_run_after_an_edit_computes_exactly_what_the_edit_reaches(recipe, data) -> None:
    calls = Calls()
    run = model_run(calls)
    edited = recipe.nodes[data.draw(st.integers(0, len(recipe.nodes) - 1))]
    with tempfile.TemporaryDirectory() as root:
        cache = ResultCache(Path(root) / "c", min_seconds=0)
        store, _, outputs = record(recipe)
        expected = evaluate(store, outputs, **run)
        for _ in range(2):  # cold, then warm
            del calls[:]
            assert evaluate(store, outputs, **run, cache=cache) == expected
        assert calls == [] and cache.stats()["corrupt"] == cache.stats()["not_cached"] == 0
        before = needed_digests(store, outputs)
        edited.params = {**edited.params, "edit": data.draw(st.integers(0, 1))}  # an edited op
        store, _, outputs = record(recipe)
        expected = evaluate(store, outputs, **run)
        del calls[:]
        assert evaluate(store, outputs, **run, cache=cache) == expected
        assert len(calls) == len(needed_digests(store, outputs) - before)
        kernels = sorted({n["name"] for n in store.nodes() if n["kind"] in ("op", "reduction")})
        if kernels:  # an edited kernel
            run = model_run(calls, data.draw(st.sampled_from(kernels)))
            expected = evaluate(store, outputs, **run)
            del calls[:]
            assert evaluate(store, outputs, **run, cache=cache) == expected
            assert sorted(calls) == downstream_calls(store, outputs, run["kernels"].edited)


def small_cases() -> list:
    # Three graphs over two sources that share nodes, so that one entry serves several; with their uncached values.
    run, cases = dict(sources=SeededArrays((8,)), kernels=numpy_kernels()), []
    for ops in (["exp"], ["exp", "negative"], ["negative", "exp"]):
        g = GraphStore()
        node, outputs = g.add_op("add", [g.add_source("x"), g.add_source("y")]), []
        for op in ops:
            node = g.add_op(op, [node])
            outputs.append(node)
        cases.append((g, outputs, evaluate(g, outputs, **run)))
    return cases


class DamagedCache(RuleBasedStateMachine):
    """Runs against one small bounded cache, interleaved with damage, foreign files planted among the entries, and
    clears: every value is the uncached one, and no foreign file is touched."""

    cases = small_cases()

    def __init__(self) -> None:
        super().__init__()
        self.root = Path(tempfile.mkdtemp())
        self.cache = ResultCache(self.root / "c", max_bytes=1500, min_seconds=0)
        self.foreign: dict[Path, bytes] = {}

    def entries(self) -> list[Path]:
        return [p for p in entries(self.root / "c") if p not in self.foreign]

    @rule(case=st.integers(0, len(cases) - 1))
    def run(self, case: int) -> None:
        g, outputs, expected = self.cases[case]
        got = evaluate(g, outputs, sources=SeededArrays((8,)), kernels=numpy_kernels(), cache=self.cache)
        assert all(map(same_value, got, expected))

    @rule(damage=st.sampled_from([truncate, flip_byte, other_key, delete]), data=st.data())
    def damage(self, damage, data) -> None:
        found = self.entries()
        if found:
            damage(data.draw(st.sampled_from(found)), data.draw(st.sampled_from(found)))

    @rule(name=st.binary(min_size=32, max_size=32), body=st.binary(max_size=300), data=st.data())
    def plant(self, name: bytes, body: bytes, data) -> None:
        path = self.root / "c" / name[:1].hex() / name[1:].hex()
        found = self.entries()
        if path in found:
            return
        if found and data.draw(st.booleans()):  # a whole entry, under a name that is not its key
            body = data.draw(st.sampled_from(found)).read_bytes()
        path.parent.mkdir(mode=0o700, exist_ok=True)
        path.write_bytes(body)
        self.foreign[path] = body

    @rule()
    def clear(self) -> None:
        self.cache.clear()

    @invariant()
    def foreign_files_are_untouched(self) -> None:
        assert {p: p.read_bytes() for p in self.foreign} == self.foreign

    def teardown(self) -> None:
        self.cache.close()
        shutil.rmtree(self.root)


TestDamagedCache = DamagedCache.TestCase
TestDamagedCache.settings = settings(max_examples=30, stateful_step_count=20, deadline=None)
