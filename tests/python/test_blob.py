"""The IR blob byte for byte: what serialize writes for every node kind, what
deserialize accepts, how it normalizes what it reads, and which error it
reports for every kind of malformed input."""

from __future__ import annotations

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from strategies import (
    INPUT,
    MAGIC,
    MEMBER,
    BoolByte,
    FloatBits,
    bits_float,
    blob,
    blob_records,
    exact,
    exchange_rec,
    external_rec,
    float_bits,
    graphs,
    ids,
    join_rec,
    op_rec,
    record,
    reduction_rec,
    source_rec,
    stage_rec,
    text,
    u8,
    u32,
    u64,
)
from trellan_core import GraphStore

TRUNCATED = "truncated trellan IR blob"
BAD_MAGIC = "not a trellan IR blob (bad magic/version)"
BAD_UTF8 = "invalid utf-8 in trellan IR blob"

DESCRIPTOR = dict(kind="onnx", content_hash="sha:1", framework="ort", version="1.17", io_schema="f32")


def load(data: bytes) -> GraphStore:
    return GraphStore.deserialize(data)


def decode_error(data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        load(data)
    return str(info.value)


# ---------------------------------------------------------------------------
# Exact bytes


def test_empty_store():
    data = GraphStore().serialize()
    assert data == b"TIR1" + bytes(8)
    assert load(data).node_count() == 0 and load(data).outputs() == []


def test_one_marked_source():
    expected = bytes.fromhex(
        "54495231 01000000 00 01000000 78 00000000 01000000 0000000000000000".replace(" ", "")
    )
    g = GraphStore()
    g.add_source("x")
    assert g.serialize([0]) == expected
    back = load(expected)
    assert back.outputs() == [0] and back.serialize() == expected


NAN_PAYLOAD = 0xFFF8000000000123
SIGNALLING_NAN = 0x7FF0000000000001


def every_kind_records():
    ref = dict(DESCRIPTOR, preprocessing_ref="prep")
    return [
        source_rec("x", [("a", 1), ("b", FloatBits(NAN_PAYLOAD)), ("c", -(2**63))]),
        op_rec("add", [0], [("scalar", 0.5), ("side", "r")]),
        reduction_rec("sum", [1], [("axis", -3), ("keep", True)]),
        external_rec(ref, [0, 2], [("k", FloatBits(SIGNALLING_NAN))]),
        external_rec(DESCRIPTOR, []),
        stage_rec([1, 2], [("op|f|k=i1", [(INPUT, 0)]), ("red|g", [(MEMBER, 0), (INPUT, 1)])]),
        exchange_rec([5], [("scheme", "hash")]),
        join_rec([6, 6], [("how", "left"), ("z", -0.0)]),
    ]


def test_every_kind_reads_and_writes_back_byte_for_byte():
    data = blob(every_kind_records(), outputs=[7, 0])
    g = load(data)
    assert g.serialize() == data
    assert g.outputs() == [7, 0] and g.node_map() == []
    base = ["id", "output", "inputs", "kind", "name", "params"]
    nodes = g.nodes()
    assert [list(n) for n in nodes] == [base] * 3 + [base + ["descriptor"]] * 2 + [
        base + ["n_members", "members"]
    ] + [base] * 2
    assert [(n["kind"], n["name"], n["inputs"], n["output"]) for n in nodes] == [
        ("source", "x", [], True),
        ("op", "add", [0], False),
        ("reduction", "sum", [1], False),
        ("external", "", [0, 2], False),
        ("external", "", [], False),
        ("stage", "", [1, 2], False),
        ("exchange", "", [5], False),
        ("join", "", [6, 6], True),
    ]
    assert exact([n["params"] for n in nodes]) == exact(
        [
            {"a": 1, "b": bits_float(NAN_PAYLOAD), "c": -(2**63)},
            {"scalar": 0.5, "side": "r"},
            {"axis": -3, "keep": True},
            {"k": bits_float(SIGNALLING_NAN)},
            {},
            {},
            {"scheme": "hash"},
            {"how": "left", "z": -0.0},
        ]
    )
    assert nodes[3]["descriptor"] == dict(DESCRIPTOR, preprocessing_ref="prep")
    assert list(nodes[4]["descriptor"]) == [*DESCRIPTOR, "preprocessing_ref"]
    assert nodes[4]["descriptor"] == dict(DESCRIPTOR, preprocessing_ref=None)
    assert nodes[5]["n_members"] == 2
    assert nodes[5]["members"] == [
        {"kind": "op", "name": "f", "params": {"k": 1}, "inputs": [("input", 0)]},
        {"kind": "red", "name": "g", "params": {}, "inputs": [("member", 0), ("input", 1)]},
    ]


def test_writer_layout_of_recorded_nodes():
    g = GraphStore()
    x = g.add_source("x", {"b": "é|", "a": 2**63 - 1})
    op = g.add_op("add", [x, x], {"side": "l", "scalar": 0.0})
    red = g.add_reduction("max", [op], {"keep": False})
    ext = g.add_external(dict(DESCRIPTOR, preprocessing_ref=""), [red, x])
    plain = g.add_external(DESCRIPTOR, [], {"n": 1.5})
    exch = g.add_exchange([ext])
    g.add_join([exch, plain, x], {"how": "inner"})
    expected = blob(
        [
            source_rec("x", [("a", 2**63 - 1), ("b", "é|")]),
            op_rec("add", [0, 0], [("scalar", 0.0), ("side", "l")]),
            reduction_rec("max", [1], [("keep", False)]),
            external_rec(dict(DESCRIPTOR, preprocessing_ref=""), [2, 0]),
            external_rec(DESCRIPTOR, [], [("n", 1.5)]),
            exchange_rec([3]),
            join_rec([5, 4, 0], [("how", "inner")]),
        ],
        outputs=[6, 3, 6],
    )
    assert g.serialize([6, 3, 6]) == expected
    # the descriptor fields go in record order, not alphabetically
    fields = [text(v) for v in ("onnx", "sha:1", "ort", "1.17", "f32")]
    assert b"".join(fields) + u8(1) + text("") in expected


# ---------------------------------------------------------------------------
# What the reader normalizes


def test_trailing_bytes_are_ignored():
    data = blob([source_rec("x")], outputs=[0])
    g = load(data + b"\x00garbage\xff")
    assert g.serialize() == data


def test_params_load_sorted_with_repeated_keys_in_blob_order():
    pairs = [("b", 1), ("a", 2), ("B", 3), ("a", 4), ("aa", 5), ("", 6)]
    g = load(blob([source_rec("x", pairs)]))
    assert list(g.nodes()[0]["params"].items()) == [("", 6), ("B", 3), ("a", 4), ("aa", 5), ("b", 1)]
    ordered = [("", 6), ("B", 3), ("a", 2), ("a", 4), ("aa", 5), ("b", 1)]
    assert g.serialize() == blob([source_rec("x", ordered)])


@pytest.mark.parametrize("byte, value", [(0, False), (1, True), (2, True), (127, True), (255, True)])
def test_bool_byte(byte, value):
    g = load(blob([source_rec("x", [("k", BoolByte(byte))])]))
    assert g.nodes()[0]["params"]["k"] is value
    assert g.serialize() == blob([source_rec("x", [("k", value)])])


@pytest.mark.parametrize("presence", [2, 128, 255])
def test_any_nonzero_presence_byte_means_present(presence):
    descriptor = dict(DESCRIPTOR, preprocessing_ref="ref")
    g = load(blob([external_rec(descriptor, [], presence=presence)]))
    assert g.nodes()[0]["descriptor"]["preprocessing_ref"] == "ref"
    assert g.serialize() == blob([external_rec(descriptor, [])])


def test_repeated_output_ids_load_once_in_first_order():
    records = [source_rec(name) for name in "abc"]
    data = blob(records, outputs=[2, 0, 2])
    g = load(data)
    assert g.outputs() == [2, 0]
    assert g.serialize() == blob(records, outputs=[2, 0])
    assert len(g.serialize()) == len(data) - 8


def test_float_bits_are_kept_as_written():
    patterns = [NAN_PAYLOAD, SIGNALLING_NAN, 0x7FF8000000000000, 0x8000000000000000, 0x0000000000000001]
    records = [source_rec(f"x{i}", [("v", FloatBits(bits))]) for i, bits in enumerate(patterns)]
    data = blob(records)
    g = load(data)
    assert g.serialize() == data
    assert [float_bits(n["params"]["v"]) for n in g.nodes()] == patterns


X, Y = source_rec("x"), source_rec("y")
CHAIN = [X, X] + [op_rec("f", [i]) for i in range(1, 600)]  # references across read batches
MANY = [source_rec(f"s{i}") for i in range(300)]


@pytest.mark.parametrize(
    "records, outputs, nodes, marks",
    [
        # the second x collapses into the first; references still name records
        ([X, X, Y, op_rec("f", [1])], [3, 1], [("x", []), ("y", []), ("f", [0])], [2, 0]),
        ([X, X, Y, op_rec("f", [2])], [3], [("x", []), ("y", []), ("f", [1])], [2]),
        # f(record 2) equals record 1 once its input resolves, and collapses too
        ([X, op_rec("f", [0]), X, op_rec("f", [2])], [3, 2], [("x", []), ("f", [0])], [1, 0]),
        ([X, X, stage_rec([1, 0], [("op|g", [(INPUT, 1)])])], [2], [("x", []), ("", [0, 0])], [1]),
        (CHAIN, [600], [("x", [])] + [("f", [i]) for i in range(599)], [599]),
        (MANY + [source_rec("s5"), op_rec("f", [300])], [301, 300], None, [300, 5]),
    ],
    ids=["earlier", "last", "cascade", "stage", "chain", "late"],
)
def test_references_name_records_when_equal_records_collapse(records, outputs, nodes, marks):
    g = load(blob(records, outputs))
    if nodes is not None:
        assert [(n["name"], n["inputs"]) for n in g.nodes()] == nodes
    else:
        assert g.nodes()[-1]["inputs"] == [5] and g.node_count() == 301
    assert g.outputs() == marks
    # an output may name any record, but no more
    n = len(records)
    assert decode_error(blob(records, [n])) == f"node reference {n} out of range"


def test_records_equal_up_to_nan_payload_collapse_keeping_the_first():
    records = [
        source_rec("x", [("k", FloatBits(NAN_PAYLOAD))]),
        source_rec("x", [("k", math.nan)]),
        source_rec("x", [("k", 0.0)]),
        source_rec("x", [("k", -0.0)]),
    ]
    g = load(blob(records))
    assert g.node_count() == 3
    assert [float_bits(n["params"]["k"]) for n in g.nodes()] == [NAN_PAYLOAD, 0, 1 << 63]


def test_stage_input_slots_are_not_checked():
    members = [("op|f", [(INPUT, 2**32 - 1), (INPUT, 7)]), ("op|g", [(MEMBER, 0)])]
    data = blob([source_rec("x"), stage_rec([0], members)])
    g = load(data)
    assert g.nodes()[1]["members"][0]["inputs"] == [("input", 2**32 - 1), ("input", 7)]
    assert g.serialize() == data


# ---------------------------------------------------------------------------
# Decode errors


def raw_source(name: bytes, params: bytes = u32(0)) -> bytes:
    return u8(0) + text(name) + params


def one(record: bytes, outputs=()) -> bytes:
    return blob([record], outputs)


def bare(record: bytes) -> bytes:
    """One record and nothing after it, not even the output count."""
    return MAGIC + u32(1) + record


def param(key, tag, payload: bytes = b"") -> bytes:
    return u32(1) + text(key) + u8(tag) + payload


GOOD = source_rec("x")
STAGE_OVER_X = stage_rec([0], [("op|f", [])])


@pytest.mark.parametrize(
    "data, message",
    [
        # header: too short wins over a bad magic
        (b"", TRUNCATED),
        (b"T", TRUNCATED),
        (b"XYZ", TRUNCATED),
        (b"TIR1", TRUNCATED),
        (b"TIR1\x00\x00\x00", TRUNCATED),
        (b"XXXX", BAD_MAGIC),
        (b"XYZW\x01", BAD_MAGIC),
        (b"TIR2" + bytes(8), BAD_MAGIC),
        (b"tir1" + bytes(8), BAD_MAGIC),
        (b"1RIT" + bytes(8), BAD_MAGIC),
        # counts that run past the end
        (MAGIC + u32(0), TRUNCATED),
        (MAGIC + u32(1) + u32(0), TRUNCATED),
        (MAGIC + u32(4_000_000_000) + u32(0), TRUNCATED),
        (MAGIC + u32(0) + u32(1) + bytes(7), TRUNCATED),
        (MAGIC + u32(0) + u32(0xFFFFFFFF), TRUNCATED),
        (bare(u8(0) + u32(0xFFFFFFFF) + b"x"), TRUNCATED),
        (bare(raw_source(b"x", u32(0xFFFFFFFF) + bytes(9))), TRUNCATED),
        (bare(raw_source(b"x", param("k", 0, bytes(7)))), TRUNCATED),
        (bare(raw_source(b"x", param("k", 1, bytes(7)))), TRUNCATED),
        (bare(raw_source(b"x", param("k", 2))), TRUNCATED),
        (bare(raw_source(b"x", param("k", 3, u32(3) + b"ab"))), TRUNCATED),
        (bare(u8(1) + text("f") + u32(0) + u32(0xFFFFFFFF) + bytes(7)), TRUNCATED),
        (bare(u8(3) + b"".join(text(v) for v in DESCRIPTOR.values())), TRUNCATED),
        (bare(u8(4) + u32(0) + u32(0xFFFFFFFF) + bytes(12)), TRUNCATED),
        (bare(u8(4) + u32(0) + u32(1) + text("op|f") + u32(0xFFFFFFFF) + bytes(9)), TRUNCATED),
        # tags
        (one(u8(7)), "invalid node tag 7"),
        (MAGIC + u32(3) + u8(255), "invalid node tag 255"),
        (one(raw_source(b"x", param("k", 4))), "invalid param tag 4"),
        (one(raw_source(b"x", param("k", 200, bytes(8)))), "invalid param tag 200"),
        (one(stage_rec([], [("op|f", [(2, 0)])])), "invalid stage-ref tag 2"),
        (one(stage_rec([], [("op|f", [(INPUT, 0), (9, 0)])])), "invalid stage-ref tag 9"),
        # references
        (one(op_rec("f", [0])), "node reference 0 out of range"),
        (blob([GOOD, op_rec("f", [0, 1])]), "node reference 1 out of range"),
        (blob([GOOD, op_rec("f", [5])]), "node reference 5 out of range"),
        (blob([GOOD, exchange_rec([2**64 - 1])]), "node reference 18446744073709551615 out of range"),
        (blob([GOOD, external_rec(DESCRIPTOR, [1])]), "node reference 1 out of range"),
        (blob([GOOD, stage_rec([1], [])]), "node reference 1 out of range"),
        (one(stage_rec([], [("op|f", [(MEMBER, 0)])])), "node reference 0 out of range"),
        (
            one(stage_rec([], [("op|f", []), ("op|g", [(MEMBER, 0), (MEMBER, 3)])])),
            "node reference 3 out of range",
        ),
        (one(GOOD, outputs=[1]), "node reference 1 out of range"),
        (one(GOOD, outputs=[0, 7, 9]), "node reference 7 out of range"),
        # text
        (one(raw_source(b"\xff")), BAD_UTF8),
        (one(raw_source(b"\xc0\x80")), BAD_UTF8),
        (one(raw_source(b"\xed\xa0\x80")), BAD_UTF8),
        (one(raw_source(b"a\xe2\x82")), BAD_UTF8),
        (one(raw_source(b"\xf4\x90\x80\x80")), BAD_UTF8),
        (one(raw_source(b"x", u32(1) + text(b"\x80") + u8(0) + bytes(8))), BAD_UTF8),
        (one(raw_source(b"x", param("k", 3, text(b"\xfe")))), BAD_UTF8),
        (one(stage_rec([], [(b"op|\xff", [])])), BAD_UTF8),
    ],
)
def test_decode_errors(data, message):
    assert decode_error(data) == message


@pytest.mark.parametrize("field", range(6))
def test_invalid_utf8_in_any_descriptor_field(field):
    values = [text(v) for v in DESCRIPTOR.values()] + [text("ref")]
    values[field] = text(b"ok\xff")
    record = u8(3) + b"".join(values[:5]) + u8(1) + values[5] + u32(0) + u32(0)
    assert decode_error(one(record)) == BAD_UTF8


@pytest.mark.parametrize(
    "data, message",
    [
        # a bad tag is reported before the fields it would start
        (MAGIC + u32(2) + u8(9), "invalid node tag 9"),
        # fields are read in record order: name, params, inputs
        (one(raw_source(b"\xff", param("k", 4))), BAD_UTF8),
        (one(u8(1) + text("f") + param("k", 5, bytes(8)) + ids([9])), "invalid param tag 5"),
        (bare(u8(1) + text("f") + u32(0) + ids([9])[:8]), TRUNCATED),
        # a stage reads its inputs before its members
        (one(stage_rec([3], [("op|f", [(2, 0)])])), "node reference 3 out of range"),
        (one(stage_rec([], [("op|f", [(MEMBER, 0), (7, 0)])])), "node reference 0 out of range"),
        (one(stage_rec([], [(b"\xff", [(7, 0)])])), BAD_UTF8),
        # the first failing record ends decoding, whatever follows
        (MAGIC + u32(2) + op_rec("f", [1]) + u8(8), "node reference 1 out of range"),
        (blob([u8(8), op_rec("f", [1])]), "invalid node tag 8"),
        # records before the output list; outputs in list order
        (blob([GOOD, u8(7)], outputs=[5]), "invalid node tag 7"),
        (one(GOOD, outputs=[3]) + b"trailing", "node reference 3 out of range"),
        (MAGIC + u32(1) + GOOD + u32(2) + u64(4), "node reference 4 out of range"),
        (MAGIC + u32(1) + GOOD + u32(2) + u64(0), TRUNCATED),
    ],
)
def test_which_error_wins(data, message):
    assert decode_error(data) == message


def test_every_proper_prefix_is_truncated():
    data = blob(every_kind_records(), outputs=[7, 0])
    for end in range(len(data)):
        assert decode_error(data[:end]) == TRUNCATED, end


# ---------------------------------------------------------------------------
# Round trips of random stores


@settings(max_examples=150, deadline=None)
@given(blob_records())
def test_random_blobs_load_as_written_and_write_canonically(drawn):
    records, outputs, trailing = drawn
    data = blob([r.write(canonical=False) for r in records], outputs) + trailing
    g = load(data)
    canonical = blob([r.write(canonical=True) for r in records], dict.fromkeys(outputs))
    assert g.serialize() == canonical
    marks = list(dict.fromkeys(outputs))
    assert g.outputs() == marks
    assert exact(g.nodes()) == exact([r.view(i, marks) for i, r in enumerate(records)])
    again = load(canonical)
    assert again.serialize() == canonical
    assert exact(again.nodes()) == exact(g.nodes())


@settings(max_examples=100, deadline=None)
@given(graphs(), st.booleans(), st.data())
def test_recorded_and_reduced_stores_round_trip(recipe, reduce_first, data):
    g, _, outputs = record(recipe)
    if reduce_first:
        g, _ = g.reduce(outputs=outputs)
    chosen = data.draw(st.lists(st.integers(0, g.node_count() - 1), max_size=4)) if g.node_count() else []
    for flagged in (None, chosen):
        written = g.serialize(flagged)
        back = load(written)
        marks = g.outputs() if flagged is None else list(dict.fromkeys(flagged))
        assert back.outputs() == marks
        assert back.serialize() == g.serialize(marks)
        assert exact(back.nodes()) == exact([dict(n, output=n["id"] in marks) for n in g.nodes()])
        assert back.node_map() == []
