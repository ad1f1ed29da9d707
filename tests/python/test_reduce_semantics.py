"""What a reduction computes: dead-code elimination, canonicalization
(commutativity, identity elimination, congruence), common-subexpression
elimination and stage fusion under both rules, as seen through the reduced
store, its node map and the report."""

from __future__ import annotations

import math
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from strategies import (
    REPORT_KEYS,
    COMMUTATIVE,
    IDENTITY_PARAMS,
    INPUT,
    MEMBER,
    blob,
    classes,
    exact,
    float_bits,
    folds_away,
    graphs,
    lookalike_records,
    op_token,
    reachable,
    record,
    same_params,
    source_rec,
    stage_rec,
    text,
)
from trellan_core import GraphStore, IncrementalReducer


BOTH_RULES = pytest.mark.parametrize("maximal", [False, True], ids=["single-use", "maximal"])


def report_of(*counts):
    return dict(zip(REPORT_KEYS, counts))


def source(node_id, name, output=False, params=None):
    return {
        "id": node_id,
        "output": output,
        "inputs": [],
        "kind": "source",
        "name": name,
        "params": params or {},
    }


def member(name, refs, params=None, kind="op"):
    params = dict(sorted((params or {}).items(), key=lambda kv: kv[0].encode()))
    return {"kind": kind, "name": name, "params": params, "inputs": refs}


def stage(node_id, inputs, members, output=False):
    return {
        "id": node_id,
        "output": output,
        "inputs": inputs,
        "kind": "stage",
        "name": "",
        "params": {},
        "n_members": len(members),
        "members": members,
    }


def I(slot):  # noqa: E743 - reads like the reference it builds
    return ("input", slot)


def M(index):
    return ("member", index)


# ---------------------------------------------------------------------------
# Stage fusion shapes


@BOTH_RULES
def test_chain_becomes_one_stage(maximal):
    g = GraphStore()
    s = g.add_source("s")
    a = g.add_op("a", [s])
    b = g.add_op("b", [a])
    reduced, report = g.reduce(maximal_fusion=maximal, outputs=[b])
    assert reduced.nodes() == [
        source(0, "s"),
        stage(1, [0], [member("a", [I(0)]), member("b", [M(0)])], output=True),
    ]
    assert reduced.outputs() == [1]
    assert reduced.node_map() == [(0, None), (1, 0), (1, 1)]
    assert report == report_of(3, 3, 3, 1, 2, 1)
    assert list(report) == REPORT_KEYS


@BOTH_RULES
def test_lone_output_op_is_a_stage_of_one(maximal):
    g = GraphStore()
    x = g.add_op("x", [])
    reduced, report = g.reduce(maximal_fusion=maximal, outputs=[x])
    assert reduced.nodes() == [stage(0, [], [member("x", [])], output=True)]
    assert report == report_of(1, 1, 1, 1, 1, 0)


FAN_OUT = {
    # a has two consumers, so it stays alone; b and c have one each.
    False: (
        [
            source(0, "s"),
            stage(1, [0], [member("a", [I(0)])]),
            stage(
                2,
                [1],
                [member("b", [I(0)]), member("c", [I(0)]), member("d", [M(0), M(1)])],
                output=True,
            ),
        ],
        [(0, None), (1, 0), (2, 0), (2, 1), (2, 2)],
        report_of(5, 5, 5, 2, 3, 1),
    ),
    # all of a's consumers land in d's stage, so a joins it.
    True: (
        [
            source(0, "s"),
            stage(
                1,
                [0],
                [
                    member("a", [I(0)]),
                    member("b", [M(0)]),
                    member("c", [M(0)]),
                    member("d", [M(1), M(2)]),
                ],
                output=True,
            ),
        ],
        [(0, None), (1, 0), (1, 1), (1, 2), (1, 3)],
        report_of(5, 5, 5, 1, 2, 1),
    ),
}


@BOTH_RULES
def test_fan_out(maximal):
    g = GraphStore()
    s = g.add_source("s")
    a = g.add_op("a", [s])
    d = g.add_op("d", [g.add_op("b", [a]), g.add_op("c", [a])])
    reduced, report = g.reduce(maximal_fusion=maximal, outputs=[d])
    assert (reduced.nodes(), reduced.node_map(), report) == FAN_OUT[maximal]


MUL_X_X = {
    False: (
        [
            source(0, "s"),
            stage(1, [0], [member("f", [I(0)])]),
            stage(2, [1], [member("mul", [I(0), I(0)])], output=True),
        ],
        [(0, None), (1, 0), (2, 0)],
    ),
    True: (
        [source(0, "s"), stage(1, [0], [member("f", [I(0)]), member("mul", [M(0), M(0)])], output=True)],
        [(0, None), (1, 0), (1, 1)],
    ),
}


@BOTH_RULES
def test_op_read_twice_by_one_op(maximal):
    g = GraphStore()
    x = g.add_op("f", [g.add_source("s")])
    m = g.add_op("mul", [x, x])
    reduced, _ = g.reduce(maximal_fusion=maximal, outputs=[m])
    assert (reduced.nodes(), reduced.node_map()) == MUL_X_X[maximal]


@BOTH_RULES
def test_ops_never_fuse_across_a_reduction(maximal):
    g = GraphStore()
    a = g.add_op("a", [g.add_source("s")])
    r = g.add_reduction("sum", [a], {"axis": 0})
    b = g.add_op("b", [r])
    reduced, report = g.reduce(maximal_fusion=maximal, outputs=[b])
    assert reduced.nodes() == [
        source(0, "s"),
        stage(1, [0], [member("a", [I(0)])]),
        {"id": 2, "output": False, "inputs": [1], "kind": "reduction", "name": "sum", "params": {"axis": 0}},
        stage(3, [2], [member("b", [I(0)])], output=True),
    ]
    assert reduced.node_map() == [(0, None), (1, 0), (2, None), (3, 0)]
    assert report == report_of(4, 4, 4, 2, 4, 2)


@BOTH_RULES
def test_output_op_is_not_fused_into_its_reader(maximal):
    g = GraphStore()
    a = g.add_op("a", [g.add_source("s")])
    b = g.add_op("b", [a])
    reduced, _ = g.reduce(maximal_fusion=maximal, outputs=[b, a])
    assert reduced.nodes() == [
        source(0, "s"),
        stage(1, [0], [member("a", [I(0)])], output=True),
        stage(2, [1], [member("b", [I(0)])], output=True),
    ]
    assert reduced.outputs() == [2, 1]
    assert reduced.node_map() == [(0, None), (1, 0), (2, 0)]


@BOTH_RULES
def test_members_share_input_slots_in_order_of_first_use(maximal):
    g = GraphStore()
    s, t = g.add_source("s"), g.add_source("t")
    a = g.add_op("f", [s])
    b = g.add_op("g", [t, s])
    d = g.add_op("h", [a, b])
    reduced, _ = g.reduce(maximal_fusion=maximal, outputs=[d])
    assert reduced.nodes()[2] == stage(
        2,
        [0, 1],
        [member("f", [I(0)]), member("g", [I(1), I(0)]), member("h", [M(0), M(1)])],
        output=True,
    )


# ---------------------------------------------------------------------------
# Canonicalization: commutativity


def two_sources():
    g = GraphStore()
    return g, g.add_source("a"), g.add_source("b")


@pytest.mark.parametrize("name", COMMUTATIVE)
def test_commutative_mirror_images_merge(name):
    g, a, b = two_sources()
    p = g.add_op(name, [a, b])
    q = g.add_op(name, [b, a])
    reduced, report = g.reduce(outputs=[p, q])
    assert reduced.nodes()[2] == stage(2, [0, 1], [member(name, [I(0), I(1)])], output=True)
    assert reduced.node_count() == 3 and reduced.outputs() == [2]
    assert reduced.node_map()[p] == reduced.node_map()[q] == (2, 0)
    assert report == report_of(4, 4, 3, 1, 3, 2)


@pytest.mark.parametrize(
    "name, params",
    [
        ("sub", None),
        ("div", None),
        ("Add", None),
        ("add|x", None),
        ("add", {"k": 1}),
        ("mul", {"scalar": 2.0, "side": "r"}),
    ],
)
def test_no_mirror_merge_for_other_names_or_with_params(name, params):
    g, a, b = two_sources()
    p = g.add_op(name, [a, b], params)
    q = g.add_op(name, [b, a], params)
    reduced, report = g.reduce(outputs=[p, q])
    assert report["canonical_nodes"] == 4 and report["stages"] == 2
    assert reduced.node_map()[p] != reduced.node_map()[q]
    members = [n["members"] for n in reduced.nodes()[2:]]
    assert members == [
        [member(name, [I(0), I(1)], params)],
        [member(name, [I(0), I(1)], params)],
    ]
    assert [n["inputs"] for n in reduced.nodes()[2:]] == [[0, 1], [1, 0]]


def test_first_recorded_orientation_wins():
    g, a, b = two_sources()
    q = g.add_op("add", [b, a])
    p = g.add_op("add", [a, b])
    reduced, _ = g.reduce(outputs=[p, q])
    assert reduced.nodes()[2] == stage(2, [1, 0], [member("add", [I(0), I(1)])], output=True)
    assert reduced.node_map()[p] == reduced.node_map()[q] == (2, 0)


def test_unreachable_mirror_is_dropped_not_merged():
    g, a, b = two_sources()
    p = g.add_op("add", [a, b])
    g.add_op("add", [b, a])
    reduced, report = g.reduce(outputs=[p])
    assert reduced.node_map() == [(0, None), (1, None), (2, 0), None]
    assert report["reachable_nodes"] == 3


def test_merges_propagate_to_consumers():
    # f(a + b) and f(b + a) are one node once the adds merge; so are the
    # reductions over them.
    g, a, b = two_sources()
    f1 = g.add_op("f", [g.add_op("add", [a, b])])
    f2 = g.add_op("f", [g.add_op("add", [b, a])])
    r1, r2 = g.add_reduction("sum", [f1]), g.add_reduction("sum", [f2])
    reduced, report = g.reduce(outputs=[r1, r2])
    node_map = reduced.node_map()
    assert node_map[f1] == node_map[f2] and node_map[r1] == node_map[r2]
    assert reduced.outputs() == [node_map[r1][0]]
    assert report == report_of(8, 8, 5, 1, 4, 3)


def test_mirrored_ladders_merge_rung_by_rung():
    g, a, b = two_sources()
    x = y = a
    rungs = []
    for _ in range(30):
        x, y = g.add_op("add", [x, b]), g.add_op("add", [b, y])
        rungs.append((x, y))
    reduced, report = g.reduce(outputs=[x, y])
    assert report["canonical_nodes"] == 32
    assert reduced.node_count() == 3 and reduced.outputs() == [2]
    assert reduced.nodes()[2]["n_members"] == 30
    node_map = reduced.node_map()
    assert [node_map[x] for x, _ in rungs] == [node_map[y] for _, y in rungs] == [(2, k) for k in range(30)]


# ---------------------------------------------------------------------------
# Canonicalization: identity elimination


@pytest.mark.parametrize("name, side", list(IDENTITY_PARAMS))
def test_identity_op_folds_into_its_input(name, side):
    g = GraphStore()
    x = g.add_source("x")
    y = g.add_op(name, [x], IDENTITY_PARAMS[name, side])
    reduced, report = g.reduce(outputs=[y])
    assert reduced.nodes() == [source(0, "x", output=True)]
    assert reduced.node_map() == [(0, None), (0, None)]
    assert report == report_of(2, 2, 1, 0, 1, 1)


def test_identity_between_ops_disappears_from_the_stage():
    g = GraphStore()
    a = g.add_op("f", [g.add_source("s")])
    i = g.add_op("add", [a], IDENTITY_PARAMS["add", "l"])
    b = g.add_op("g", [i])
    reduced, report = g.reduce(outputs=[b])
    assert reduced.nodes()[1] == stage(1, [0], [member("f", [I(0)]), member("g", [M(0)])], output=True)
    assert reduced.node_map() == [(0, None), (1, 0), (1, 0), (1, 1)]
    assert report == report_of(4, 4, 3, 1, 2, 1)


def test_identity_chain_collapses():
    g = GraphStore()
    x = g.add_source("x")
    node = x
    for key in [("add", "r"), ("mul", "l"), ("add", "l"), ("mul", "r")]:
        node = g.add_op(key[0], [node], IDENTITY_PARAMS[key])
    reduced, _ = g.reduce(outputs=[node, x, node])
    assert reduced.nodes() == [source(0, "x", output=True)]
    assert reduced.node_map() == [(0, None)] * 5


@pytest.mark.parametrize("kind", ["op", "reduction"])
def test_consumers_of_x_and_of_x_plus_zero_merge(kind):
    g = GraphStore()
    x = g.add_source("x")
    y = g.add_op("add", [x], IDENTITY_PARAMS["add", "r"])
    add = g.add_op if kind == "op" else g.add_reduction
    f1, f2 = add("f", [x]), add("f", [y])
    reduced, report = g.reduce(outputs=[f1, f2])
    assert reduced.node_count() == 2 and reduced.outputs() == [1]
    assert reduced.node_map()[f1] == reduced.node_map()[f2]
    assert report["canonical_nodes"] == 2


@pytest.mark.parametrize(
    "name, params, n_inputs",
    [
        ("add", {"scalar": 0, "side": "r"}, 1),
        ("add", {"scalar": -0.0, "side": "r"}, 1),
        ("mul", {"scalar": -0.0, "side": "l"}, 1),
        ("add", {"scalar": 0.0, "side": "r", "extra": 1}, 1),
        ("add", {"scalar": 0.0, "side": "c"}, 1),
        ("add", {"scalar": 1.0, "side": "r"}, 1),
        ("mul", {"scalar": 0.0, "side": "r"}, 1),
        ("mul", {"scalar": 2.0, "side": "l"}, 1),
        ("sub", {"scalar": 0.0, "side": "r"}, 1),
        ("add|", {"scalar": 0.0, "side": "r"}, 1),
        ("add|scalar=f0000000000000000;side=sr", None, 1),
        ("add", {"scalar": 0.0, "side": "r"}, 2),
        ("mul", {"scalar": 1.0, "side": "l"}, 3),
        ("add", {"scalar": 0.0, "side": "r"}, 0),
    ],
)
def test_identity_near_misses_are_kept(name, params, n_inputs):
    g = GraphStore()
    inputs = [g.add_source(f"x{i}") for i in range(n_inputs)]
    op = g.add_op(name, inputs, params)
    reduced, report = g.reduce(outputs=[op])
    refs = [I(i) for i in range(n_inputs)]
    expected = stage(n_inputs, list(range(n_inputs)), [member(name, refs, params)], output=True)
    assert exact(reduced.nodes()[-1]) == exact(expected)
    assert reduced.node_map()[op] == (n_inputs, 0)
    assert report == report_of(n_inputs + 1, n_inputs + 1, n_inputs + 1, 1, n_inputs + 1, n_inputs)


def test_long_chains():
    g = GraphStore()
    node = g.add_source("s")
    for i in range(50_000):
        node = g.add_op("g" if i % 2 else "f", [node])
    reduced, report = g.reduce(outputs=[node])
    assert report == report_of(50_001, 50_001, 50_001, 1, 2, 1)
    chain = reduced.nodes()[1]
    assert chain["n_members"] == 50_000 and chain["members"][-1] == member("g", [M(49_998)])

    g = GraphStore()
    node = g.add_source("s")
    for _ in range(50_000):
        node = g.add_op("mul", [node], IDENTITY_PARAMS["mul", "l"])
    reduced, report = g.reduce(maximal_fusion=True, outputs=[node])
    assert report == report_of(50_001, 50_001, 1, 0, 1, 1)
    assert set(reduced.node_map()) == {(0, None)}


# ---------------------------------------------------------------------------
# Outputs, node maps and reports


def test_repeated_output_is_marked_once():
    g = GraphStore()
    b = g.add_op("b", [g.add_op("a", [g.add_source("s")])])
    twice, report_twice = g.reduce(outputs=[b, b])
    once, report_once = g.reduce(outputs=[b])
    assert twice.outputs() == [1]
    assert twice.serialize() == once.serialize() and report_twice == report_once


def test_outputs_of_merged_nodes_keep_their_order():
    g, a, b = two_sources()
    p = g.add_op("mul", [a, b])
    q = g.add_op("mul", [b, a])
    reduced, _ = g.reduce(outputs=[a, q, b, p])
    assert reduced.outputs() == [0, 2, 1]


@pytest.mark.parametrize("outputs", [None, []])
def test_no_outputs_gives_an_empty_store(outputs):
    g = GraphStore()
    a = g.add_op("a", [g.add_source("s")])
    g.add_exchange([a])
    marked = GraphStore.deserialize(g.serialize([] if outputs is None else [2]))
    reduced, report = marked.reduce(outputs=outputs)
    assert reduced.nodes() == [] and reduced.outputs() == []
    assert reduced.node_map() == [None, None, None]
    assert report == report_of(3, 0, 0, 0, 0, 0)


@pytest.mark.parametrize("call", ["reduce", "reduction_report", "reduce_incremental"])
def test_out_of_range_output_leaves_the_store_as_it_was(call):
    g = GraphStore()
    a = g.add_op("a", [g.add_source("s")])
    marked = GraphStore.deserialize(g.serialize([a]))
    before = marked.serialize()
    with pytest.raises(ValueError, match=r"^no node with id 2$"):
        getattr(marked, call)(outputs=[a, 2, 7])
    assert marked.serialize() == before and marked.node_map() == []


def test_stored_marks_are_used_in_mark_order():
    g = GraphStore()
    s = g.add_source("s")
    a, b = g.add_op("a", [s]), g.add_op("b", [s])
    marked = GraphStore.deserialize(g.serialize([b, a]))
    reduced, report = marked.reduce()
    assert reduced.outputs() == [2, 1]
    assert marked.reduction_report() == report
    assert reduced.serialize() == marked.reduce(outputs=[b, a])[0].serialize()


def test_unreachable_nodes_are_dropped_from_the_map():
    g = GraphStore()
    s = g.add_source("s")
    keep = g.add_op("a", [s])
    g.add_op("b", [keep])
    g.add_source("unused")
    reduced, report = g.reduce(outputs=[keep])
    assert reduced.node_map() == [(0, None), (1, 0), None, None]
    assert report == report_of(4, 2, 2, 1, 2, 1)


# ---------------------------------------------------------------------------
# Identity of operators: equal text never merges different operators

BASE = dict(kind="k", content_hash="h", framework="t", version="1", io_schema="s")


@pytest.mark.parametrize(
    "first, first_params, second, second_params",
    [
        (dict(kind="a|b", content_hash="c"), None, dict(kind="a", content_hash="b|c"), None),
        ({}, None, dict(preprocessing_ref="-"), None),
        (dict(preprocessing_ref=""), None, {}, None),
        (dict(io_schema="x|-"), None, dict(io_schema="x", preprocessing_ref="-|-"), None),
        (dict(preprocessing_ref="r|k=i1"), None, dict(preprocessing_ref="r"), {"k": 1}),
        (dict(version="1|2"), {"k": 1}, dict(framework="t|1", version="2"), {"k": 1}),
    ],
)
def test_externals_with_equal_looking_descriptors_stay_apart(first, first_params, second, second_params):
    g = GraphStore()
    x = g.add_source("x")
    e1 = g.add_external(dict(BASE, **first), [x], first_params)
    e2 = g.add_external(dict(BASE, **second), [x], second_params)
    j = g.add_join([e1, e2])
    for outputs in ([j], [e1, e2]):
        reduced, report = g.reduce(outputs=outputs)
        assert report["canonical_nodes"] == report["reachable_nodes"]
        nodes = reduced.nodes()
        assert reduced.node_map()[e1] == (1, None) and reduced.node_map()[e2] == (2, None)
        for node, descriptor, params in [(nodes[1], first, first_params), (nodes[2], second, second_params)]:
            wanted = {**BASE, "preprocessing_ref": None, **descriptor}
            assert node["descriptor"] == wanted and node["params"] == (params or {})
            assert node["inputs"] == [0]


def stage_store(*members_per_stage):
    """A source and one stage per members list, every stage over [0, 0] and
    marked as an output."""
    records = [source_rec("s")] + [stage_rec([0, 0], m) for m in members_per_stage]
    return GraphStore.deserialize(blob(records, outputs=range(1, len(records))))


F, G = op_token("op", "f"), op_token("op", "g")


@pytest.mark.parametrize(
    "first, second",
    [
        ([(F, [(INPUT, 0)])], [(G, [(INPUT, 0)])]),
        ([(F, [(INPUT, 0)])], [(F, [(INPUT, 1)])]),
        ([(F, [(INPUT, 0)]), (G, [(MEMBER, 0)])], [(F, [(INPUT, 0)]), (G, [(INPUT, 0)])]),
        ([(F, [(INPUT, 0), (INPUT, 1)])], [(F, [(INPUT, 0)])]),
        ([(op_token("op", "f;g=h"), [])], [(op_token("op", "f"), [])]),
        ([(F, []), (G, [])], [(G, []), (F, [])]),
    ],
)
def test_re_reduction_keeps_different_stages_of_equal_size_apart(first, second):
    store = stage_store(first, second)
    for outputs in (None, [1, 2], [2, 1]):
        reduced, report = store.reduce(outputs=outputs)
        assert report == report_of(3, 3, 3, 0, 3, 3)
        assert reduced.nodes() == [dict(n, output=n["id"] in (1, 2)) for n in store.nodes()]
        assert reduced.node_map() == [(0, None), (1, None), (2, None)]


@BOTH_RULES
def test_re_reducing_two_chains_over_one_source(maximal):
    g = GraphStore()
    s = g.add_source("s")
    a = g.add_op("f1", [g.add_op("f0", [s])])
    b = g.add_op("g1", [g.add_op("g0", [s])])
    once, _ = g.reduce(maximal_fusion=maximal, outputs=[a, b])
    assert [n["n_members"] for n in once.nodes()[1:]] == [2, 2]
    twice, report = once.reduce(maximal_fusion=maximal)
    assert twice.serialize() == once.serialize()
    assert report == report_of(3, 3, 3, 0, 3, 3)
    assert twice.node_map() == [(0, None), (1, None), (2, None)]


def test_stage_members_carry_the_ops_own_tokens():
    g = GraphStore()
    params = {"k=": "v|;%", "f": 0.5, "n": -3, "b": True, "z": -0.0, "nan": math.nan}
    op = g.add_op("a|b;c=d%", [g.add_source("s")], params)
    reduced, _ = g.reduce(outputs=[op])
    [only] = reduced.nodes()[1]["members"]
    assert only["kind"] == "op" and only["name"] == "a|b;c=d%"
    assert list(only["params"]) == sorted(params, key=str.encode)
    assert same_params(only["params"], g.nodes()[op]["params"])
    assert float_bits(only["params"]["z"]) == 1 << 63
    # the member holds the op's token text itself, NaN in its one spelling
    token = (
        "op|a%7Cb%3Bc%3Dd%25|b=btrue;f=f3fe0000000000000;k%3D=sv%7C%3B%25;n=i-3;"
        "nan=f7ff8000000000000;z=f8000000000000000"
    )
    assert token == op_token("op", "a|b;c=d%", params)
    assert text(token) in reduced.serialize()


# ---------------------------------------------------------------------------
# Random graphs


def expected_ref(node_map, stage_node, stage_id, child):
    target, index = node_map[child]
    if target == stage_id:
        return ("member", index)
    return ("input", stage_node["inputs"].index(target))


def fusion_groups(nodes, live, cls, outputs, maximal):
    """The stage grouping the fusion rules imply for the merged graph of the
    live nodes: returns (classes in first-occurrence order, group key per op
    class, the set of op classes)."""
    order, rep = [], {}
    for i in sorted(live):
        node = nodes[i]
        if folds_away(node):
            continue
        if cls[i] not in rep:
            rep[cls[i]] = i
            order.append(cls[i])
    uses = {c: [] for c in order}
    for c in order:
        for child in nodes[rep[c]]["inputs"]:
            uses[cls[child]].append(c)
    ops = {c for c in order if nodes[rep[c]]["kind"] == "op"}
    marked = {cls[o] for o in outputs}
    key = {}
    for c in reversed(order):
        used_by = uses[c]
        key[c] = c
        if c not in ops or c in marked or not used_by or not set(used_by) <= ops:
            continue
        if maximal:
            if len({key[u] for u in used_by}) == 1:
                key[c] = key[used_by[0]]
        elif len(used_by) == 1:
            key[c] = key[used_by[0]]
    return order, key, ops


def check_reduction(store, outputs, maximal):
    """Checks one reduction of store against outputs; returns the reduced store."""
    nodes = store.nodes()
    reduced, report = store.reduce(maximal_fusion=maximal, outputs=outputs)
    out = reduced.nodes()
    node_map = reduced.node_map()
    live = reachable(nodes, outputs)
    cls, _ = classes(nodes)

    # report
    assert list(report) == REPORT_KEYS
    assert report["input_nodes"] == len(nodes)
    assert report["reachable_nodes"] == len(live)
    assert report["canonical_nodes"] == len({cls[i] for i in live})
    assert report["input_nodes"] >= report["reachable_nodes"] >= report["canonical_nodes"]
    assert report["canonical_nodes"] >= report["reduced_nodes"] == report["stages"] + report["boundary_nodes"]
    assert report["reduced_nodes"] == len(out)
    assert report["stages"] == sum(n["kind"] == "stage" for n in out)
    if not maximal:
        assert store.reduction_report(outputs=outputs) == report

    # the reduced graph is well formed, stage by stage
    for n in out:
        assert all(i < n["id"] for i in n["inputs"])
        assert n["kind"] != "op"
        if n["kind"] != "stage":
            continue
        assert len(set(n["inputs"])) == len(n["inputs"])
        used_slots, uses = set(), [0] * n["n_members"]
        for k, m in enumerate(n["members"]):
            for ref, value in m["inputs"]:
                if ref == "member":
                    assert value < k
                    uses[value] += 1
                else:
                    used_slots.add(value)
        assert used_slots == set(range(len(n["inputs"])))
        # one sink: the last member, read by nobody inside
        assert uses[-1] == 0
        assert all(u == 1 if not maximal else u >= 1 for u in uses[:-1])

    # the stages are exactly the groups of the fusion rule, members in order
    order, key, ops = fusion_groups(nodes, live, cls, outputs, maximal)
    assert report["stages"] == len({key[c] for c in ops})
    assert report["boundary_nodes"] == len(order) - len(ops)
    stage_of_group = {}
    for i in live:
        if cls[i] in ops:
            assert stage_of_group.setdefault(key[cls[i]], node_map[i][0]) == node_map[i][0]
            group = [c for c in order if c in ops and key[c] == key[cls[i]]]
            assert node_map[i][1] == group.index(cls[i])
    assert len(set(stage_of_group.values())) == len(stage_of_group)

    # where every node landed
    blob_bytes = reduced.serialize()
    assert [node_map[i] is None for i in range(len(nodes))] == [i not in live for i in range(len(nodes))]
    for i in live:
        node = nodes[i]
        target, index = node_map[i]
        if folds_away(node):
            assert node_map[i] == node_map[node["inputs"][0]]
            continue
        landed = out[target]
        if node["kind"] == "op":
            m = landed["members"][index]
            assert (m["kind"], m["name"]) == ("op", node["name"])
            assert same_params(m["params"], node["params"])
            assert text(op_token("op", node["name"], node["params"])) in blob_bytes
            refs = [expected_ref(node_map, landed, target, c) for c in node["inputs"]]
            commutative = node["name"] in COMMUTATIVE and not node["params"] and len(refs) == 2
            assert (sorted(m["inputs"]) == sorted(refs)) if commutative else (m["inputs"] == refs)
        else:
            assert index is None
            assert (landed["kind"], landed["name"]) == (node["kind"], node["name"])
            assert same_params(landed["params"], node["params"])
            assert landed.get("descriptor") == node.get("descriptor")
            assert landed["inputs"] == [node_map[c][0] for c in node["inputs"]]
    for i in live:
        for j in live:
            assert (node_map[i] == node_map[j]) == (cls[i] == cls[j])
    # an output op is the sink of its stage
    for o in outputs:
        node = nodes[o]
        if node["kind"] == "op" and not folds_away(node):
            target, index = node_map[o]
            assert index == out[target]["n_members"] - 1
    expected_outputs = list(dict.fromkeys(node_map[o][0] for o in outputs))
    assert reduced.outputs() == expected_outputs
    return reduced


def check_fixed_point(reduced, maximal):
    again, report = reduced.reduce(maximal_fusion=maximal)
    n = reduced.node_count()
    assert again.serialize() == reduced.serialize()
    assert report == report_of(n, n, n, 0, n, n)
    assert again.node_map() == [(i, None) for i in range(n)]


@settings(max_examples=150, deadline=None)
@given(graphs(), st.booleans())
def test_random_graphs_reduce_soundly(recipe, maximal):
    store, _, outputs = record(recipe)
    reduced = check_reduction(store, outputs, maximal)
    check_fixed_point(reduced, maximal)


@settings(max_examples=150, deadline=None)
@given(lookalike_records(), st.booleans())
def test_different_operators_over_the_same_inputs_never_merge(records, maximal):
    # No op here is commutative or an identity, so only equal operators over
    # equal inputs could merge, and the store holds no two equal nodes.
    store = GraphStore.deserialize(blob([r.write(canonical=False) for r in records]))
    n = store.node_count()
    reduced, report = store.reduce(maximal_fusion=maximal, outputs=range(n))
    assert report["reachable_nodes"] == report["canonical_nodes"] == n
    entries = reduced.node_map()
    assert len(set(entries)) == n
    check_fixed_point(reduced, maximal)


# ---------------------------------------------------------------------------
# Real pipeline graphs

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import workloads  # noqa: E402

SMALL = [p for p in workloads.available() if p.name.endswith("_small.json.gz")]


@pytest.mark.skipif(not SMALL, reason="workload graphs not available")
@pytest.mark.parametrize("path", SMALL, ids=lambda p: p.name.split(".")[0])
def test_real_graphs(path):
    store, _, outputs = workloads.record(workloads.load(path))
    for maximal in (False, True):
        reduced, report = store.reduce(maximal_fusion=maximal, outputs=outputs)
        counts = [report[k] for k in REPORT_KEYS]
        assert counts[0] == store.node_count()
        assert counts[0] >= counts[1] >= counts[2] >= counts[4] == counts[3] + counts[5]
        assert counts[4] == reduced.node_count() > 0
        check_fixed_point(reduced, maximal)
        # every node of these graphs reaches an output, so the incremental
        # path must build the very same store
        assert counts[1] == counts[0]
        incremental, _ = IncrementalReducer().finalize(store, maximal_fusion=maximal, outputs=outputs)
        assert incremental.serialize() == reduced.serialize()
