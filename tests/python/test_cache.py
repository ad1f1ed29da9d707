"""The result cache on disk: what it keeps and how it reads it back, what damage it survives, the directories it
refuses, several processes sharing one directory, and evaluate recomputing only what changed."""

import json, os, pickle, subprocess, sys, tempfile
from collections.abc import Mapping
from functools import partial
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from strategies import graphs, model_digest, record
from trellan import ResultCache, evaluate
from trellan.kernels import SeededArrays, numpy_kernels
from trellan_core import GraphStore
from trellan.cache import CachedLoad, CachedValueMissing, SaveAfter

NO_COUNTS = dict(hits=0, misses=0, written=0, bytes_written=0, evicted=0, corrupt=0, not_cached=0)


def digest(k: int) -> bytes:
    return k.to_bytes(32, "little")


def entries(root: Path) -> list[Path]:
    return sorted(p for p in root.glob("*/*") if not p.name.startswith("."))


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
    with pytest.raises(ValueError, match="a value digest is 32 bytes, not 31"):
        cache.lookup(digest(1)[1:])


def truncate(path: Path, _other: Path) -> None:
    path.write_bytes(path.read_bytes()[:-1])


def flip_byte(path: Path, _other: Path) -> None:
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0x10
    path.write_bytes(data)


def other_key(path: Path, other: Path) -> None:
    path.write_bytes(other.read_bytes())


@pytest.mark.parametrize("damage", [truncate, flip_byte, other_key])
@pytest.mark.parametrize("ask", ["evaluate", "contains"])
def test_a_damaged_entry_is_a_miss_removed_and_counted(tmp_path: Path, damage, ask: str) -> None:
    g = GraphStore()
    outputs = [g.add_op("negative", [g.add_source(name)]) for name in "xy"]
    run = dict(sources=SeededArrays((100,)), kernels=numpy_kernels(), cache=ResultCache(tmp_path / "c"))
    expected = evaluate(g, outputs, **run)  # stores both outputs
    cache, before = run["cache"], run["cache"].stats()
    path, other = (Path(cache._entry_path(cache.entry_key(g.digest(o)))) for o in outputs)
    damage(path, other)
    if ask == "evaluate":  # the damaged output is computed again, and stored again
        assert all(map(same_value, evaluate(g, outputs, **run), expected)) and path.exists()
        assert cache.stats() == dict(before, hits=1, misses=before["misses"] + 2, corrupt=1, written=3,
                                     bytes_written=before["bytes_written"] * 3 // 2)
        return
    # contains() judges the header and the size only: a flipped payload byte is found when loaded
    caught = damage is not flip_byte
    assert cache.contains(g.digest(outputs[0])) != caught and path.exists() != caught
    assert cache.stats() == dict(before, corrupt=int(caught))


def test_eviction_keeps_the_directory_under_max_bytes_and_drops_the_least_recently_used(tmp_path: Path) -> None:
    cache = ResultCache(tmp_path / "c")
    cache.save(digest(9), np.zeros(100), force=True)
    entry = cache.clear()["bytes"]
    cache = ResultCache(tmp_path / "c", max_bytes=4 * entry)
    for k in range(4):
        cache.save(digest(k), np.full(100, k, np.float64), force=True)
    assert cache.info() == {"entries": 4, "bytes": 4 * entry} and cache.lookup(digest(0))[0]
    cache.save(digest(4), np.full(100, 4.0), force=True)
    # down to 90% of the bound: the two least recently used go, and 0, read since, stays
    assert cache.info() == {"entries": 3, "bytes": 3 * entry} and cache.stats()["evicted"] == 2
    assert [cache.contains(digest(k)) for k in range(5)] == [True, False, False, True, True]
    assert not cache.save(digest(5), np.zeros(1000), force=True) and cache.stats()["not_cached"] == 1


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


def test_a_new_directory_is_private_whatever_the_umask(tmp_path: Path) -> None:
    old = os.umask(0o277)
    try:
        ResultCache(tmp_path / "a" / "b").save(digest(1), 1, force=True)
    finally:
        os.umask(old)
    assert (tmp_path / "a" / "b").stat().st_mode & 0o777 == 0o700 and len(entries(tmp_path / "a" / "b")) == 1


def test_tasks_load_and_save_where_they_run(tmp_path: Path) -> None:
    cache = ResultCache(tmp_path / "c", min_seconds=10)
    assert pickle.loads(pickle.dumps(cache)) is cache  # copies in one process share one object and its counts
    save_small, save_output = (pickle.loads(pickle.dumps(SaveAfter(np.negative, cache, digest(k), force)))
                               for k, force in [(1, False), (2, True)])
    assert save_small(np.ones(3))[0] == -1 and save_output(np.ones(3))[0] == -1 and cache.stats()["written"] == 1
    load = pickle.loads(pickle.dumps(CachedLoad(cache, digest(2), "node 7 (op 'neg')")))
    assert same_value(load(), -np.ones(3))
    cache.clear()
    with pytest.raises(CachedValueMissing, match=r"value of node 7 \(op 'neg'\) is gone .* run again to recompute it"):
        load()


WORKER = """
import json, pickle, random, sys
import numpy as np, trellan_core as tc
from trellan import evaluate
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
print(json.dumps(cache.stats()))
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


def model_call(calls: list, kind: str, name: str, *inputs, descriptor=None, **params) -> bytes:
    # A node's value is its model digest over its input values, so the rules' equalities hold for values too.
    calls.append(name)
    return model_digest(kind, name, params, descriptor, list(inputs))


class ModelKernels(Mapping):
    # A kernel for every name, counting its calls.
    def __init__(self, calls: list) -> None:
        self.calls = calls

    def __getitem__(self, name: str):
        return partial(model_call, self.calls, "op", name)

    def __iter__(self):
        return iter(())

    def __len__(self) -> int:
        return 0


def model_run(calls: list) -> dict:
    return dict(sources=lambda name, params: model_call(calls, "source", name, **params), kernels=ModelKernels(calls),
                exchange=partial(model_call, calls, "exchange", ""), join=partial(model_call, calls, "join", ""),
                external=lambda d, *ins, **params: model_call(calls, "external", "", *ins, descriptor=d, **params))


def needed_digests(store, outputs) -> set:
    data = store.execution_plan(outputs).digests
    return {data[i:i + 32] for i in range(0, len(data), 32)}


@settings(max_examples=60, deadline=None)
@given(graphs(), st.data())
def test_a_run_after_an_edit_computes_exactly_the_nodes_whose_digests_are_new(recipe, data) -> None:
    calls: list = []
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
        edited.params = {**edited.params, "edit": data.draw(st.integers(0, 1))}
        store, _, outputs = record(recipe)
        expected = evaluate(store, outputs, **run)
        del calls[:]
        assert evaluate(store, outputs, **run, cache=cache) == expected
        assert len(calls) == len(needed_digests(store, outputs) - before)
