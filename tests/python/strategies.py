"""Shared test material: the one hand writer of IR blob bytes, random pipeline graphs (hypothesis strategies and the
code that records them) and the simple model of what a reduction merges."""

import math, struct
from collections import namedtuple
from dataclasses import dataclass, field

from hypothesis import strategies as st

from trellan.changes import COMMUTATIVE, is_identity
from trellan_core import GraphStore

REPORT_KEYS = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"]
DESCRIPTOR = dict(kind="onnx", content_hash="sha:1", framework="ort", version="1.17", io_schema="f32")


def float_bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def bits_float(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def canon(value):
    # A param value made comparable as the IR compares it: floats by bits, every NaN one.
    if isinstance(value, float):
        return ("f", 0x7FF8000000000000 if math.isnan(value) else float_bits(value))
    return (type(value).__name__, value)


def same_params(a: dict, b: dict) -> bool:
    return [(k, canon(v)) for k, v in a.items()] == [(k, canon(v)) for k, v in b.items()]


def exact(value):
    # A view made comparable with == as it is: key order, types (a bool is no int), floats by their bits.
    if isinstance(value, dict):
        return [(k, exact(v)) for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [exact(v) for v in value])
    return (type(value).__name__, float_bits(value) if isinstance(value, float) else value)


# ---------------------------------------------------------------------------
# Hand-written IR blobs

MAGIC = b"TIR1"
SOURCE, OP, REDUCTION, EXTERNAL, STAGE, EXCHANGE, JOIN = range(7)
INPUT, MEMBER = 0, 1


FloatBits = namedtuple("FloatBits", "bits")  # a float parameter given by its exact 64-bit pattern
BoolByte = namedtuple("BoolByte", "byte")  # a Bool parameter written with an arbitrary payload byte


u8, u32, u64 = (struct.Struct(f).pack for f in ("<B", "<I", "<Q"))


def text(s: str | bytes) -> bytes:
    data = s.encode() if isinstance(s, str) else s
    return u32(len(data)) + data


def param_value(v) -> bytes:
    if isinstance(v, (bool, BoolByte)):
        return u8(2) + u8(v.byte if isinstance(v, BoolByte) else int(v))
    if isinstance(v, int):
        return u8(0) + struct.pack("<q", v)
    if isinstance(v, (float, FloatBits)):
        return u8(1) + u64(v.bits if isinstance(v, FloatBits) else float_bits(v))
    return u8(3) + text(v)


def params_field(pairs=()) -> bytes:
    # A params field with the (key, value) pairs in the given order.
    return u32(len(pairs)) + b"".join(text(k) + param_value(v) for k, v in pairs)


def ids(values) -> bytes:
    return u32(len(values)) + b"".join(u64(v) for v in values)


def source_rec(name, params=()) -> bytes:
    return u8(SOURCE) + text(name) + params_field(params)


def op_rec(name, inputs, params=(), tag=OP) -> bytes:
    return u8(tag) + text(name) + params_field(params) + ids(inputs)


def reduction_rec(name, inputs, params=()) -> bytes:
    return op_rec(name, inputs, params, tag=REDUCTION)


def external_rec(descriptor: dict, inputs, params=(), presence: int = 1) -> bytes:
    out = u8(EXTERNAL) + b"".join(text(descriptor[f]) for f in DESCRIPTOR)
    ref = descriptor.get("preprocessing_ref")
    out += u8(0) if ref is None else u8(presence) + text(ref)
    return out + params_field(params) + ids(inputs)


def stage_rec(inputs, members) -> bytes:
    # members: (token, [(INPUT or MEMBER, value), ...]) pairs.
    out = u8(STAGE) + ids(inputs) + u32(len(members))
    for token, refs in members:
        out += text(token) + u32(len(refs)) + b"".join(u8(k) + u32(v) for k, v in refs)
    return out


def exchange_rec(inputs, params=(), tag=EXCHANGE) -> bytes:
    return u8(tag) + params_field(params) + ids(inputs)


def join_rec(inputs, params=()) -> bytes:
    return exchange_rec(inputs, params, tag=JOIN)


def blob(records, outputs=()) -> bytes:
    outputs = list(outputs)
    return MAGIC + u32(len(records)) + b"".join(records) + ids(outputs)


def result(pair) -> tuple:
    # A reduction's (store, report) made comparable: the store's bytes, outputs and node map, and the report.
    store, report = pair
    return store.serialize(), store.outputs(), store.node_map(), report


def store_of(records, outputs=()) -> GraphStore:
    return GraphStore.deserialize(blob(records, outputs))


# ---------------------------------------------------------------------------
# Random pipeline graphs


@dataclass
class Node:
    kind: str  # source, op, reduction, external, exchange, join
    name: str = ""
    params: dict = field(default_factory=dict)
    inputs: list = field(default_factory=list)  # indexes of earlier recipe nodes
    descriptor: dict | None = None


@dataclass
class Recipe:
    nodes: list
    outputs: list  # recipe indexes, order and repeats significant


def record_node(store: GraphStore, node: Node, ids: list) -> int:
    inputs = [ids[i] for i in node.inputs]
    params = node.params or None
    if node.kind == "source":
        return store.add_source(node.name, params)
    if node.kind == "external":
        return store.add_external(node.descriptor, inputs, params)
    if node.kind in ("exchange", "join"):
        return getattr(store, "add_" + node.kind)(inputs, params)
    return getattr(store, "add_" + node.kind)(node.name, inputs, params)


def record(recipe: Recipe):
    # Records every node; returns (store, ids, output ids). ids[i] is the store id of recipe node i (interning may
    # give equal nodes one id).
    store, ids = GraphStore(), []
    for node in recipe.nodes:
        ids.append(record_node(store, node, ids))
    return store, ids, [ids[i] for i in recipe.outputs]


OP_NAMES = (*sorted(COMMUTATIVE), "sub", "f", "add|x")
# Look-alike texts made of the token separators, so that different nodes often have names, params and descriptors
# that a careless encoding would confuse.
_tiny = st.text(alphabet=st.sampled_from("a|;=%-,"), max_size=3)
_tiny_params = st.dictionaries(_tiny, st.sampled_from([0, 1, True, False, 0.0, -0.0, 1.0, math.nan, "", "a|"]),
                               max_size=2)
_tiny_descriptor = st.builds(lambda fields, ref: dict(zip(DESCRIPTOR, fields), preprocessing_ref=ref),
                             st.lists(_tiny, min_size=5, max_size=5), st.none() | _tiny)
# Scalar ops over one input: the identities and their near misses alike; the
# model decides which fold away.
_scalar_params = st.builds(lambda scalar, side, extra: {"scalar": scalar, "side": side, **extra},
                           st.sampled_from([0.0, 1.0, 0.0, 1.0, -0.0, 0, 2.0]), st.sampled_from("rlrlc"),
                           st.sampled_from([{}, {}, {}, {"extra": 1}]))
_plain_params = st.one_of(st.just({}), st.just({}), st.builds(lambda k: {"k": k}, st.integers(0, 2)), _tiny_params)


@st.composite
def _inputs(draw, below: int, low: int, high: int) -> list:
    # Mostly recent nodes, so that chains form; sometimes any earlier one.
    pick = st.one_of(st.integers(max(0, below - 3), below - 1), st.integers(0, below - 1))
    return [draw(pick) for _ in range(draw(st.integers(low, high)))]


DESCRIPTORS = [dict(DESCRIPTOR, kind="a|b", content_hash="c"), dict(DESCRIPTOR, kind="a", content_hash="b|c"),
               dict(DESCRIPTOR, kind="a", content_hash="b|c", preprocessing_ref="-")]


@st.composite
def graphs(draw, max_nodes: int = 14) -> Recipe:
    # A random DAG: a few sources, then ops with 0 to 3 inputs (identity operators and their near misses included),
    # reductions, exchanges, joins, externals and commutative twins; then outputs (possibly none, with repeats, or
    # every node that nothing reads). Some nodes echo earlier ones, so that the optimizer has work: the same node over equivalent
    # inputs, or a commutative op mirrored.
    nodes, equivalent = [], []  # per node, a list shared by the nodes known to be equal
    for i in range(draw(st.integers(1, 3))):
        nodes.append(Node("source", "xyz"[i], draw(st.sampled_from([{}, {}, {"n": i}]))))
        equivalent.append([i])
    kinds = ["op"] * 4 + ["scalar"] * 2 + ["reduction", "exchange", "join", "external"] + ["echo"] * 3 + ["twin"]
    for _ in range(draw(st.integers(0, max_nodes))):
        below, same = len(nodes), None
        kind = draw(st.sampled_from(kinds))
        if kind == "echo":
            node, same = draw(_echo(nodes, equivalent))
        elif kind == "twin":  # a commutative op, then its mirror
            a, b = draw(_inputs(below, 2, 2))
            name = draw(st.sampled_from(sorted(COMMUTATIVE)))
            nodes.append(Node("op", name, {}, [a, b]))
            equivalent.append(same := [below])
            below, node = below + 1, Node("op", name, {}, [b, a])
        elif kind == "scalar":
            name = draw(st.sampled_from(["add", "mul", "add", "mul", "sub"]))
            node = Node("op", name, draw(_scalar_params), draw(_inputs(below, 1, 2)))
        elif kind == "op":
            low = 0 if draw(st.integers(0, 15)) == 0 else 1  # rarely an op with no inputs
            name = draw(st.sampled_from(OP_NAMES) | st.sampled_from(OP_NAMES) | _tiny)
            node = Node("op", name, draw(_plain_params), draw(_inputs(below, low, 3)))
        elif kind == "reduction":
            node = Node(kind, draw(st.sampled_from(["sum", "max"])), draw(_plain_params), draw(_inputs(below, 1, 1)))
        elif kind in ("exchange", "join"):
            node = Node(kind, "", draw(st.sampled_from([{}, {"scheme": "hash"}])), draw(_inputs(below, 1, 2)))
        else:
            descriptor = draw(st.sampled_from(DESCRIPTORS) | _tiny_descriptor)
            node = Node("external", descriptor=descriptor, inputs=draw(_inputs(below, 0, 2)))
        nodes.append(node)
        same = [] if same is None else same
        same.append(below)
        equivalent.append(same)
    used, some = {i for n in nodes for i in n.inputs}, st.integers(0, len(nodes) - 1)
    return Recipe(nodes, draw(st.lists(some, max_size=4) | st.lists(some, min_size=1, max_size=4)
                              | st.just([i for i in range(len(nodes)) if i not in used])))


@st.composite
def _echo(draw, nodes, equivalent):
    # A node equal to an earlier one under the rewrite rules, and the list of nodes it is equal to.
    twins = [i for i, n in enumerate(nodes) if n.name in COMMUTATIVE and not n.params and len(n.inputs) == 2]
    old = nodes[k := draw(st.sampled_from(twins) if twins and draw(st.booleans()) else st.integers(0, len(nodes) - 1))]
    if old.kind == "source" or draw(st.booleans()):
        name, scalar = draw(st.sampled_from([("add", 0.0), ("mul", 1.0)]))
        return Node("op", name, {"scalar": scalar, "side": draw(st.sampled_from("rl"))}, [k]), equivalent[k]
    inputs = [draw(st.sampled_from(equivalent[i])) for i in old.inputs]
    if old.kind == "op" and old.name in COMMUTATIVE and not old.params and draw(st.booleans()):
        inputs.reverse()
    return Node(old.kind, old.name, dict(old.params), inputs, old.descriptor), equivalent[k]


@st.composite
def batches(draw, known: int):
    # A batch for a store of `known` nodes: the builder's kind, name and params, and its rows, which are inputs lists
    # (ids that exist, repeat each other, name nodes only the batch would make, or fail to convert) or, for
    # sources, params dicts (some that fail to convert).
    kind = draw(st.sampled_from(["op", "reduction", "source"]))
    if kind == "source":
        row = _plain_params | st.none() | st.just({"k": [1]})
        return kind, draw(st.sampled_from("xy")), None, draw(st.lists(row, max_size=6))
    ids = st.integers(0, known + 1) | st.integers(0, known - 1) | st.sampled_from([-1, 2**64, "0", True])
    rows = draw(st.lists(st.lists(ids, min_size=2, max_size=2) | st.lists(ids, max_size=3), max_size=6))
    return kind, draw(st.sampled_from(["add", "f"])), draw(_plain_params | st.none()), rows


# ---------------------------------------------------------------------------
# The model: what the rules merge


def reachable(nodes: list, outputs) -> set:
    # Ids of the nodes from which some output can be reached.
    seen, stack = set(), list(outputs)
    while stack:
        i = stack.pop()
        if i not in seen:
            seen.add(i)
            stack.extend(nodes[i]["inputs"])
    return seen


def operator_of(node):
    params = tuple((k, canon(v)) for k, v in node["params"].items())
    return node["kind"], node["name"], params, tuple(node.get("descriptor", {}).items())


def classes(nodes):
    # The merge classes the rules imply: an identity op joins its input, a commutative op is taken with its inputs
    # unordered, and equal operators over equal classes are one class. Returns (class per node, class count).
    table, of = {}, []
    for node in nodes:
        ins = [of[i] for i in node["inputs"]]
        if is_identity(node):
            of.append(ins[0])
            continue
        if node["kind"] == "op" and node["name"] in COMMUTATIVE and not node["params"] and len(ins) == 2:
            ins.sort()
        of.append(table.setdefault((operator_of(node), tuple(ins)), len(table)))
    return of, len(table)


class Endless:
    # A sequence that claims more items than memory could hold.

    def __len__(self) -> int:
        return 2**62

    def __getitem__(self, i: int) -> int:
        return 0


def digest_list(store: GraphStore) -> list:
    data = store.digests()
    return [data[i : i + 32] for i in range(0, len(data), 32)]


def exact_classes(nodes: list, table: dict) -> list:
    # Nodes that perform the same operations on the same inputs in the same order share a class, no rule applied; a
    # stage is the class of its last member, its members taken as the ops they stand for. `table` may be shared by
    # several graphs, so that their classes compare.
    out = []
    for n in nodes:
        if n["kind"] == "stage":
            members = []
            for m in n["members"]:
                ins = tuple(out[n["inputs"][v]] if ref == "input" else members[v] for ref, v in m["inputs"])
                kind = {"op": "op", "red": "reduction"}[m["kind"]]
                members.append(table.setdefault((operator_of(dict(m, kind=kind)), ins), len(table)))
            out.append(members[-1])
        else:
            out.append(table.setdefault((operator_of(n), tuple(out[i] for i in n["inputs"])), len(table)))
    return out


def check_digests_across_reduction(recorded: GraphStore, reduced: GraphStore) -> None:
    # A recorded node that landed as a node of its own, or as the sink of a stage, keeps its digest exactly when the
    # reduction only fused or removed duplicates on its way: where the rules rewrote it, its value is named anew.
    before, after, landed = digest_list(recorded), digest_list(reduced), reduced.nodes()
    table: dict = {}
    was, now = exact_classes(recorded.nodes(), table), exact_classes(landed, table)
    for n, entry in enumerate(reduced.node_map()):
        if entry is not None and entry[1] in (None, landed[entry[0]].get("n_members", 0) - 1):
            assert (after[entry[0]] == before[n]) == (now[entry[0]] == was[n]), (n, entry)


# ---------------------------------------------------------------------------
# The value digest as the README defines it (version 2), written from that text: BLAKE3 for inputs of one chunk (all
# inputs here are), the operator encoding, and the node rule.

_IV = (0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A, 0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19)
_PERMUTATION = (2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8)
_KEYED, _CONTEXT, _MATERIAL = 16, 32, 64
_M32 = 0xFFFFFFFF


def _g(s, a, b, c, d, x, y):
    for mx, r1, r2 in ((x, 16, 12), (y, 8, 7)):
        s[a] = (s[a] + s[b] + mx) & _M32
        s[d] = ((s[d] ^ s[a]) >> r1 | (s[d] ^ s[a]) << (32 - r1)) & _M32
        s[c] = (s[c] + s[d]) & _M32
        s[b] = ((s[b] ^ s[c]) >> r2 | (s[b] ^ s[c]) << (32 - r2)) & _M32


def _compress(cv, block: bytes, length: int, flags: int) -> list:
    m, s = list(struct.unpack("<16I", block)), [*cv, *_IV[:4], 0, 0, length, flags]
    for r in range(7):
        for k, (a, b, c, d) in enumerate(((0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15),
                                          (0, 5, 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14))):
            _g(s, a, b, c, d, m[2 * k], m[2 * k + 1])
        m = [m[i] for i in _PERMUTATION]
    return [s[i] ^ s[i + 8] for i in range(8)]


def blake3(data: bytes, key: bytes | None = None, flags: int = 0) -> bytes:
    # One chunk (at most 1024 bytes), so its last block is the root.
    assert len(data) <= 1024
    cv = list(struct.unpack("<8I", key)) if key else list(_IV)
    blocks = [data[i : i + 64] for i in range(0, len(data), 64)] or [b""]
    for i, block in enumerate(blocks):
        end = 2 | 8 if i == len(blocks) - 1 else 0
        cv = _compress(cv, block.ljust(64, b"\0"), len(block), flags | (i == 0) | end)
    return struct.pack("<8I", *cv)


def derive_key(context: str) -> bytes:
    return blake3(b"", blake3(context.encode(), flags=_CONTEXT), _MATERIAL)


_OPERATOR_KEY = derive_key("trellan value digest v1 operator")


def _text(s: str) -> bytes:
    return u64(len(s.encode())) + s.encode()


def operator_encoding(kind: str, name: str, params: dict, descriptor: dict | None = None) -> bytes:
    out = u8(["source", "op", "reduction", "external", "stage", "exchange", "join"].index(kind))
    out += _text(name) if kind in ("source", "op", "reduction") else b""
    if descriptor is not None:
        *fields, ref = (descriptor[f] for f in (*DESCRIPTOR, "preprocessing_ref"))
        out += b"".join(map(_text, fields)) + (u8(0) if ref is None else u8(1) + _text(ref))
    out += u64(len(params))
    for k, v in params.items():
        tag, payload = ((2, u8(v)) if type(v) is bool else (0, struct.pack("<q", v)) if type(v) is int
                        else (1, u64(canon(v)[1])) if type(v) is float else (3, _text(v)))
        out += _text(k) + u8(tag) + payload
    return out


def model_digest(kind, name, params, descriptor, inputs: list) -> bytes:
    op = blake3(operator_encoding(kind, name, params, descriptor), _OPERATOR_KEY, _KEYED)
    return blake3(b"".join(inputs), op, _KEYED)


def model_digests(nodes: list) -> list:
    out = []
    for n in nodes:
        if n["kind"] == "stage":
            members = []
            for m in n["members"]:
                ins = [out[n["inputs"][v]] if ref == "input" else members[v] for ref, v in m["inputs"]]
                members.append(model_digest({"op": "op", "red": "reduction"}[m["kind"]], m["name"], m["params"],
                                            None, ins))
            out.append(members[-1])
        else:
            out.append(model_digest(n["kind"], n["name"], n["params"], n.get("descriptor"),
                                    [out[i] for i in n["inputs"]]))
    return out
