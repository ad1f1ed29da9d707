"""The read-only views (nodes, outputs, node_map, node_count, to_dot) and the
serialize / deserialize arguments as Python sees them."""

import struct

import pytest

from trellan_core import GraphStore

DESCRIPTOR = dict(kind="model", content_hash="abc", framework="torch", version="2", io_schema="x")


# A few blob records written by hand, so that stage nodes (which only
# reductions and blobs can create) can be viewed without running a reduction.
def u32(n):
    return struct.pack("<I", n)


def u64(n):
    return struct.pack("<Q", n)


def text(s):
    data = s.encode()
    return u32(len(data)) + data


def source_record(name):
    return b"\x00" + text(name) + u32(0)


def stage_record(inputs, members):
    out = b"\x04" + u32(len(inputs)) + b"".join(u64(i) for i in inputs) + u32(len(members))
    for token, refs in members:
        out += text(token) + u32(len(refs))
        out += b"".join(bytes([kind]) + u32(value) for kind, value in refs)
    return out


def blob(records, outputs=()):
    body = b"".join(records)
    tail = u32(len(outputs)) + b"".join(u64(o) for o in outputs)
    return b"TIR1" + u32(len(records)) + body + tail


INPUT, MEMBER = 0, 1


def test_empty_store():
    g = GraphStore()
    assert (g.nodes(), g.outputs(), g.node_map(), g.node_count()) == ([], [], [], 0)
    assert len(g.serialize()) == 12
    assert isinstance(g.to_dot(), str)


def test_node_view_keys_in_order():
    g = GraphStore()
    src = g.add_source("x", {"n": 1})
    g.add_op("add", [src, src], {"scalar": 0.5})
    g.add_external(DESCRIPTOR, [src], {"batch": 4})
    g.add_exchange([src], {"scheme": "hash"})
    g.add_join([src, src])
    nodes = g.nodes()
    base = ["id", "output", "inputs", "kind", "name", "params"]
    assert [list(n) for n in nodes] == [base, base, base + ["descriptor"], base, base]
    assert nodes[0] == {
        "id": 0,
        "output": False,
        "inputs": [],
        "kind": "source",
        "name": "x",
        "params": {"n": 1},
    }
    assert nodes[3] == {
        "id": 3,
        "output": False,
        "inputs": [0],
        "kind": "exchange",
        "name": "",
        "params": {"scheme": "hash"},
    }
    assert nodes[4]["kind"] == "join" and nodes[4]["params"] == {}


def test_views_are_fresh_copies():
    g = GraphStore()
    g.add_source("x")
    first = g.nodes()
    first[0]["name"] = "changed"
    first[0]["inputs"].append(9)
    assert g.nodes()[0]["name"] == "x" and g.nodes()[0]["inputs"] == []


def test_stage_view():
    members = [
        ("op|add|scalar=f3ff0000000000000;side=sr", [(INPUT, 0)]),
        ("red|sum|k=btrue", [(MEMBER, 0), (INPUT, 1)]),
        ("op|a%7Cb", []),
    ]
    g = GraphStore.deserialize(blob([source_record("x"), stage_record([0, 0], members)], [1]))
    stage = g.nodes()[1]
    assert list(stage) == [
        "id", "output", "inputs", "kind", "name", "params", "n_members", "members"
    ]
    assert stage["output"] is True and stage["kind"] == "stage" and stage["name"] == ""
    assert stage["params"] == {} and stage["n_members"] == 3
    add = {"kind": "op", "name": "add", "params": {"scalar": 1.0, "side": "r"}}
    total = {"kind": "red", "name": "sum", "params": {"k": True}}
    assert stage["members"] == [
        dict(add, inputs=[("input", 0)]),
        dict(total, inputs=[("member", 0), ("input", 1)]),
        {"kind": "op", "name": "a|b", "params": {}, "inputs": []},
    ]
    assert [list(m) for m in stage["members"]] == [["kind", "name", "params", "inputs"]] * 3


@pytest.mark.parametrize(
    "token, shown",
    [
        ("src|x", '"src|x"'),
        ("op|f|k", '"op|f|k"'),
        ('op|q"\\\t|k=x1', '"op|q\\"\\\\\\t|k=x1"'),
    ],
)
def test_unparseable_stage_member(token, shown):
    g = GraphStore.deserialize(blob([source_record("x"), stage_record([0], [(token, [])])]))
    with pytest.raises(ValueError) as info:
        g.nodes()
    assert str(info.value) == "unparseable stage member token " + shown
    assert g.node_count() == 2


def test_outputs_and_node_map_of_a_reduced_store():
    g = GraphStore()
    src = g.add_source("x")
    a = g.add_op("a", [src])
    b = g.add_op("b", [a])
    g.add_source("unused")
    reduced, _ = g.reduce(outputs=[b, b])
    assert reduced.outputs() == [1]
    assert reduced.node_map() == [(0, None), (1, 0), (1, 1), None]
    assert g.node_map() == []


@pytest.mark.parametrize("pass_as", ["positional", "keyword"])
def test_serialize_flags_exactly_the_given_outputs(pass_as):
    g = GraphStore()
    for name in "abc":
        g.add_source(name)
    outputs = (2, 0, 2)
    data = g.serialize(outputs) if pass_as == "positional" else g.serialize(outputs=outputs)
    assert data.endswith(u32(3) + u64(2) + u64(0) + u64(2))
    back = GraphStore.deserialize(data)
    assert back.outputs() == [2, 0]
    assert back.nodes() == [dict(n, output=n["id"] in (0, 2)) for n in g.nodes()]
    assert back.serialize() == g.serialize([2, 0])
    assert g.serialize([]) == g.serialize(None) == g.serialize()


@pytest.mark.parametrize(
    "outputs, exc, message",
    [
        ([5], ValueError, "no node with id 5"),
        ([0, 3, 9], ValueError, "no node with id 3"),
        ("0", TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
        ([-1], OverflowError, "can't convert negative int to unsigned"),
    ],
)
def test_serialize_rejects_bad_outputs(outputs, exc, message):
    g = GraphStore()
    for name in "abc":
        g.add_source(name)
    with pytest.raises(exc) as info:
        g.serialize(outputs)
    assert str(info.value) == message


def test_round_trip_keeps_ids_and_bytes():
    g = GraphStore()
    src = g.add_source("x", {"nan": float("nan"), "z": -0.0})
    g.add_external(dict(DESCRIPTOR, preprocessing_ref=""), [src])
    g.add_join([src, src], {"how": "left"})
    data = g.serialize()
    back = GraphStore.deserialize(data)
    assert back.serialize() == data
    assert repr(back.nodes()) == repr(g.nodes())
    assert back.node_map() == []


def test_deserialize_accepts_bytes_subclasses():
    class Blob(bytes):
        pass

    data = GraphStore().serialize()
    assert GraphStore.deserialize(Blob(data)).node_count() == 0
    assert GraphStore.deserialize(data=data).node_count() == 0


@pytest.mark.parametrize(
    "data, type_name",
    [
        (bytearray(b"TIR1"), "bytearray"),
        (memoryview(b"TIR1"), "memoryview"),
        ("TIR1", "str"),
        (None, "NoneType"),
    ],
)
def test_deserialize_requires_bytes(data, type_name):
    with pytest.raises(TypeError) as info:
        GraphStore.deserialize(data)
    assert str(info.value) == f"argument 'data': '{type_name}' object is not an instance of 'bytes'"


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "truncated trellan IR blob"),
        (b"XXXX", "not a trellan IR blob (bad magic/version)"),
    ],
)
def test_deserialize_reports_decode_errors(data, message):
    with pytest.raises(ValueError) as info:
        GraphStore.deserialize(data)
    assert str(info.value) == message
