"""What a reduction computes: dead-code elimination, canonicalization (through both reduce and the incremental
reducer's finalize), common-subexpression elimination and stage fusion under both rules, checked against a simple
model on random graphs and on hand-made cases."""

import math, sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from strategies import (
    COMMUTATIVE, INPUT, MEMBER, REPORT_KEYS, Node, check_digests_across_reduction, classes, digest_list,
    exact_classes, float_bits, graphs, is_identity, reachable, record, record_node, result, same_params, source_rec,
    stage_rec, store_of, text
)
from trellan_core import GraphStore, IncrementalReducer


def report_of(*counts):
    return dict(zip(REPORT_KEYS, counts))


def finalize(g, **kw):
    (r := IncrementalReducer()).step(g)
    return r.finalize(g, **kw)


def mirror(name, params=None, flip=False):
    def build(g):
        a, b = g.add_source("a"), g.add_source("b")
        return [g.add_op(name, [b, a] if flip else [a, b], params), g.add_op(name, [a, b] if flip else [b, a], params)]
    return build


def over_identity(*steps, consumer=None):
    # x, then identity ops stacked on it: [x, the top], or with a consumer kind, that consumer of each.
    def build(g):
        x = top = g.add_source("x")
        for name, scalar, side in steps:
            top = g.add_op(name, [top], {"scalar": scalar, "side": side})
        add = consumer and getattr(g, "add_" + consumer)
        return [add("f", [x]), add("f", [top])] if add else [x, top]
    return build


def near_miss(name, params, n_inputs):
    def build(g):
        inputs = [g.add_source(f"x{i}") for i in range(n_inputs)]
        return inputs + [g.add_op(name, inputs, params)]
    return build


def externals(first, second, first_params=None, second_params=None):
    def build(g):
        x, base = g.add_source("x"), dict(kind="k", content_hash="h", framework="t", version="1", io_schema="s")
        return [g.add_external(dict(base, **first), [x], first_params),
                g.add_external(dict(base, **second), [x], second_params)]
    return build


Z, ONE = {"scalar": 0.0, "side": "r"}, {"scalar": 1.0, "side": "l"}
# (build: store -> node ids, the classes those ids must fall in, inputs of the node the first id lands in)
CANON = [
    *[(mirror(name), "aa", [0, 1]) for name in sorted(COMMUTATIVE)],
    (mirror("add", flip=True), "aa", [1, 0]),  # the first recorded orientation wins
    *[(mirror(name, params), "ab", [0, 1]) for name, params in [
        ("sub", None), ("div", None), ("Add", None), ("add|x", None), ("add", {"k": 1}), ("mul", {"scalar": 2.0, "side": "r"}),
        ("mul", {"scalar": 1.0, "side": "r"})]],
    *[(over_identity((name, scalar, side)), "aa", []) for name, scalar in [("add", 0.0), ("mul", 1.0)] for side in "rl"],
    (over_identity(("add", 0.0, "r"), ("mul", 1.0, "l"), ("add", 0.0, "l"), ("mul", 1.0, "r")), "aa", []),
    (over_identity(("add", 0.0, "r"), consumer="op"), "aa", [0]),
    (over_identity(("mul", 1.0, "l"), consumer="reduction"), "aa", [0]),
    *[(near_miss(name, params, n), "abcd"[: n + 1], None) for name, params, n in [
        ("add", {"scalar": 0, "side": "r"}, 1), ("add", {"scalar": -0.0, "side": "r"}, 1), ("mul", dict(ONE, scalar=-0.0), 1),
        ("add", dict(Z, extra=1), 1), ("add", dict(Z, side="c"), 1), ("add", dict(Z, scalar=1.0), 1),
        ("mul", dict(Z, scalar=0.0), 1), ("sub", Z, 1), ("add|", Z, 1), ("add|scalar=f0000000000000000;side=sr", None, 1),
        ("add", Z, 0), ("add", Z, 2), ("mul", ONE, 3)]],
    *[(externals(*row), "ab", [0]) for row in [
        (dict(kind="a|b", content_hash="c"), dict(kind="a", content_hash="b|c")), ({}, dict(preprocessing_ref="-")),
        (dict(preprocessing_ref=""), {}), (dict(io_schema="x|-"), dict(io_schema="x", preprocessing_ref="-|-")),
        (dict(preprocessing_ref="r|k=i1"), dict(preprocessing_ref="r"), None, {"k": 1}),
        (dict(version="1|2"), dict(framework="t|1", version="2"), {"k": 1}, {"k": 1})]],
]


@pytest.mark.parametrize("how", [GraphStore.reduce, finalize], ids=["reduce", "finalize"])
@pytest.mark.parametrize("build, pattern, inputs", CANON)
def test_canonicalization(build, pattern, inputs, how):
    g = GraphStore()
    chosen = build(g)
    node_map, letters = how(g, outputs=chosen)[0].node_map(), {}
    assert "".join(letters.setdefault(node_map[i], "abcd"[len(letters)]) for i in chosen) == pattern
    assert inputs is None or how(g, outputs=chosen)[0].nodes()[node_map[chosen[0]][0]]["inputs"] == inputs
    (r := IncrementalReducer()).step(g)
    assert r.canonical_count() == classes(g.nodes())[1]


def shape(g):
    # Each node as text: its name, or its members with their references.
    def member(m):
        return m["name"] + "(" + ",".join(f"{k[0]}{v}" for k, v in m["inputs"]) + ")"
    return [(" ".join(map(member, n["members"])) if n["kind"] == "stage" else n["name"], n["inputs"]) for n in g.nodes()]


def fan_out(g):
    a = g.add_op("a", [g.add_source("s")])
    return [g.add_op("d", [g.add_op("b", [a]), g.add_op("c", [a])])]


def read_twice(g):
    x = g.add_op("f", [g.add_source("s")])
    return [g.add_op("mul", [x, x])]


BOTH = [False, True]
# (build, fusion rules, reduced nodes, node map, report)
FUSION = [
    (lambda g: [g.add_op("b", [g.add_op("a", [g.add_source("s")])])], BOTH, [("s", []), ("a(i0) b(m0)", [0])],
     [(0, None), (1, 0), (1, 1)], (3, 3, 3, 1, 2, 1)),
    (lambda g: [g.add_op("x", [])], BOTH, [("x()", [])], [(0, 0)], (1, 1, 1, 1, 1, 0)),
    # a has two readers: alone under the single-use rule, with them under the maximal one
    (fan_out, [False], [("s", []), ("a(i0)", [0]), ("b(i0) c(i0) d(m0,m1)", [1])],
     [(0, None), (1, 0), (2, 0), (2, 1), (2, 2)], (5, 5, 5, 2, 3, 1)),
    (fan_out, [True], [("s", []), ("a(i0) b(m0) c(m0) d(m1,m2)", [0])],
     [(0, None), (1, 0), (1, 1), (1, 2), (1, 3)], (5, 5, 5, 1, 2, 1)),
    (read_twice, [False], [("s", []), ("f(i0)", [0]), ("mul(i0,i0)", [1])], [(0, None), (1, 0), (2, 0)], None),
    (read_twice, [True], [("s", []), ("f(i0) mul(m0,m0)", [0])], [(0, None), (1, 0), (1, 1)], None),
    (lambda g: [g.add_op("b", [g.add_reduction("sum", [g.add_op("a", [g.add_source("s")])], {"axis": 0})])], BOTH,
     [("s", []), ("a(i0)", [0]), ("sum", [1]), ("b(i0)", [2])], [(0, None), (1, 0), (2, None), (3, 0)], (4, 4, 4, 2, 4, 2)),
    # an output op is not fused into its reader
    (lambda g: [g.add_op("b", [a := g.add_op("a", [g.add_source("s")])]), a], BOTH,
     [("s", []), ("a(i0)", [0]), ("b(i0)", [1])], [(0, None), (1, 0), (2, 0)], None),
    # input slots in order of first use
    (lambda g: [g.add_op("h", [g.add_op("f", [s := g.add_source("s")]), g.add_op("g", [g.add_source("t"), s])])], BOTH,
     [("s", []), ("t", []), ("f(i0) g(i1,i0) h(m0,m1)", [0, 1])], None, None),
]


@pytest.mark.parametrize("build, rules, nodes, node_map, report",
                         [(*row[:1], rule, *row[2:]) for row in FUSION for rule in row[1]])
def test_fusion(build, rules, nodes, node_map, report):
    g = GraphStore()
    outputs = build(g)
    reduced, got = g.reduce(maximal_fusion=rules, outputs=outputs)
    assert shape(reduced) == nodes and reduced.outputs() == [reduced.node_map()[o][0] for o in outputs]
    assert node_map in (None, reduced.node_map()) and report in (None, tuple(got.values()))


def test_stage_members_carry_the_ops_own_tokens():
    g = GraphStore()
    params = {"k=": "v|;%", "f": 0.5, "n": -3, "b": True, "z": -0.0, "nan": math.nan}
    op = g.add_op("a|b;c=d%", [g.add_source("s")], params)
    reduced, _ = g.reduce(outputs=[op])
    [only] = reduced.nodes()[1]["members"]
    assert (only["kind"], only["name"], list(only["params"])) == ("op", "a|b;c=d%", sorted(params, key=str.encode))
    assert same_params(only["params"], g.nodes()[op]["params"]) and float_bits(only["params"]["z"]) == 1 << 63
    assert text("op|a%7Cb%3Bc%3Dd%25|b=btrue;f=f3fe0000000000000;k%3D=sv%7C%3B%25;n=i-3;nan=f7ff8000000000000;"
                "z=f8000000000000000") in reduced.serialize()


F, G = "op|f", "op|g"


@pytest.mark.parametrize("first, second", [
    ([(F, [(INPUT, 0)])], [(G, [(INPUT, 0)])]), ([(F, [(INPUT, 0)])], [(F, [(INPUT, 1)])]),
    ([(F, [(INPUT, 0)]), (G, [(MEMBER, 0)])], [(F, [(INPUT, 0)]), (G, [(INPUT, 0)])]),
    ([(F, [(INPUT, 0), (INPUT, 1)])], [(F, [(INPUT, 0)])]), ([("op|f%3Bg%3Dh", [])], [(F, [])]),
    ([(F, []), (G, [])], [(G, []), (F, [])]),
])
def test_re_reduction_keeps_different_stages_of_equal_size_apart(first, second):
    store = store_of([source_rec("s"), stage_rec([0, 0], first), stage_rec([0, 0], second)], [1, 2])
    for outputs in (None, [2, 1]):
        reduced, report = store.reduce(outputs=outputs)
        assert report == report_of(3, 3, 3, 0, 3, 3) and reduced.nodes() == store.nodes()
        assert reduced.node_map() == [(0, None), (1, None), (2, None)]


# (marked outputs, outputs=, reduced outputs, node map) on s, a(s), b(s), mul(a, b), mul(b, a), an unused source
@pytest.mark.parametrize("marks, outputs, expected, node_map", [
    ([], [3, 3], [1], [(0, None), (1, 0), (1, 1), (1, 2), None, None]),
    ([], [1, 4, 2, 3], [1, 3, 2], None),
    ([2, 1], None, [2, 1], [(0, None), (1, 0), (2, 0), None, None, None]),
    ([2, 1], [], [], [None] * 6),
    ([], None, [], [None] * 6),
])
def test_outputs(marks, outputs, expected, node_map):
    g = GraphStore()
    a, b = g.add_op("a", [s := g.add_source("s")]), g.add_op("b", [s])
    g.add_op("mul", [a, b]), g.add_op("mul", [b, a]), g.add_source("unused")
    store = GraphStore.deserialize(g.serialize(marks))
    reduced, report = store.reduce(outputs=outputs)
    assert reduced.outputs() == expected == finalize(store, outputs=outputs)[0].outputs()
    assert node_map in (None, reduced.node_map()) and (expected or (reduced.nodes() == [] and report == report_of(6, 0, 0, 0, 0, 0)))


def test_report_keys_and_the_methods_agree():
    g = GraphStore()
    outputs = fan_out(g)
    reduced, report = g.reduce(maximal_fusion=np.True_, outputs=np.array(outputs))
    single, inc = g.reduce(outputs=tuple(outputs)), g.reduce_incremental(outputs=outputs)
    assert list(report) == list(inc[1]) == REPORT_KEYS and all(type(v) is int for v in report.values())
    assert g.reduction_report(outputs=range(4, 5)) == single[1] != report and result(inc) == result(single)
    assert report["stages"] == 1
    assert type(reduced) is GraphStore and g.node_map() == [] and g.node_count() == 5


def expected_ref(node_map, stage_node, stage_id, child):
    target, index = node_map[child]
    if target == stage_id:
        return ("member", index)
    return ("input", stage_node["inputs"].index(target))


def fusion_groups(nodes, live, cls, outputs, maximal):
    # The stage grouping the fusion rules imply for the merged graph of the live nodes: returns (classes in first-
    # occurrence order, group key per op class, the set of op classes).
    order, rep = [], {}
    for i in sorted(live):
        if not is_identity(nodes[i]) and cls[i] not in rep:
            rep[cls[i]] = i
            order.append(cls[i])
    uses = {c: [] for c in order}
    for c in order:
        for child in nodes[rep[c]]["inputs"]:
            uses[cls[child]].append(c)
    ops = {c for c in order if nodes[rep[c]]["kind"] == "op"}
    marked_classes = {cls[o] for o in outputs}
    key = {}
    for c in reversed(order):
        used_by = uses[c]
        key[c] = c
        if c not in ops or c in marked_classes or not used_by or not set(used_by) <= ops:
            continue
        if len({key[u] for u in used_by}) == 1 if maximal else len(used_by) == 1:
            key[c] = key[used_by[0]]
    return order, key, ops


def check_reduction(store, outputs, maximal):
    # Checks one reduction of store against the model; returns the reduced store.
    nodes = store.nodes()
    reduced, report = store.reduce(maximal_fusion=maximal, outputs=outputs)
    out, node_map, live, (cls, _) = reduced.nodes(), reduced.node_map(), reachable(nodes, outputs), classes(nodes)
    order, key, ops = fusion_groups(nodes, live, cls, outputs, maximal)
    assert report == report_of(len(nodes), len(live), len({cls[i] for i in live}), len({key[c] for c in ops}),
                               len(out), len(order) - len(ops))
    assert report["stages"] == sum(n["kind"] == "stage" for n in out)
    assert maximal or store.reduction_report(outputs=outputs) == report
    # the reduced graph is well formed: topological, no op outside a stage, every stage input used once
    for n in out:
        assert all(i < n["id"] for i in n["inputs"]) and n["kind"] != "op"
        slots = [v for m in n.get("members", []) for ref, v in m["inputs"] if ref == "input"]
        assert n["kind"] != "stage" or sorted(set(slots)) == list(range(len(set(n["inputs"])))) == list(
            range(len(n["inputs"])))
    # the stages are exactly the groups of the fusion rule, members in order
    stage_of_group = {}
    for i in live:
        if cls[i] in ops:
            assert stage_of_group.setdefault(key[cls[i]], node_map[i][0]) == node_map[i][0]
            assert node_map[i][1] == [c for c in order if c in ops and key[c] == key[cls[i]]].index(cls[i])
    assert len(set(stage_of_group.values())) == len(stage_of_group)
    # where every node landed
    assert [node_map[i] is None for i in range(len(nodes))] == [i not in live for i in range(len(nodes))]
    asked = [*outputs, *reversed(range(len(nodes))), *outputs]
    assert reduced.node_map_of(asked) == [node_map[i] for i in asked]
    for i in live:
        node, (target, index) = nodes[i], node_map[i]
        if is_identity(node):
            assert node_map[i] == node_map[node["inputs"][0]]
        elif node["kind"] == "op":
            m, landed = out[target]["members"][index], out[target]
            assert (m["kind"], m["name"]) == ("op", node["name"]) and same_params(m["params"], node["params"])
            refs = [expected_ref(node_map, landed, target, c) for c in node["inputs"]]
            commutative = node["name"] in COMMUTATIVE and not node["params"] and len(refs) == 2
            assert (sorted(m["inputs"]) == sorted(refs)) if commutative else (m["inputs"] == refs)
        else:
            landed = out[target]
            assert index is None and (landed["kind"], landed["name"]) == (node["kind"], node["name"])
            assert same_params(landed["params"], node["params"]) and landed.get("descriptor") == node.get("descriptor")
            assert landed["inputs"] == [node_map[c][0] for c in node["inputs"]]
        assert [node_map[j] == node_map[i] for j in live] == [cls[j] == cls[i] for j in live]
    for o in outputs:  # an output op is the sink of its stage
        if nodes[o]["kind"] == "op" and not is_identity(nodes[o]):
            assert node_map[o][1] == out[node_map[o][0]]["n_members"] - 1
    assert reduced.outputs() == list(dict.fromkeys(node_map[o][0] for o in outputs))
    return reduced


def check_fixed_point(reduced, maximal):
    again, report = reduced.reduce(maximal_fusion=maximal)
    n = reduced.node_count()
    assert again.serialize() == reduced.serialize() and report == report_of(n, n, n, 0, n, n)
    assert again.node_map() == [(i, None) for i in range(n)]
    # recorded again, every node but a stage is found where the reduction put it
    for view in reduced.nodes():
        if view["kind"] != "stage":
            node = Node(view["kind"], view["name"], view["params"], view["inputs"], view.get("descriptor"))
            assert record_node(reduced, node, range(n)) == view["id"]
    assert reduced.node_count() == n


@settings(max_examples=150, deadline=None)
@given(graphs(), st.booleans())
def test_random_graphs_reduce_soundly(recipe, maximal):
    store, _, outputs = record(recipe)
    reduced = check_reduction(store, outputs, maximal)
    check_fixed_point(reduced, maximal)
    check_digests_across_reduction(store, reduced)
    # value digests name exactly the computations: no rule merges two of them
    cls, digests = exact_classes(store.nodes(), {}), digest_list(store)
    assert len(set(zip(cls, digests))) == len(set(cls)) == len(set(digests))


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
        assert store.node_count() == counts[0] == counts[1] >= counts[2] >= counts[4] == counts[3] + counts[5]
        assert counts[4] == reduced.node_count() > 0
        check_fixed_point(reduced, maximal)
        # every node of these graphs reaches an output, so the incremental
        # path must build the very same store
        incremental, _ = IncrementalReducer().finalize(store, maximal_fusion=maximal, outputs=outputs)
        assert incremental.serialize() == reduced.serialize()
