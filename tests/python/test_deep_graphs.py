"""A 1,000,000-node chain and a join of 1,000,000 inputs through every
operation: both fusion rules, the incremental reducer, DOT, serialize and
deserialize, and the node views. Any walk that recursed per node would
overflow the stack here.

TRELLAN_DEEP_NODES overrides the size (the sanitizer run uses a smaller one).
Select or skip these with -m slow / -m 'not slow'."""

import os

import pytest

from strategies import REPORT_KEYS, result
from trellan_core import GraphStore, IncrementalReducer

N = int(os.environ.get("TRELLAN_DEEP_NODES", "1000000"))

pytestmark = pytest.mark.slow


def views_and_dot(store: GraphStore) -> None:
    nodes = store.nodes()
    assert len(nodes) == store.node_count() == len(store.to_dot().splitlines()) - 2 - sum(len(n["inputs"]) for n in nodes)


def through_everything(store: GraphStore, reducer: IncrementalReducer, out: int, report: dict) -> GraphStore:
    # Runs every entry point over the store; returns its reduction, which must have the given report.
    views_and_dot(store)
    blob = store.serialize()
    assert GraphStore.deserialize(blob).serialize() == blob
    whole = store.reduce(outputs=[out])
    assert whole[1] == report and store.reduction_report(outputs=[out]) == report
    assert result(store.reduce(outputs=[out], maximal_fusion=True)) == result(whole)
    assert result(store.reduce_incremental(outputs=[out])) == result(whole)
    reducer.step(store)
    assert reducer.watermark() == reducer.total_work() == store.node_count()
    assert result(reducer.finalize(store, outputs=[out])) == result(whole)
    views_and_dot(reduced := whole[0])
    again, again_report = reduced.reduce()
    assert again.serialize() == reduced.serialize() and again_report["stages"] == 0
    return reduced


def counts(n, stages, reduced, boundary, canonical=None):
    return dict(zip(REPORT_KEYS, (n, n, canonical or n, stages, reduced, boundary)))


def test_chain():
    # src, then N-1 ops each reading the one before, fed to the reducer a quarter at a time while recording: one stage
    # of N-1 members.
    store, reducer = GraphStore(), IncrementalReducer()
    last = store.add_source("src")
    for i in range(1, N):
        last = store.add_op("g" if i % 2 else "f", [last])
        if i % (N // 4) == 0:
            reducer.step(store)
    reduced = through_everything(store, reducer, last, counts(N, 1, 2, 1))
    assert reduced.nodes()[1]["n_members"] == N - 1


def test_wide_join():
    # N inputs into one join, half of them sources and half ops over one shared source: every op is a stage of its
    # own, since a join never fuses.
    store = GraphStore()
    src = store.add_source("src")
    join = store.add_join([store.add_op("f", [src], {"i": i}) if i % 2 else store.add_source(f"s{i}")
                           for i in range(N)])
    reduced = through_everything(store, IncrementalReducer(), join, counts(N + 2, N // 2, N + 2, N + 2 - N // 2))
    assert len(reduced.nodes()[-1]["inputs"]) == N


def test_identity_chain_folds_into_its_source():
    # 50,000 identity muls stacked on one source: the engine drops more than half of an operator's nodes at once and
    # must compact its lists.
    store = GraphStore()
    node = store.add_source("s")
    for _ in range(50_000):
        node = store.add_op("mul", [node], {"scalar": 1.0, "side": "l"})
    reduced, report = store.reduce(maximal_fusion=True, outputs=[node])
    assert report == counts(50_001, 0, 1, 1, canonical=1) and set(reduced.node_map()) == {(0, None)}
