"""The Graphviz text of a store: node lines with their labels and output shape, then edge lines, and the escaping of
labels."""

import math

import pytest

from strategies import DESCRIPTOR, INPUT, MEMBER, blob, source_rec, stage_rec
from trellan_core import GraphStore


def test_documented_example():
    g = GraphStore()
    g.add_op("add", [g.add_source("x")], {"scalar": 1.0})
    assert GraphStore.deserialize(g.serialize([1])).to_dot() == (
        'digraph trellan {\n  n0 [label="Source x"];\n  n1 [label="Op add {scalar=1}", shape=doublecircle];\n'
        "  n0 -> n1;\n}\n")


def recorded(g):
    a, b = g.add_source("a"), g.add_source("b")
    g.add_exchange([g.add_join([g.add_op("f", [b, a, b])] * 2)])
    g.add_source("lone")
    return [4, 0, 5]


def staged(g):
    members = [("op|f", [(INPUT, 1)]), ("op|g", [(MEMBER, 0), (INPUT, 0), (INPUT, 5)])]
    return GraphStore.deserialize(blob([source_rec("a"), source_rec("b"), stage_rec([1, 0], members)], [2]))


@pytest.mark.parametrize("build, lines", [
    (recorded, ['n0 [label="Source a", shape=doublecircle];', 'n1 [label="Source b"];', 'n2 [label="Op f"];',
                'n3 [label="Join"];', 'n4 [label="Exchange", shape=doublecircle];',
                'n5 [label="Source lone", shape=doublecircle];',
                "n1 -> n2;", "n0 -> n2;", "n1 -> n2;", "n2 -> n3;", "n2 -> n3;", "n3 -> n4;"]),
    # a stage draws edges from its inputs only
    (staged, ['n0 [label="Source a"];', 'n1 [label="Source b"];', 'n2 [label="Stage[2 members]", shape=doublecircle];',
              "n1 -> n2;", "n0 -> n2;"]),
], ids=["recorded", "stage"])
def test_node_lines_then_edge_lines_in_id_and_input_order(build, lines):
    made = build(g := GraphStore())
    if isinstance(made, list):
        made = GraphStore.deserialize(g.serialize(made))
    assert made.to_dot() == "digraph trellan {\n" + "".join(f"  {line}\n" for line in lines) + "}\n"


@pytest.mark.parametrize("build, label", [
    (lambda g: g.add_source(""), "Source "),
    (lambda g: g.add_op("a|b", []), "Op a|b"),
    (lambda g: g.add_reduction("sum", [], {"keep": True, "axis": -1}), "Reduction sum {axis=-1, keep=true}"),
    (lambda g: g.add_external(DESCRIPTOR, []), "External onnx:sha:1 [ort 1.17]"),
    (lambda g: g.add_external(dict(DESCRIPTOR, preprocessing_ref="p"), [], {"k": 1.5}),
     "External onnx:sha:1 [ort 1.17] {k=1.5}"),
    (lambda g: g.add_exchange([], {"scheme": "hash"}), 'Exchange {scheme=\\"hash\\"}'),
    (lambda g: g.add_join([], {"how": "left", "on": "id"}), 'Join {how=\\"left\\", on=\\"id\\"}'),
    (lambda g: g.add_source("x", {"a=b|;": False}), "Source x {a=b|;=false}"),
    # the backslash is doubled first, so the one put before the quote is not
    (lambda g: g.add_source('say "hi" C:\\dir a\\"b'), 'Source say \\"hi\\" C:\\\\dir a\\\\\\"b'),
    (lambda g: g.add_source("two\nlines\ttab é€ {x}"), "Source two\nlines\ttab é€ {x}"),
    (lambda g: GraphStore.deserialize(blob([source_rec("s", [("k", 2), ("a", "x"), ("k", 1)])])),
     'Source s {a=\\"x\\", k=2, k=1}'),
    *[(lambda g, v=v: g.add_source("s", {"v": v}), "Source s {v=" + shown + "}") for v, shown in [
        (-(2**63), "-9223372036854775808"), (1.0, "1"), (0.1, "0.1"), (-2.5, "-2.5"), (-0.0, "-0"),
        (1e20, "100000000000000000000"), (1.5e-7, "0.00000015"), (float(2**70), "1180591620717411300000"),
        (math.nan, "NaN"), (-math.inf, "-inf"), ("", '\\"\\"'), ('q"b\\s', '\\"q\\\\\\"b\\\\\\\\s\\"'),
        ("t\tr\rn\nz\x00", '\\"t\\\\tr\\\\rn\\\\nz\\\\0\\"'), ("esc\x1bdel\x7f", '\\"esc\\\\u{1b}del\\\\u{7f}\\"'),
        ("it's é€𝄞", '\\"it\'s é€𝄞\\"')]],
])
def test_labels(build, label):
    made = build(g := GraphStore())
    g = made if isinstance(made, GraphStore) else g
    assert g.to_dot() == f'digraph trellan {{\n  n0 [label="{label}"];\n}}\n'
