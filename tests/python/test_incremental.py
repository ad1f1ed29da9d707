"""The incremental reducer: the canonical form it keeps while a store grows, how deltas are consumed, and that
finalize gives what a whole-store reduction gives."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from strategies import REPORT_KEYS, check_digests_across_reduction, classes, graphs, reachable, record_node, result
from trellan_core import GraphStore, IncrementalReducer

AGREEING = ["canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"]


def counters(r):
    return r.watermark(), r.total_work(), r.canonical_count()


def chain(g, length):
    node = g.add_source("src")
    for i in range(length):
        node = g.add_op(f"op{i}", [node])
    return node


@settings(max_examples=150, deadline=None)
@given(graphs(), st.data(), st.booleans())
def test_stepping_and_finalize_agree_with_reduce(recipe, data, maximal):
    g, r, ids = GraphStore(), IncrementalReducer(), []
    n = len(recipe.nodes)
    cuts = sorted(data.draw(st.lists(st.integers(0, n), max_size=5), label="cuts")) + [n]
    start, digests = 0, b""
    for end in cuts:
        before = r.watermark()
        for node in recipe.nodes[start:end]:
            ids.append(record_node(g, node, ids))
        start = max(start, end)
        digests, earlier = g.digests(), digests  # digests grow with the store, earlier ones unchanged
        assert digests.startswith(earlier) and len(digests) == 32 * g.node_count()
        assert r.step(g) == g.node_count() - before
        assert r.total_work() == r.watermark() == g.node_count()
        if ids and data.draw(st.booleans(), label="finalize now"):
            # finalize between steps changes nothing and agrees on the counts
            now = data.draw(st.lists(st.sampled_from(ids), max_size=3), label="outputs now")
            state = counters(r)
            _, early = r.finalize(g, maximal_fusion=maximal, outputs=now)
            _, whole = g.reduce(maximal_fusion=maximal, outputs=now)
            assert counters(r) == state
            assert {k: early[k] for k in AGREEING} == {k: whole[k] for k in AGREEING}
    nodes = g.nodes()
    assert r.step(g) == 0 and r.canonical_count() == classes(nodes)[1]

    # one step over everything gives the same canonical form and result
    batch = IncrementalReducer()
    batch.step(g)
    assert counters(batch) == counters(r)
    outputs = [ids[i] for i in recipe.outputs]
    incremental = r.finalize(g, maximal_fusion=maximal, outputs=outputs)
    check_digests_across_reduction(g, incremental[0])
    assert GraphStore.deserialize(g.serialize()).digests() == digests
    assert result(batch.finalize(g, maximal_fusion=maximal, outputs=outputs)) == result(incremental)
    (inc_store, inc_report), (whole_store, whole_report) = incremental, g.reduce(maximal_fusion=maximal, outputs=outputs)
    assert inc_report["input_nodes"] == r.canonical_count() and len(inc_store.node_map()) == g.node_count()
    assert {k: inc_report[k] for k in AGREEING} == {k: whole_report[k] for k in AGREEING}
    assert inc_store.outputs() == list(dict.fromkeys(inc_store.node_map()[o][0] for o in outputs))
    if len(reachable(nodes, outputs)) == len(nodes):
        assert result(incremental)[:3] == result((whole_store, whole_report))[:3]
    if not maximal:
        assert result(g.reduce_incremental(outputs=outputs)) == result((whole_store, whole_report))


def test_steps_consume_only_new_nodes():
    g, r = GraphStore(), IncrementalReducer()
    assert r.step(g) == 0 and counters(r) == (0, 0, 0)
    x = g.add_source("x")
    g.add_op("f", [g.add_op("g", [x])])
    assert r.step(g) == 3 and r.step(store=g) == 0
    g.add_op("g", [x])  # recorded again: no new node, nothing to consume
    assert r.step(g) == 0 and [g.add_op(name, [x]) for name in "abcde"] == [3, 4, 5, 6, 7] and r.step(g) == 5
    assert counters(r) == (8, 8, 8) == (g.node_count(),) * 3


def replaced_store(held):
    # A new store made right after the first is freed, so it may reuse its memory.
    del held[:]
    return GraphStore()


@pytest.mark.parametrize("first", ["step", "finalize"])
@pytest.mark.parametrize("other, call", [
    (lambda held: GraphStore(), lambda r, s: r.step(s)),
    (lambda held: GraphStore.deserialize(held[0].serialize()), lambda r, s: r.finalize(s, outputs=[0])),
    (replaced_store, lambda r, s: r.step(s)),
], ids=["step", "equal-copy", "freed"])
def test_a_reducer_refuses_stores_but_its_first(first, other, call):
    g, r = GraphStore(), IncrementalReducer()
    chain(g, 2)
    getattr(r, first)(g)
    before = counters(r)
    held = [g]
    del g
    s = other(held)
    chain(s, 5)
    with pytest.raises(ValueError, match=r"^IncrementalReducer is bound to another GraphStore$"):
        call(r, s)
    assert counters(r) == before
    if held:  # and the first one still works
        assert r.step(held[0]) == 0 and result(r.finalize(held[0], outputs=[2])) == result(held[0].reduce(outputs=[2]))


def test_failed_finalize_consumes_nothing():
    g, r = GraphStore(), IncrementalReducer()
    chain(g, 2)
    with pytest.raises(ValueError, match=r"^no node with id 3$"):
        r.finalize(g, outputs=[0, 3])
    assert counters(r) == (0, 0, 0) and r.finalize(g, outputs=[2])[1]["reachable_nodes"] == 3 and counters(r) == (3,) * 3


def test_finalize_consumes_the_rest_and_can_repeat():
    g, r = GraphStore(), IncrementalReducer()
    last = chain(g, 3)
    first = r.finalize(g, outputs=[last])
    assert r.watermark() == 4 and list(first[1]) == REPORT_KEYS
    assert result(r.finalize(g, outputs=[last])) == result(first) == result(g.reduce(outputs=[last]))
    tail = g.add_exchange([last])
    assert r.step(g) == 1
    again, report = r.finalize(g, maximal_fusion=True, outputs=[tail])
    assert report["input_nodes"] == 5 and again.node_count() == first[0].node_count() + 1
