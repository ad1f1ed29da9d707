"""A 1,000,000-node chain and a join of 1,000,000 inputs through every
operation: both fusion rules, the incremental reducer, DOT, serialize and
deserialize, and the node views. Any walk that recursed per node would
overflow the stack here; each result is also checked against what the
graph's shape dictates.

TRELLAN_DEEP_NODES overrides the size (the sanitizer run uses a smaller one).
Select or skip these with -m slow / -m 'not slow'."""

from __future__ import annotations

import os

import pytest

from trellan_core import GraphStore, IncrementalReducer

N = int(os.environ.get("TRELLAN_DEEP_NODES", "1000000"))

pytestmark = pytest.mark.slow


def same_reduction(a: tuple[GraphStore, dict], b: tuple[GraphStore, dict]) -> bool:
    return (a[0].serialize(), a[1], a[0].node_map()) == (b[0].serialize(), b[1], b[0].node_map())


def incremental(store: GraphStore, reducer: IncrementalReducer, outputs: list[int]):
    reducer.step(store)
    assert reducer.watermark() == reducer.total_work() == store.node_count()
    return reducer.finalize(store, outputs=outputs)


def round_trips(store: GraphStore) -> None:
    blob = store.serialize()
    again = GraphStore.deserialize(blob)
    assert again.node_count() == store.node_count()
    assert again.serialize() == blob


def test_chain():
    """src, then N-1 ops each reading the one before: one stage of N-1
    members, whichever fusion rule, however it is reduced."""
    store = GraphStore()
    reducer = IncrementalReducer()
    last = store.add_source("src")
    for i in range(1, N):
        last = store.add_op("g" if i % 2 else "f", [last])
        if i % (N // 4) == 0:
            reducer.step(store)  # fed while recording, a quarter at a time
    assert last == N - 1

    views = store.nodes()
    assert len(views) == N
    assert all(v["id"] == i and v["inputs"] == ([i - 1] if i else []) for i, v in enumerate(views))
    del views
    dot = store.to_dot().splitlines()
    assert len(dot) == 2 + N + (N - 1)
    assert dot[N] == f'  n{N - 1} [label="Op {"g" if (N - 1) % 2 else "f"}"];'
    assert dot[-2] == f"  n{N - 2} -> n{N - 1};"
    del dot
    round_trips(store)

    reduced, report = result = store.reduce(outputs=[last])
    assert report == {"input_nodes": N, "reachable_nodes": N, "canonical_nodes": N, "stages": 1,
                      "reduced_nodes": 2, "boundary_nodes": 1}
    node_map = reduced.node_map()
    assert node_map[0] == (0, None)
    assert all(node_map[i] == (1, i - 1) for i in range(1, N))
    del node_map
    src, stage = reduced.nodes()
    assert src["name"] == "src" and stage["output"] and stage["n_members"] == N - 1
    members = stage["members"]
    assert members[0]["inputs"] == [("input", 0)]
    assert all(m["inputs"] == [("member", i - 1)] for i, m in enumerate(members) if i)
    assert all(m["name"] == ("g" if i % 2 == 0 else "f") for i, m in enumerate(members))
    del members, stage
    assert reduced.to_dot().splitlines()[2] == f'  n1 [label="Stage[{N - 1} members]", shape=doublecircle];'
    round_trips(reduced)

    assert same_reduction(store.reduce(outputs=[last], maximal_fusion=True), result)
    assert same_reduction(store.reduce_incremental(outputs=[last]), result)
    assert store.reduction_report(outputs=[last]) == report
    assert same_reduction(incremental(store, reducer, [last]), result)
    # The reduced store reduces again: its stage is opaque and stays.
    again, again_report = reduced.reduce()
    assert again_report["stages"] == 0 and again_report["reduced_nodes"] == 2


def test_wide_join():
    """N inputs into one join, half of them sources and half ops over one
    shared source: every op is a stage of its own, since a join never fuses."""
    store = GraphStore()
    src = store.add_source("src")
    inputs = [store.add_op("f", [src], {"i": i}) if i % 2 else store.add_source(f"s{i}")
              for i in range(N)]
    join = store.add_join(inputs)
    assert join == N + 1

    views = store.nodes()
    assert views[join]["kind"] == "join" and views[join]["inputs"] == inputs
    del views
    dot = store.to_dot().splitlines()
    ops = N // 2
    assert len(dot) == 2 + (N + 2) + (ops + N)
    del dot
    round_trips(store)

    reduced, report = result = store.reduce(outputs=[join])
    assert report == {"input_nodes": N + 2, "reachable_nodes": N + 2, "canonical_nodes": N + 2,
                      "stages": ops, "reduced_nodes": N + 2, "boundary_nodes": N + 2 - ops}
    node_map = reduced.node_map()
    assert None not in node_map
    assert all(node_map[i][1] == 0 for i in inputs[1::2])
    del node_map
    last = reduced.nodes()[-1]
    assert last["kind"] == "join" and last["output"] and len(last["inputs"]) == N
    assert len(reduced.to_dot().splitlines()) == 2 + (N + 2) + (ops + N)
    round_trips(reduced)

    assert same_reduction(store.reduce(outputs=[join], maximal_fusion=True), result)
    assert same_reduction(store.reduce_incremental(outputs=[join]), result)
    assert same_reduction(incremental(store, IncrementalReducer(), [join]), result)
    again, again_report = reduced.reduce()
    assert again_report["input_nodes"] == N + 2 and again.nodes()[-1]["kind"] == "join"
