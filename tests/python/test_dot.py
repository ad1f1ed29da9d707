"""The Graphviz text of a store: node lines with their labels and output
shape, edge lines, and the escaping of labels."""

from __future__ import annotations

import math

import pytest
from hypothesis import given, settings

from strategies import INPUT, MEMBER, blob, graphs, record, source_rec, stage_rec
from trellan_core import GraphStore

DESCRIPTOR = dict(kind="onnx", content_hash="sha:1", framework="ort", version="1.17", io_schema="f32[n]")


def marked(g: GraphStore, outputs) -> GraphStore:
    """The same store with output marks (builders cannot mark)."""
    return GraphStore.deserialize(g.serialize(outputs))


def dot_lines(g: GraphStore) -> list:
    text = g.to_dot()
    assert text.endswith("\n")
    return text[:-1].split("\n")


def label_of(g: GraphStore, node_id: int) -> str:
    """The label text of one node as it appears in the DOT line, unescaped
    from the DOT quoting."""
    line = [ln for ln in g.to_dot().split("\n") if ln.startswith(f"  n{node_id} [label=")][0]
    quoted = line[len(f"  n{node_id} [label=") :].rsplit('"', 1)[0] + '"'
    assert quoted.startswith('"')
    out, i = [], 1
    while i < len(quoted) - 1:
        if quoted[i] == "\\":
            out.append(quoted[i + 1])
            i += 2
        else:
            out.append(quoted[i])
            i += 1
    return "".join(out)


def test_empty_store():
    assert GraphStore().to_dot() == "digraph trellan {\n}\n"


def test_documented_example():
    g = GraphStore()
    x = g.add_source("x")
    g.add_op("add", [x], {"scalar": 1.0})
    assert marked(g, [1]).to_dot() == (
        "digraph trellan {\n"
        '  n0 [label="Source x"];\n'
        '  n1 [label="Op add {scalar=1}", shape=doublecircle];\n'
        "  n0 -> n1;\n"
        "}\n"
    )


def test_node_lines_then_edge_lines_in_id_and_input_order():
    g = GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    c = g.add_op("f", [b, a, b])
    d = g.add_join([c, c])
    g.add_exchange([d])
    assert dot_lines(marked(g, [4, 0])) == [
        "digraph trellan {",
        '  n0 [label="Source a", shape=doublecircle];',
        '  n1 [label="Source b"];',
        '  n2 [label="Op f"];',
        '  n3 [label="Join"];',
        '  n4 [label="Exchange", shape=doublecircle];',
        "  n1 -> n2;",
        "  n0 -> n2;",
        "  n1 -> n2;",
        "  n2 -> n3;",
        "  n2 -> n3;",
        "  n3 -> n4;",
        "}",
    ]


def test_lone_output_node_has_its_shape_and_no_edges():
    g = GraphStore()
    g.add_source("a")
    g.add_source("lone")
    assert dot_lines(marked(g, [1])) == [
        "digraph trellan {",
        '  n0 [label="Source a"];',
        '  n1 [label="Source lone", shape=doublecircle];',
        "}",
    ]


def test_stage_label_and_edges_from_its_inputs_only():
    members = [("op|f", [(INPUT, 1)]), ("op|g", [(MEMBER, 0), (INPUT, 0), (INPUT, 5)])]
    records = [source_rec("a"), source_rec("b"), stage_rec([1, 0], members)]
    g = GraphStore.deserialize(blob(records, outputs=[2]))
    assert dot_lines(g)[3:] == [
        '  n2 [label="Stage[2 members]", shape=doublecircle];',
        "  n1 -> n2;",
        "  n0 -> n2;",
        "}",
    ]


def test_reduced_store_renders_its_marks():
    g = GraphStore()
    b = g.add_op("b", [g.add_op("a", [g.add_source("s")])])
    reduced, _ = g.reduce(outputs=[b])
    assert reduced.to_dot() == (
        "digraph trellan {\n"
        '  n0 [label="Source s"];\n'
        '  n1 [label="Stage[2 members]", shape=doublecircle];\n'
        "  n0 -> n1;\n"
        "}\n"
    )


@pytest.mark.parametrize(
    "name, line",
    [
        ('say "hi"', r'  n0 [label="Source say \"hi\""];'),
        ("C:\\dir", r'  n0 [label="Source C:\\dir"];'),
        # the backslash is doubled first, so the one put before the quote is not
        ('a\\"b', r'  n0 [label="Source a\\\"b"];'),
        ("\\\\", r'  n0 [label="Source \\\\"];'),
        ("two\nlines", '  n0 [label="Source two\nlines"];'),
        ("tab\there é€ {x}", '  n0 [label="Source tab\there é€ {x}"];'),
    ],
)
def test_label_escaping(name, line):
    g = GraphStore()
    g.add_source(name)
    assert g.to_dot() == "digraph trellan {\n" + line + "\n}\n"


def descriptor_store(params=None, **fields):
    g = GraphStore()
    g.add_external(dict(DESCRIPTOR, **fields), [], params)
    return g


@pytest.mark.parametrize(
    "build, label",
    [
        (lambda g: g.add_source("x"), "Source x"),
        (lambda g: g.add_source(""), "Source "),
        (lambda g: g.add_op("a|b", []), "Op a|b"),
        (lambda g: g.add_op("add", [], {"side": "r", "scalar": 0.0}), 'Op add {scalar=0, side="r"}'),
        (
            lambda g: g.add_reduction("sum", [], {"keep": True, "axis": -1}),
            "Reduction sum {axis=-1, keep=true}",
        ),
        (lambda g: g.add_external(DESCRIPTOR, []), "External onnx:sha:1 [ort 1.17]"),
        (
            lambda g: g.add_external(dict(DESCRIPTOR, preprocessing_ref="p"), [], {"k": 1.5}),
            "External onnx:sha:1 [ort 1.17] {k=1.5}",
        ),
        (lambda g: g.add_exchange([]), "Exchange"),
        (lambda g: g.add_exchange([], {"scheme": "hash"}), 'Exchange {scheme="hash"}'),
        (lambda g: g.add_join([]), "Join"),
        (lambda g: g.add_join([], {"how": "left", "on": "id"}), 'Join {how="left", on="id"}'),
        (lambda g: g.add_source("x", {"a=b|;": False}), "Source x {a=b|;=false}"),
    ],
)
def test_labels_by_kind(build, label):
    g = GraphStore()
    build(g)
    assert label_of(g, 0) == label


@pytest.mark.parametrize(
    "value, shown",
    [
        (0, "0"),
        (-(2**63), "-9223372036854775808"),
        (True, "true"),
        (1.0, "1"),
        (0.5, "0.5"),
        (0.1, "0.1"),
        (-2.5, "-2.5"),
        (0.0, "0"),
        (-0.0, "-0"),
        (1e20, "100000000000000000000"),
        (1.5e-7, "0.00000015"),
        (float(2**70), "1180591620717411300000"),
        (float(2**64), "18446744073709552000"),
        (math.nan, "NaN"),
        (math.inf, "inf"),
        (-math.inf, "-inf"),
        ("", '""'),
        ('q"b\\s', '"q\\"b\\\\s"'),
        ("t\tr\rn\nz\x00", '"t\\tr\\rn\\nz\\0"'),
        ("esc\x1bdel\x7f", '"esc\\u{1b}del\\u{7f}"'),
        ("it's é", "\"it's é\""),
    ],
)
def test_param_display_in_labels(value, shown):
    g = GraphStore()
    g.add_source("s", {"v": value})
    assert label_of(g, 0) == "Source s {v=" + shown + "}"


def test_repeated_keys_are_all_displayed():
    pairs = [("k", 2), ("a", "x"), ("k", 1)]
    g = GraphStore.deserialize(blob([source_rec("s", pairs)]))
    assert label_of(g, 0) == 'Source s {a="x", k=2, k=1}'


@settings(max_examples=100, deadline=None)
@given(graphs())
def test_random_stores_render_one_line_per_node_and_input(recipe):
    g, _, outputs = record(recipe)
    g = marked(g, outputs)
    nodes = g.nodes()
    lines = dot_lines(g)
    assert lines[0] == "digraph trellan {" and lines[-1] == "}"
    node_lines = lines[1 : 1 + len(nodes)]
    for node, line in zip(nodes, node_lines):
        assert line.startswith(f"  n{node['id']} [label=\"")
        assert line.endswith('", shape=doublecircle];' if node["output"] else '"];')
    edges = [f"  n{i} -> n{n['id']};" for n in nodes for i in n["inputs"]]
    assert lines[1 + len(nodes) : -1] == edges
