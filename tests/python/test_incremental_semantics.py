"""What the incremental reducer computes: the canonical form it keeps while a
store grows (identity elimination, commutativity dedup, hash-consing), how
deltas are consumed, and how finalize relates to a whole-store reduction."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from strategies import (
    COMMUTATIVE,
    IDENTITY_PARAMS,
    blob,
    classes,
    graphs,
    lookalike_records,
    reachable,
    record_node,
)
from trellan_core import GraphStore, IncrementalReducer, PayloadDescriptor

DESCRIPTOR = dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s")
AGREEING = ["canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"]


def counters(r):
    return r.watermark(), r.total_work(), r.canonical_count()


def stepped(g):
    r = IncrementalReducer()
    r.step(g)
    return r


def result(pair):
    """A reduction result in comparable form."""
    store, report = pair
    return store.serialize(), store.outputs(), store.node_map(), report


# ---------------------------------------------------------------------------
# Deltas


def test_deltas_of_three_zero_and_five():
    g, r = GraphStore(), IncrementalReducer()
    assert r.step(g) == 0 and counters(r) == (0, 0, 0)
    x = g.add_source("x")
    g.add_op("f", [g.add_op("g", [x])])
    assert r.step(g) == 3
    assert r.step(g) == 0
    for name in "abcde":
        g.add_op(name, [x])
    assert r.step(g) == 5
    assert counters(r) == (8, 8, 8) and g.node_count() == 8


def test_interning_is_invisible_to_the_watermark():
    # A node recorded again is no new node, so there is nothing to consume.
    g, r = GraphStore(), IncrementalReducer()
    x = g.add_source("x")
    g.add_op("f", [x])
    r.step(g)
    g.add_op("f", [x])
    assert r.step(g) == 0 and counters(r) == (2, 2, 2)


def build_mixed(g):
    a, b = g.add_source("a"), g.add_source("b")
    p = g.add_op("add", [a, b])
    q = g.add_op("add", [b, a])
    i = g.add_op("mul", [p], IDENTITY_PARAMS["mul", "r"])
    f1 = g.add_op("f", [i])
    f2 = g.add_op("f", [q])
    j = g.add_join([f1, f2])
    return [j, f2]


def replay(nodes):
    """Records the viewed nodes again into a new store, stepping a new
    reducer after every node."""
    g, r = GraphStore(), IncrementalReducer()
    for node in nodes:
        kind, params = node["kind"], node["params"]
        if kind == "source":
            g.add_source(node["name"], params)
        elif kind == "op":
            g.add_op(node["name"], node["inputs"], params)
        else:
            g.add_join(node["inputs"], params)
        assert r.step(g) == 1
    return g, r


def test_batch_and_node_by_node_stepping_agree():
    whole = GraphStore()
    outputs = build_mixed(whole)
    batch = stepped(whole)
    g, one_by_one = replay(whole.nodes())
    assert counters(one_by_one) == counters(batch) == (8, 8, 5)
    for maximal in (False, True):
        assert result(one_by_one.finalize(g, maximal_fusion=maximal, outputs=outputs)) == result(
            batch.finalize(whole, maximal_fusion=maximal, outputs=outputs)
        )


# ---------------------------------------------------------------------------
# The canonical form


@pytest.mark.parametrize("name", COMMUTATIVE)
def test_commutative_mirror_is_deduplicated(name):
    g = GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    p = g.add_op(name, [a, b])
    q = g.add_op(name, [b, a])
    r = stepped(g)
    assert counters(r) == (4, 4, 3)
    reduced, report = r.finalize(g, outputs=[q])
    assert reduced.node_map()[p] == reduced.node_map()[q] == (2, 0)
    assert reduced.nodes()[2]["inputs"] == [0, 1]
    assert report["input_nodes"] == 3


@pytest.mark.parametrize(
    "name, params",
    [("sub", None), ("add|x", None), ("add", {"k": 1}), ("mul", {"scalar": 1.0, "side": "r"})],
)
def test_no_dedup_for_other_names_or_with_params(name, params):
    g = GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    g.add_op(name, [a, b], params)
    g.add_op(name, [b, a], params)
    assert stepped(g).canonical_count() == 4


def test_first_orientation_is_kept():
    g = GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    q = g.add_op("add", [b, a])
    p = g.add_op("add", [a, b])
    r = stepped(g)
    reduced, _ = r.finalize(g, outputs=[p])
    assert reduced.nodes()[2]["inputs"] == [1, 0]
    assert reduced.node_map()[q] == reduced.node_map()[p]


@pytest.mark.parametrize("key", list(IDENTITY_PARAMS))
def test_identity_op_is_not_a_canonical_node(key):
    g = GraphStore()
    x = g.add_source("x")
    y = g.add_op(key[0], [x], IDENTITY_PARAMS[key])
    r = stepped(g)
    assert counters(r) == (2, 2, 1)
    # an output naming the identity reduces against its input
    reduced, report = r.finalize(g, outputs=[y])
    assert reduced.nodes() == [
        {"id": 0, "output": True, "inputs": [], "kind": "source", "name": "x", "params": {}}
    ]
    assert reduced.node_map() == [(0, None), (0, None)]
    assert report["input_nodes"] == 1


def test_identity_chain_and_congruent_consumers_collapse():
    g = GraphStore()
    x = g.add_source("x")
    y = g.add_op("add", [x], IDENTITY_PARAMS["add", "r"])
    z = g.add_op("mul", [y], IDENTITY_PARAMS["mul", "l"])
    fx, fz = g.add_op("f", [x]), g.add_op("f", [z])
    rx, rz = g.add_reduction("sum", [x]), g.add_reduction("sum", [z])
    r = stepped(g)
    assert r.canonical_count() == 3
    reduced, _ = r.finalize(g, outputs=[fz, rz])
    node_map = reduced.node_map()
    assert node_map[fx] == node_map[fz] and node_map[rx] == node_map[rz]
    assert node_map[x] == node_map[y] == node_map[z]


@pytest.mark.parametrize(
    "name, params, n_inputs",
    [
        ("add", {"scalar": 0, "side": "r"}, 1),
        ("add", {"scalar": -0.0, "side": "l"}, 1),
        ("add", {"scalar": 0.0, "side": "r", "extra": 1}, 1),
        ("mul", {"scalar": 2.0, "side": "l"}, 1),
        ("add|", {"scalar": 0.0, "side": "r"}, 1),
        # identity operators over other than exactly one input are ordinary ops
        ("add", {"scalar": 0.0, "side": "r"}, 0),
        ("mul", {"scalar": 1.0, "side": "l"}, 2),
        ("add", {"scalar": 0.0, "side": "l"}, 3),
    ],
)
def test_identity_near_misses_are_canonical_nodes(name, params, n_inputs):
    g = GraphStore()
    inputs = [g.add_source(f"p{i}") for i in range(n_inputs)]
    op = g.add_op(name, inputs, params)
    r = stepped(g)
    assert counters(r) == (n_inputs + 1,) * 3
    # finalize and a whole-store reduction give the same store
    assert result(r.finalize(g, outputs=[op]))[:3] == result(g.reduce(outputs=[op]))[:3]
    reduced, _ = r.finalize(g, outputs=[op])
    assert reduced.node_map()[op] == (n_inputs, 0)
    assert reduced.nodes()[n_inputs]["inputs"] == list(range(n_inputs))


def test_externals_with_equal_looking_descriptors_stay_apart():
    base = dict(framework="t", version="1", io_schema="s")
    g = GraphStore()
    x = g.add_source("x")
    e1 = g.add_external(dict(base, kind="a|b", content_hash="c"), [x])
    e2 = g.add_external(dict(base, kind="a", content_hash="b|c"), [x])
    e3 = g.add_external(dict(base, kind="a", content_hash="b|c", preprocessing_ref="-"), [x])
    r = stepped(g)
    assert r.canonical_count() == 4
    reduced, _ = r.finalize(g, outputs=[e1, e2, e3])
    assert [n["descriptor"]["kind"] for n in reduced.nodes()[1:]] == ["a|b", "a", "a"]
    assert [n["descriptor"]["preprocessing_ref"] for n in reduced.nodes()[1:]] == [None, None, "-"]


def test_a_reduced_store_with_stages_is_a_fixed_point():
    g = GraphStore()
    s = g.add_source("s")
    a = g.add_op("f1", [g.add_op("f0", [s])])
    b = g.add_op("g1", [g.add_op("g0", [s])])
    once, _ = g.reduce(outputs=[a, b])
    r = stepped(once)
    assert r.canonical_count() == 3
    again, report = r.finalize(once)
    assert again.serialize() == once.serialize()
    assert report == {
        "input_nodes": 3,
        "reachable_nodes": 3,
        "canonical_nodes": 3,
        "stages": 0,
        "reduced_nodes": 3,
        "boundary_nodes": 3,
    }


# ---------------------------------------------------------------------------
# finalize


def test_finalize_twice_and_after_more_steps():
    g = GraphStore()
    outputs = build_mixed(g)
    r = stepped(g)
    first = result(r.finalize(g, outputs=outputs))
    assert result(r.finalize(g, outputs=outputs)) == first
    assert counters(r) == (8, 8, 5)
    tail = g.add_exchange([outputs[0]])
    assert r.step(g) == 1
    store, report = r.finalize(g, outputs=outputs + [tail])
    assert report["input_nodes"] == 6 and len(store.node_map()) == 9
    assert store.node_map()[tail] == (store.node_count() - 1, None)


def test_failed_finalize_leaves_the_delta_unconsumed():
    g = GraphStore()
    x = g.add_source("x")
    r = stepped(g)
    g.add_op("f", [x])
    g.add_op("g", [x])
    with pytest.raises(ValueError, match=r"^no node with id 3$"):
        r.finalize(g, outputs=[2, 3])
    assert counters(r) == (1, 1, 1)
    _, report = r.finalize(g, outputs=[2])
    assert counters(r) == (3, 3, 3) and report["reachable_nodes"] == 2


def test_finalize_uses_stored_marks():
    g = GraphStore()
    outputs = build_mixed(g)
    marked = GraphStore.deserialize(g.serialize(outputs))
    r = IncrementalReducer()
    assert result(r.finalize(marked)) == result(stepped(g).finalize(g, outputs=outputs))


@pytest.mark.parametrize(
    "value, type_name",
    [
        (PayloadDescriptor(**DESCRIPTOR), "PayloadDescriptor"),
        (0, "int"),
        ([], "list"),
        (GraphStore, "type"),
        (IncrementalReducer(), "IncrementalReducer"),
    ],
)
@pytest.mark.parametrize("method", ["step", "finalize"])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_store_argument_must_be_a_graph_store(value, type_name, method, by_keyword):
    r = stepped(GraphStore())
    call = getattr(r, method)
    with pytest.raises(TypeError) as info:
        call(store=value) if by_keyword else call(value)
    assert str(info.value) == f"argument 'store': '{type_name}' object is not an instance of 'GraphStore'"


# ---------------------------------------------------------------------------
# Random graphs, recorded and stepped in random deltas


@settings(max_examples=150, deadline=None)
@given(graphs(), st.data(), st.booleans())
def test_stepping_and_finalize_agree_with_reduce(recipe, data, maximal):
    g, r = GraphStore(), IncrementalReducer()
    ids = []
    n = len(recipe.nodes)
    cuts = sorted(data.draw(st.lists(st.integers(0, n), max_size=5), label="cuts")) + [n]
    start = 0
    for end in cuts:
        before = r.watermark()
        for node in recipe.nodes[start:end]:
            ids.append(record_node(g, node, ids))
        start = max(start, end)
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
    assert r.step(g) == 0

    nodes = g.nodes()
    _, expected_count = classes(nodes)
    assert r.canonical_count() == expected_count

    # one step over everything gives the same canonical form
    batch = stepped(g)
    assert counters(batch) == counters(r)

    outputs = [ids[i] for i in recipe.outputs]
    incremental = r.finalize(g, maximal_fusion=maximal, outputs=outputs)
    assert result(batch.finalize(g, maximal_fusion=maximal, outputs=outputs)) == result(incremental)
    inc_store, inc_report = incremental
    whole_store, whole_report = g.reduce(maximal_fusion=maximal, outputs=outputs)
    assert inc_report["input_nodes"] == r.canonical_count()
    assert len(inc_store.node_map()) == g.node_count()
    assert {k: inc_report[k] for k in AGREEING} == {k: whole_report[k] for k in AGREEING}
    assert inc_store.outputs() == list(dict.fromkeys(inc_store.node_map()[o][0] for o in outputs))

    if len(reachable(nodes, outputs)) == len(nodes):
        assert inc_store.serialize() == whole_store.serialize()
        assert inc_store.node_map() == whole_store.node_map()
        assert inc_report["reachable_nodes"] == r.canonical_count()

    if not maximal:
        assert result(g.reduce_incremental(outputs=outputs)) == result((whole_store, whole_report))


@settings(max_examples=100, deadline=None)
@given(lookalike_records(), st.booleans())
def test_different_operators_stay_apart_in_the_canonical_form(records, maximal):
    g = GraphStore.deserialize(blob([rec.write(canonical=False) for rec in records]))
    r = stepped(g)
    n = g.node_count()
    assert counters(r) == (n, n, n)
    everything = list(range(n))
    assert result(r.finalize(g, maximal_fusion=maximal, outputs=everything)) == result(
        g.reduce(maximal_fusion=maximal, outputs=everything)
    )
