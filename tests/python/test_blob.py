"""The IR blob byte for byte: what serialize writes for every node kind, what deserialize accepts, how it normalizes
what it reads, and which error it reports for every kind of malformed input."""

import copy, math, pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from strategies import (
    DESCRIPTOR, INPUT, MAGIC, MEMBER, BoolByte, FloatBits, bits_float, blob, exact, exchange_rec, external_rec,
    digest_list, graphs, ids, join_rec, model_digests, op_rec, record, reduction_rec, source_rec, stage_rec, text,
    u8, u32, u64
)
from trellan_core import GraphStore

TRUNCATED = "truncated trellan IR blob"
BAD_MAGIC = "not a trellan IR blob (bad magic/version)"
BAD_UTF8 = "invalid utf-8 in trellan IR blob"
NAN_PAYLOAD, SIGNALLING_NAN = 0xFFF8000000000123, 0x7FF0000000000001
# Every width of UTF-8 sequence at the edges of its range, and one across an eight-byte block.
WIDE = "1234567é" + "\u0800\ud7ff\ue000€\U00010000𝄞\U0010ffff" + "abcdefgh"


def decode_error(data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        GraphStore.deserialize(data)
    return str(info.value)


DATA = blob([
    source_rec(WIDE, [("a", 1), ("b", FloatBits(NAN_PAYLOAD)), ("c", -(2**63)), ("é€", "𝄞")]),
    op_rec("add", [0], [("scalar", 0.5), ("side", "r")]),
    reduction_rec("sum", [1], [("axis", -3), ("keep", True)]),
    external_rec(dict(DESCRIPTOR, preprocessing_ref="prép"), [0, 2], [("k", FloatBits(SIGNALLING_NAN))]),
    external_rec(DESCRIPTOR, []),
    stage_rec([1, 2], [("op|add|scalar=f3ff0000000000000;side=sr", [(INPUT, 0)]), ("red|g|k=btrue", [(MEMBER, 0), (INPUT, 1)]),
                       (f"op|a%7Cb{WIDE}", [(INPUT, 2**32 - 1), (INPUT, 7)])]),  # input slots are not checked
    exchange_rec([5], [("scheme", "hash")]),
    join_rec([6, 6], [("how", "left"), ("z", -0.0)]),
], outputs=[7, 0])


def test_every_kind_reads_and_writes_back_byte_for_byte():
    g = GraphStore.deserialize(DATA)
    assert g.serialize() == DATA and g.outputs() == [7, 0] and g.node_map() == []
    nodes = g.nodes()
    assert [(n["kind"], n["name"], n["inputs"], n["output"]) for n in nodes] == [
        ("source", WIDE, [], True), ("op", "add", [0], False), ("reduction", "sum", [1], False),
        ("external", "", [0, 2], False), ("external", "", [], False), ("stage", "", [1, 2], False),
        ("exchange", "", [5], False), ("join", "", [6, 6], True)]
    assert exact([n["params"] for n in nodes]) == exact([
        {"a": 1, "b": bits_float(NAN_PAYLOAD), "c": -(2**63), "é€": "𝄞"}, {"scalar": 0.5, "side": "r"},
        {"axis": -3, "keep": True}, {"k": bits_float(SIGNALLING_NAN)}, {}, {}, {"scheme": "hash"},
        {"how": "left", "z": -0.0}])
    assert nodes[3]["descriptor"] == dict(DESCRIPTOR, preprocessing_ref="prép")
    assert list(nodes[4]["descriptor"].items()) == [*DESCRIPTOR.items(), ("preprocessing_ref", None)]
    assert [list(m.items()) for m in nodes[5]["members"]] == [
        [("kind", "op"), ("name", "add"), ("params", {"scalar": 1.0, "side": "r"}), ("inputs", [("input", 0)])],
        [("kind", "red"), ("name", "g"), ("params", {"k": True}), ("inputs", [("member", 0), ("input", 1)])],
        [("kind", "op"), ("name", "a|b" + WIDE), ("params", {}), ("inputs", [("input", 2**32 - 1), ("input", 7)])]]
    for end in range(len(DATA)):  # and every proper prefix is truncated
        assert decode_error(DATA[:end]) == TRUNCATED, end


def test_writer_layout():
    assert GraphStore().serialize() == b"TIR1" + bytes(8)
    g = GraphStore()
    g.add_source("x", {"b": "é|", "a": 2**63 - 1})
    assert g.serialize([0]) == bytes.fromhex(
        "54495231 01000000 00 01000000 78 02000000 01000000 61 00 ffffffffffffff7f"
        "01000000 62 03 03000000 c3a97c 01000000 0000000000000000".replace(" ", ""))


X = source_rec("x")
FLOATS = [NAN_PAYLOAD, SIGNALLING_NAN, 0x7FF8000000000000, 0x8000000000000000, 0x0000000000000001]
# (what the reader is given, what the store writes back)
NORMALIZED = [
    (blob([X], [0]) + b"\x00garbage\xff", blob([X], [0])),
    *[(blob([source_rec("x", [("k", BoolByte(b))])]), blob([source_rec("x", [("k", b != 0)])]))
      for b in (0, 1, 2, 255)],
    *[(blob([external_rec(dict(DESCRIPTOR, preprocessing_ref="r"), [], presence=p)]),
       blob([external_rec(dict(DESCRIPTOR, preprocessing_ref="r"), [])])) for p in (2, 255)],
    (blob([X, source_rec("y"), source_rec("z")], [2, 0, 2]), blob([X, source_rec("y"), source_rec("z")], [2, 0])),
    (blob([source_rec(f"x{i}", [("v", FloatBits(b))]) for i, b in enumerate(FLOATS)]),) * 2,
    (blob([source_rec("x", [("b", 1), ("a", 2), ("B", 3), ("a", 4), ("aa", 5), ("", 6)])]),
     blob([source_rec("x", [("", 6), ("B", 3), ("a", 2), ("a", 4), ("aa", 5), ("b", 1)])])),
    # records equal up to a NaN's payload collapse into the first
    (blob([source_rec("x", [("k", v)]) for v in (FloatBits(NAN_PAYLOAD), math.nan, 0.0, -0.0)]),
     blob([source_rec("x", [("k", v)]) for v in (FloatBits(NAN_PAYLOAD), 0.0, -0.0)])),
]


@pytest.mark.parametrize("given, written", NORMALIZED)
def test_what_the_reader_normalizes(given, written):
    assert GraphStore.deserialize(type("Blob", (bytes,), {})(given)).serialize() == written  # a bytes subclass too


CHAIN = [X, X] + [op_rec("f", [i]) for i in range(1, 600)]  # references across read batches


@pytest.mark.parametrize("records, outputs, nodes, marks", [
    # the second x collapses into the first; references still name records
    ([X, X, source_rec("y"), op_rec("f", [1])], [3, 1], [("x", []), ("y", []), ("f", [0])], [2, 0]),
    # f(record 2) equals record 1 once its input resolves, and collapses too
    ([X, op_rec("f", [0]), X, op_rec("f", [2])], [3, 2], [("x", []), ("f", [0])], [1, 0]),
    ([X, X, stage_rec([1, 0], [("op|g", [(INPUT, 1)])])], [2], [("x", []), ("", [0, 0])], [1]),
    (CHAIN, [600], [("x", [])] + [("f", [i]) for i in range(599)], [599]),
], ids=["earlier", "cascade", "stage", "chain"])
def test_references_name_records_when_equal_records_collapse(records, outputs, nodes, marks):
    g = GraphStore.deserialize(blob(records, outputs))
    assert [(n["name"], n["inputs"]) for n in g.nodes()] == nodes and g.outputs() == marks
    # an output may name any record, but no more
    assert decode_error(blob(records, [len(records)])) == f"node reference {len(records)} out of range"


def raw_source(name: bytes, params: bytes = u32(0)) -> bytes:
    return u8(0) + text(name) + params


def one(record: bytes, outputs=()) -> bytes:
    return blob([record], outputs)


def bare(record: bytes) -> bytes:
    # One record and nothing after it, not even the output count.
    return MAGIC + u32(1) + record


def param(key, tag, payload: bytes = b"") -> bytes:
    return u32(1) + text(key) + u8(tag) + payload


HUGE = 0xFFFFFFFF
FIELDS = b"".join(text(v) for v in DESCRIPTOR.values())


@pytest.mark.parametrize("data, message", [
    # header: too short wins over a bad magic
    (b"", TRUNCATED), (b"XYZ", TRUNCATED), (b"TIR1\x00\x00\x00", TRUNCATED), (b"XXXX", BAD_MAGIC),
    (b"TIR2" + bytes(8), BAD_MAGIC),
    # every count and field that runs past the end; huge counts reserve nothing
    (MAGIC + u32(0), TRUNCATED), (MAGIC + u32(HUGE) + u32(0), TRUNCATED),
    (MAGIC + u32(0) + u32(1) + bytes(7), TRUNCATED), (MAGIC + u32(1) + X + u32(HUGE) + u64(0), TRUNCATED),
    (bare(u8(0) + u32(HUGE) + b"x"), TRUNCATED),
    (bare(raw_source(b"x", u32(HUGE) + text("k") + u8(2) + u8(1))), TRUNCATED),
    (bare(raw_source(b"x", param("k", 0, bytes(7)))), TRUNCATED), (bare(raw_source(b"x", param("k", 2))), TRUNCATED),
    (bare(raw_source(b"x", param("k", 3, u32(3) + b"ab"))), TRUNCATED),
    (bare(u8(1) + text("f") + u32(0) + u32(HUGE) + bytes(7)), TRUNCATED), (bare(u8(3) + FIELDS), TRUNCATED),
    (bare(u8(4) + u32(0) + u32(HUGE) + text("op|f") + u32(0)), TRUNCATED),
    (bare(u8(4) + u32(0) + u32(1) + text("op|f") + u32(HUGE) + u8(0) + u32(0)), TRUNCATED),
    # tags
    (one(u8(7)), "invalid node tag 7"), (MAGIC + u32(3) + u8(255), "invalid node tag 255"),
    (one(raw_source(b"x", param("k", 4))), "invalid param tag 4"),
    (one(stage_rec([], [("op|f", [(INPUT, 0), (2, 0)])])), "invalid stage-ref tag 2"),
    # references
    (one(op_rec("f", [0])), "node reference 0 out of range"),
    (blob([X, exchange_rec([2**64 - 1])]), "node reference 18446744073709551615 out of range"),
    (blob([X, external_rec(DESCRIPTOR, [1])]), "node reference 1 out of range"),
    (blob([X, stage_rec([1], [])]), "node reference 1 out of range"),
    (one(stage_rec([], [("op|f", [(MEMBER, 0)])])), "node reference 0 out of range"),
    (one(stage_rec([], [("op|f", []), ("op|g", [(MEMBER, 0), (MEMBER, 3)])])), "node reference 3 out of range"),
    (one(X, outputs=[0, 7, 9]), "node reference 7 out of range"),
    # text: every way a sequence can be wrong, and every field that holds text
    *[(one(raw_source(bad)), BAD_UTF8) for bad in [
        b"\x80", b"\xc0\x80", b"\xf5\x80\x80\x80", b"\xe0\x9f\xbf", b"\xf0\x8f\xbf\xbf", b"\xed\xa0\x80",
        b"\xf4\x90\x80\x80", b"a\xe2\x82", b"1234567\xe2\x82", b"\xf0\x90\x80\x7f"]],
    (one(raw_source(b"x", param(b"\x80", 0, bytes(8)))), BAD_UTF8),
    (one(raw_source(b"x", param("k", 3, text(b"\xfe")))), BAD_UTF8),
    (one(stage_rec([], [(b"op|\xff", [])])), BAD_UTF8),
    (one(u8(3) + text(b"\xff") + FIELDS[8:] + u8(0) + u32(0) + u32(0)), BAD_UTF8),
    (one(u8(3) + FIELDS + u8(1) + text(b"ok\xff") + u32(0) + u32(0)), BAD_UTF8),
])
def test_decode_errors(data, message):
    assert decode_error(data) == message


@pytest.mark.parametrize("data, message", [
    # a bad tag is reported before the fields it would start
    (MAGIC + u32(2) + u8(9), "invalid node tag 9"),
    # fields are read in record order: name, params, inputs
    (one(raw_source(b"\xff", param("k", 4))), BAD_UTF8),
    (one(u8(1) + text("f") + param("k", 5, bytes(8)) + ids([9])), "invalid param tag 5"),
    (bare(u8(1) + text("f") + u32(0) + ids([9])[:8]), TRUNCATED),
    # inputs in list order, each checked as soon as it is read
    (blob([X, X, op_rec("f", [0, 2, 3])]), "node reference 2 out of range"),
    (MAGIC + u32(2) + X + u8(1) + text("f") + u32(0) + u32(3) + u64(5), "node reference 5 out of range"),
    (MAGIC + u32(2) + X + u8(1) + text("f") + u32(0) + u32(3) + u64(0), TRUNCATED),
    # a stage reads its inputs before its members
    (one(stage_rec([3], [("op|f", [(2, 0)])])), "node reference 3 out of range"),
    (one(stage_rec([], [("op|f", [(MEMBER, 0), (7, 0)])])), "node reference 0 out of range"),
    (one(stage_rec([], [(b"\xff", [(7, 0)])])), BAD_UTF8),
    # the first failing record ends decoding, whatever follows
    (MAGIC + u32(2) + op_rec("f", [1]) + u8(8), "node reference 1 out of range"),
    (blob([u8(8), op_rec("f", [1])]), "invalid node tag 8"),
    # records before the output list; outputs in list order
    (blob([X, u8(7)], outputs=[5]), "invalid node tag 7"),
    (one(X, outputs=[3]) + b"trailing", "node reference 3 out of range"),
    (MAGIC + u32(1) + X + u32(2) + u64(4), "node reference 4 out of range"),
    (MAGIC + u32(1) + X + u32(2) + u64(0), TRUNCATED),
])
def test_which_error_wins(data, message):
    assert decode_error(data) == message


@settings(max_examples=100, deadline=None)
@given(graphs(), st.booleans(), st.data())
def test_recorded_and_reduced_stores_round_trip(recipe, reduce_first, data):
    g, _, outputs = record(recipe)
    if reduce_first:
        g, _ = g.reduce(outputs=outputs)
    chosen = data.draw(st.lists(st.integers(0, g.node_count() - 1), max_size=4)) if g.node_count() else []
    for flagged in (None, chosen):
        back = GraphStore.deserialize(g.serialize(flagged))
        marks = g.outputs() if flagged is None else list(dict.fromkeys(flagged))
        assert back.outputs() == marks and back.serialize() == g.serialize(marks)
        assert exact(back.nodes()) == exact([dict(n, output=n["id"] in marks) for n in g.nodes()])
        # value digests as the README defines them, the same for stages read back from blobs
        assert back.node_map() == [] and digest_list(back) == digest_list(g) == model_digests(g.nodes())
    # a pickle (and so a copy) keeps the node map, which a blob leaves out
    for twin in (pickle.loads(pickle.dumps(g)), copy.deepcopy(g)):
        assert (twin.serialize(), twin.outputs(), twin.node_map()) == (g.serialize(), g.outputs(), g.node_map())
