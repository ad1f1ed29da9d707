"""Shared test material for the semantic suites: random pipeline graphs
(hypothesis strategies plus the code that records them into a GraphStore),
hand-written IR blobs, and helpers that compare node views exactly."""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field

from hypothesis import strategies as st

from trellan_core import GraphStore

# The report's keys in the order the module always gives them.
REPORT_KEYS = [
    "input_nodes",
    "reachable_nodes",
    "canonical_nodes",
    "stages",
    "reduced_nodes",
    "boundary_nodes",
]

# ---------------------------------------------------------------------------
# Operator vocabulary

COMMUTATIVE = ("add", "mul", "and", "or", "eq", "ne", "maximum", "minimum")

# The four identity operators: an add of the float 0.0 or a mul by the float
# 1.0, the scalar on either side.
IDENTITY_PARAMS = {
    ("add", "r"): {"scalar": 0.0, "side": "r"},
    ("add", "l"): {"scalar": 0.0, "side": "l"},
    ("mul", "r"): {"scalar": 1.0, "side": "r"},
    ("mul", "l"): {"scalar": 1.0, "side": "l"},
}


def float_bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def bits_float(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def same_param(a, b) -> bool:
    """Parameter equality as the IR defines it: every NaN equals every NaN,
    0.0 and -0.0 differ, an int never equals a float or a bool."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a) and math.isnan(b):
            return True
        return float_bits(a) == float_bits(b)
    return a == b


def same_params(a: dict, b: dict) -> bool:
    return list(a) == list(b) and all(same_param(a[k], b[k]) for k in a)


def is_identity(kind: str, name: str, params: dict, n_inputs: int) -> bool:
    """True for an op that the optimizer folds into its single input."""
    if kind != "op" or n_inputs != 1 or list(params) != ["scalar", "side"]:
        return False
    scalar, side = params["scalar"], params["side"]
    if type(scalar) is not float or type(side) is not str or side not in ("r", "l"):
        return False
    wanted = {"add": 0.0, "mul": 1.0}.get(name)
    return wanted is not None and float_bits(scalar) == float_bits(wanted)


def folds_away(node: dict) -> bool:
    """True for a viewed node that the optimizer folds into its input."""
    return is_identity(node["kind"], node["name"], node["params"], len(node["inputs"]))


def exact(value):
    """A view value made comparable with ==, floats by their bit patterns."""
    if isinstance(value, float):
        return ("float", float_bits(value))
    if isinstance(value, dict):
        return [(k, exact(v)) for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [exact(v) for v in value])
    return value


# ---------------------------------------------------------------------------
# Hand-written IR blobs

MAGIC = b"TIR1"
SOURCE, OP, REDUCTION, EXTERNAL, STAGE, EXCHANGE, JOIN = range(7)
INPUT, MEMBER = 0, 1


class FloatBits:
    """A float parameter given by its exact 64-bit pattern."""

    def __init__(self, bits: int):
        self.bits = bits


class BoolByte:
    """A Bool parameter written with an arbitrary payload byte."""

    def __init__(self, byte: int):
        self.byte = byte


def u8(n: int) -> bytes:
    return struct.pack("<B", n)


def u32(n: int) -> bytes:
    return struct.pack("<I", n)


def u64(n: int) -> bytes:
    return struct.pack("<Q", n)


def text(s: str | bytes) -> bytes:
    data = s.encode() if isinstance(s, str) else s
    return u32(len(data)) + data


def param_value(v) -> bytes:
    if isinstance(v, BoolByte):
        return u8(2) + u8(v.byte)
    if isinstance(v, bool):
        return u8(2) + u8(int(v))
    if isinstance(v, int):
        return u8(0) + struct.pack("<q", v)
    if isinstance(v, FloatBits):
        return u8(1) + u64(v.bits)
    if isinstance(v, float):
        return u8(1) + struct.pack("<d", v)
    if isinstance(v, (str, bytes)):
        return u8(3) + text(v)
    raise TypeError(v)


def params_field(entries=()) -> bytes:
    """A params field with the entries in the given order (a dict or pairs)."""
    pairs = list(entries.items()) if isinstance(entries, dict) else list(entries)
    return u32(len(pairs)) + b"".join(text(k) + param_value(v) for k, v in pairs)


def ids(values) -> bytes:
    values = list(values)
    return u32(len(values)) + b"".join(u64(v) for v in values)


def source_rec(name, params=()) -> bytes:
    return u8(SOURCE) + text(name) + params_field(params)


def op_rec(name, inputs, params=()) -> bytes:
    return u8(OP) + text(name) + params_field(params) + ids(inputs)


def reduction_rec(name, inputs, params=()) -> bytes:
    return u8(REDUCTION) + text(name) + params_field(params) + ids(inputs)


DESCRIPTOR_FIELDS = ("kind", "content_hash", "framework", "version", "io_schema")


def external_rec(descriptor: dict, inputs, params=(), presence: int | None = None) -> bytes:
    out = u8(EXTERNAL) + b"".join(text(descriptor[f]) for f in DESCRIPTOR_FIELDS)
    ref = descriptor.get("preprocessing_ref")
    if ref is None:
        out += u8(0)
    else:
        out += u8(1 if presence is None else presence) + text(ref)
    return out + params_field(params) + ids(inputs)


def stage_rec(inputs, members) -> bytes:
    """members: (token, [(INPUT or MEMBER, value), ...]) pairs."""
    out = u8(STAGE) + ids(inputs) + u32(len(members))
    for token, refs in members:
        out += text(token) + u32(len(refs)) + b"".join(u8(k) + u32(v) for k, v in refs)
    return out


def exchange_rec(inputs, params=()) -> bytes:
    return u8(EXCHANGE) + params_field(params) + ids(inputs)


def join_rec(inputs, params=()) -> bytes:
    return u8(JOIN) + params_field(params) + ids(inputs)


def blob(records, outputs=()) -> bytes:
    records = list(records)
    return MAGIC + u32(len(records)) + b"".join(records) + ids(outputs)


# ---------------------------------------------------------------------------
# Op tokens, written the way the IR writes them (for stage members)


def escape(s: str) -> str:
    return s.replace("%", "%25").replace(";", "%3B").replace("=", "%3D").replace("|", "%7C")


def value_token(v) -> str:
    if isinstance(v, bool):
        return "btrue" if v else "bfalse"
    if isinstance(v, int):
        return f"i{v}"
    if isinstance(v, float):
        bits = 0x7FF8000000000000 if math.isnan(v) else float_bits(v)
        return f"f{bits:016x}"
    return "s" + escape(v)


def op_token(head: str, name: str, params: dict | None = None) -> str:
    token = f"{head}|{escape(name)}"
    if params:
        entries = sorted(params.items(), key=lambda kv: kv[0].encode())
        token += "|" + ";".join(f"{escape(k)}={value_token(v)}" for k, v in entries)
    return token


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
    if node.kind == "op":
        return store.add_op(node.name, inputs, params)
    if node.kind == "reduction":
        return store.add_reduction(node.name, inputs, params)
    if node.kind == "external":
        return store.add_external(node.descriptor, inputs, params)
    if node.kind == "exchange":
        return store.add_exchange(inputs, params)
    if node.kind == "join":
        return store.add_join(inputs, params)
    raise ValueError(node.kind)


def record(recipe: Recipe, store: GraphStore | None = None):
    """Records every node; returns (store, ids, output ids). ids[i] is the
    store id of recipe node i (interning may give equal nodes one id)."""
    store = GraphStore() if store is None else store
    node_ids: list = []
    for node in recipe.nodes:
        node_ids.append(record_node(store, node, node_ids))
    return store, node_ids, [node_ids[i] for i in recipe.outputs]


OP_NAMES = ("add", "mul", "sub", "maximum", "f", "add|x")

_near_identity = st.sampled_from(
    [
        {"scalar": 0, "side": "r"},
        {"scalar": -0.0, "side": "r"},
        {"scalar": 0.0, "side": "r", "extra": 1},
        {"scalar": 2.0, "side": "l"},
        {"scalar": 1.0, "side": "r"},  # an identity for mul, not for add
        {"scalar": 0.0, "side": "c"},
    ]
)
_plain_params = st.one_of(
    st.just({}),
    st.just({}),
    st.builds(lambda k: {"k": k}, st.integers(0, 2)),
    _near_identity,
)


@st.composite
def _op_params(draw, name: str) -> dict:
    if name in ("add", "mul") and draw(st.integers(0, 3)) == 0:
        return dict(IDENTITY_PARAMS[(name, draw(st.sampled_from("rl")))])
    return draw(_plain_params)


@st.composite
def _inputs(draw, below: int, low: int, high: int) -> list:
    count = draw(st.integers(low, high))
    # Mostly recent nodes, so that chains form; sometimes any earlier one.
    pick = st.one_of(st.integers(max(0, below - 3), below - 1), st.integers(0, below - 1))
    return [draw(pick) for _ in range(count)]


DESCRIPTORS = (
    dict(kind="a|b", content_hash="c", framework="t", version="1", io_schema="s"),
    dict(kind="a", content_hash="b|c", framework="t", version="1", io_schema="s"),
    dict(kind="a", content_hash="b|c", framework="t", version="1", io_schema="s", preprocessing_ref="-"),
)


@st.composite
def graphs(draw, max_nodes: int = 14, externals: bool = True) -> Recipe:
    """A random DAG: a few sources, then ops with 1 to 3 inputs (identity
    operators and their near misses included), reductions, exchanges, joins
    and externals; then a list of outputs (possibly empty, with repeats, or
    every node that nothing reads).

    Some nodes are echoes of earlier ones, so that the optimizer has work: an
    identity op over an earlier node, the mirror image of a two-input op, or
    a copy of an earlier node over inputs equivalent to its own."""
    nodes = []
    equivalent = []  # per node, a list shared by the nodes known to be equal
    for i in range(draw(st.integers(1, 3))):
        params = draw(st.sampled_from([{}, {}, {"n": i}]))
        nodes.append(Node("source", name="xyz"[i], params=params))
        equivalent.append([i])
    kinds = ["op"] * 6 + ["reduction", "exchange", "join"] + (["external"] if externals else [])
    kinds += ["echo"] * 3
    for _ in range(draw(st.integers(0, max_nodes))):
        below = len(nodes)
        kind = draw(st.sampled_from(kinds))
        same = None
        if kind == "echo":
            node, same = draw(_echo(nodes, equivalent))
        elif kind == "op":
            name = draw(st.sampled_from(OP_NAMES))
            # Rarely an op with no inputs at all.
            low = 0 if draw(st.integers(0, 15)) == 0 else 1
            node = Node("op", name, draw(_op_params(name)), draw(_inputs(below, low, 3)))
        elif kind == "reduction":
            name = draw(st.sampled_from(["sum", "max"]))
            node = Node("reduction", name, draw(_plain_params), draw(_inputs(below, 1, 1)))
        elif kind == "exchange":
            params = draw(st.sampled_from([{}, {"scheme": "hash"}]))
            node = Node("exchange", params=params, inputs=draw(_inputs(below, 1, 1)))
        elif kind == "join":
            node = Node("join", inputs=draw(_inputs(below, 2, 2)))
        else:
            descriptor = draw(st.sampled_from(DESCRIPTORS))
            node = Node("external", descriptor=descriptor, inputs=draw(_inputs(below, 0, 2)))
        nodes.append(node)
        if same is None:
            equivalent.append([below])
        else:
            same.append(below)
            equivalent.append(same)
    last = len(nodes) - 1
    used = {i for n in nodes for i in n.inputs}
    outputs = draw(
        st.one_of(
            st.lists(st.integers(0, last), max_size=4),
            st.lists(st.integers(0, last), min_size=1, max_size=4),
            st.just([i for i in range(len(nodes)) if i not in used]),
        )
    )
    return Recipe(nodes, outputs)


@st.composite
def _echo(draw, nodes, equivalent):
    """A node equal to an earlier one under the rewrite rules, and the list
    of nodes it is equal to."""
    k = draw(st.integers(0, len(nodes) - 1))
    old = nodes[k]
    how = draw(st.sampled_from(["identity", "mirror", "copy"]))
    if how == "identity" or old.kind == "source":
        key = draw(st.sampled_from(list(IDENTITY_PARAMS)))
        return Node("op", key[0], dict(IDENTITY_PARAMS[key]), [k]), equivalent[k]
    inputs = [draw(st.sampled_from(equivalent[i])) for i in old.inputs]
    commutative = old.kind == "op" and old.name in COMMUTATIVE and not old.params
    if how == "mirror" and commutative and len(inputs) == 2:
        inputs.reverse()
    return Node(old.kind, old.name, dict(old.params), inputs, old.descriptor), equivalent[k]


def reachable(nodes: list, outputs) -> set:
    """Ids of the nodes from which some output can be reached."""
    seen, stack = set(), list(outputs)
    while stack:
        i = stack.pop()
        if i not in seen:
            seen.add(i)
            stack.extend(nodes[i]["inputs"])
    return seen


def canon(value):
    if isinstance(value, float):
        return ("f", 0x7FF8000000000000 if math.isnan(value) else float_bits(value))
    return (type(value).__name__, value)


def operator_of(node):
    params = tuple((k, canon(v)) for k, v in node["params"].items())
    descriptor = tuple(node.get("descriptor", {}).items())
    return node["kind"], node["name"], params, descriptor


def classes(nodes):
    """The merge classes the rules imply: an identity op joins its input, a
    commutative op is taken with its inputs unordered, and equal operators
    over equal classes are one class. Returns (class per node, class count)."""
    table, of = {}, []
    for node in nodes:
        ins = [of[i] for i in node["inputs"]]
        if folds_away(node):
            of.append(ins[0])
            continue
        if node["kind"] == "op" and node["name"] in COMMUTATIVE and not node["params"] and len(ins) == 2:
            ins.sort()
        of.append(table.setdefault((operator_of(node), tuple(ins)), len(table)))
    return of, len(table)


# ---------------------------------------------------------------------------
# Random blob records (every kind, every param type, unusual encodings)

_strings = st.text(alphabet=st.sampled_from("ab|;=%\"\\\n é€\x00"), max_size=5)
_float_bits = st.one_of(
    st.builds(float_bits, st.floats(allow_nan=False)),
    st.sampled_from(
        [
            0x8000000000000000,  # -0.0
            0x7FF8000000000000,  # the quiet NaN
            0xFFF8000000000000,  # a NaN with the sign bit
            0x7FF8000000000123,  # a NaN with a payload
            0x7FF0000000000001,  # a signalling NaN
            0x7FF0000000000000,  # inf
        ]
    ),
)
_values = st.one_of(
    st.integers(-(2**63), 2**63 - 1),
    st.builds(FloatBits, _float_bits),
    st.booleans(),
    st.builds(BoolByte, st.integers(0, 255)),
    _strings,
)
_pairs = st.lists(st.tuples(st.sampled_from(["", "a", "B", "aa", "b", "k|=", "é"]), _values), max_size=4)


def sort_pairs(pairs):
    """Map order: ascending key bytes, equal keys in their given order."""
    return sorted(pairs, key=lambda kv: kv[0].encode())


def canonical_value(v):
    if isinstance(v, BoolByte):
        return v.byte != 0
    return v


def view_value(v):
    if isinstance(v, FloatBits):
        return bits_float(v.bits)
    return canonical_value(v)


@dataclass
class Rec:
    """One blob record, in a form that can be written both as handed to the
    reader (params in any order, odd Bool and presence bytes) and as the
    writer must write it back."""

    tag: int
    name: str = ""
    params: list = field(default_factory=list)
    inputs: list = field(default_factory=list)
    descriptor: dict | None = None
    presence: int = 1
    # (head, name, params dict, refs), or (raw token, refs)
    members: list = field(default_factory=list)

    def write(self, canonical: bool) -> bytes:
        pairs = self.params
        if canonical:
            pairs = [(k, canonical_value(v)) for k, v in sort_pairs(pairs)]
        if self.tag == SOURCE:
            return source_rec(self.name, pairs)
        if self.tag == OP:
            return op_rec(self.name, self.inputs, pairs)
        if self.tag == REDUCTION:
            return reduction_rec(self.name, self.inputs, pairs)
        if self.tag == EXTERNAL:
            presence = 1 if canonical else self.presence
            return external_rec(self.descriptor, self.inputs, pairs, presence)
        if self.tag == STAGE:
            members = [m if len(m) == 2 else (op_token(*m[:3]), m[3]) for m in self.members]
            return stage_rec(self.inputs, members)
        if self.tag == EXCHANGE:
            return exchange_rec(self.inputs, pairs)
        return join_rec(self.inputs, pairs)

    def view(self, node_id: int, outputs) -> dict:
        kinds = ["source", "op", "reduction", "external", "stage", "exchange", "join"]
        params = dict((k, view_value(v)) for k, v in sort_pairs(self.params))
        out = {
            "id": node_id,
            "output": node_id in outputs,
            "inputs": list(self.inputs),
            "kind": kinds[self.tag],
            "name": self.name if self.tag in (SOURCE, OP, REDUCTION) else "",
            "params": {} if self.tag == STAGE else params,
        }
        if self.tag == EXTERNAL:
            ref = self.descriptor.get("preprocessing_ref")
            out["descriptor"] = dict(self.descriptor, preprocessing_ref=ref)
        if self.tag == STAGE:
            out["n_members"] = len(self.members)
            out["members"] = [
                {
                    "kind": h,
                    "name": n,
                    "params": dict(sort_pairs(p.items())),
                    "inputs": [("input" if k == INPUT else "member", v) for k, v in refs],
                }
                for h, n, p, refs in self.members
            ]
        return out


_member_params = st.dictionaries(
    st.sampled_from(["k", "scalar", "a=b"]),
    st.one_of(st.integers(-5, 5), st.floats(allow_nan=False), st.booleans(), _strings),
    max_size=2,
)


@st.composite
def _members(draw, n_inputs: int) -> list:
    members = []
    for j in range(draw(st.integers(1, 3))):
        head = draw(st.sampled_from(["op", "red"]))
        name = draw(_strings)
        params = draw(_member_params)
        ref = st.one_of(
            st.tuples(st.just(INPUT), st.integers(0, max(n_inputs - 1, 0))),
            st.tuples(st.just(INPUT), st.sampled_from([7, 2**32 - 1])),  # unchecked
            *([st.tuples(st.just(MEMBER), st.integers(0, j - 1))] if j else []),
        )
        members.append((head, name, params, draw(st.lists(ref, max_size=3))))
    return members


@st.composite
def blob_records(draw, max_records: int = 8):
    """(records, outputs, trailing bytes) for a valid blob. Every record
    carries its index somewhere in its identity, so no two are equal and
    record i becomes node id i."""
    recs = []
    for i in range(draw(st.integers(0, max_records))):
        tag = draw(st.sampled_from(range(7) if i else [SOURCE, EXTERNAL]))
        inputs = draw(st.lists(st.integers(0, i - 1), max_size=3)) if i and tag != SOURCE else []
        pairs = draw(_pairs)
        if tag == SOURCE:
            recs.append(Rec(tag, name=f"s{i}" + draw(_strings), params=pairs))
        elif tag in (OP, REDUCTION):
            recs.append(Rec(tag, name=draw(_strings) + f"#{i}", params=pairs, inputs=inputs))
        elif tag == EXTERNAL:
            descriptor = {f: draw(_strings) for f in DESCRIPTOR_FIELDS}
            descriptor["kind"] += f"#{i}"
            if draw(st.booleans()):
                descriptor["preprocessing_ref"] = draw(_strings)
            presence = draw(st.integers(1, 255))
            recs.append(Rec(tag, params=pairs, inputs=inputs, descriptor=descriptor, presence=presence))
        elif tag == STAGE:
            members = draw(_members(len(inputs)))
            members[0] = (members[0][0], members[0][1] + f"#{i}", *members[0][2:])
            recs.append(Rec(tag, inputs=inputs, members=members))
        else:
            pairs = pairs + [("#", i)]
            recs.append(Rec(tag, params=draw(st.permutations(pairs)), inputs=inputs))
    outputs = draw(st.lists(st.integers(0, len(recs) - 1), max_size=4)) if recs else []
    trailing = draw(st.binary(max_size=3))
    return recs, outputs, trailing


# Look-alike operators: short texts made of the token separators, so that
# different nodes often have texts that a careless encoding would confuse.
_tiny = st.text(alphabet=st.sampled_from("a|;=%-,"), max_size=3)
_tiny_values = st.one_of(
    st.sampled_from([0, 1, True, False, 0.0, -0.0, 1.0, math.nan]),
    st.builds(FloatBits, st.sampled_from([0x7FF8000000000001, 0xFFF8000000000000])),
    _tiny,
)
_tiny_pairs = st.lists(st.tuples(_tiny, _tiny_values), max_size=2)


@st.composite
def lookalike_records(draw, n_sources: int = 2, max_records: int = 10):
    """Records of every kind over the first n_sources records (sources named
    s0, s1, ...), with names, params, descriptors and stage members drawn
    from separator-heavy texts. Equal records may occur; the reader merges
    them, and since every input names a leading source no reference moves."""
    recs = [Rec(SOURCE, name=f"s{i}") for i in range(n_sources)]
    over = st.lists(st.integers(0, n_sources - 1), max_size=2)
    for _ in range(draw(st.integers(1, max_records))):
        tag = draw(st.sampled_from(range(7)))
        pairs = draw(_tiny_pairs)
        if tag == SOURCE:
            recs.append(Rec(tag, name=draw(_tiny), params=pairs))
        elif tag in (OP, REDUCTION):
            recs.append(Rec(tag, name=draw(_tiny), params=pairs, inputs=draw(over)))
        elif tag == EXTERNAL:
            descriptor = {f: draw(_tiny) for f in DESCRIPTOR_FIELDS}
            if draw(st.booleans()):
                descriptor["preprocessing_ref"] = draw(_tiny)
            recs.append(Rec(tag, params=pairs, inputs=draw(over), descriptor=descriptor))
        elif tag == STAGE:
            members = []
            for j in range(draw(st.integers(1, 2))):
                ref = st.one_of(
                    st.tuples(st.just(INPUT), st.integers(0, 1)),
                    *([st.tuples(st.just(MEMBER), st.integers(0, j - 1))] if j else []),
                )
                token = draw(st.one_of(_tiny, st.builds(lambda n: "op|" + n, _tiny)))
                members.append((token, draw(st.lists(ref, max_size=2))))
            recs.append(Rec(tag, inputs=draw(over), members=members))
        else:
            recs.append(Rec(tag, params=pairs, inputs=draw(over)))
    return recs
