"""Recording through the six builders and the three batch builders and reading back: node views, what makes two calls
one node, how arguments convert, the stage view, outputs and node maps, and the PayloadDescriptor class."""

import itertools, math
from decimal import Decimal

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from strategies import DESCRIPTOR, batches, bits_float, exact, graphs, record, u32, u64
from trellan_core import GraphStore, PayloadDescriptor

BASE = ["id", "output", "inputs", "kind", "name", "params"]


def test_every_builder_and_its_view():
    g = GraphStore()
    assert (g.nodes(), g.outputs(), g.node_map(), g.node_count()) == ([], [], [], 0)
    src = g.add_source("src", {"path": "p"})
    made = [src, g.add_op(name="add", inputs=[src], params={"scalar": 1.0}), g.add_reduction("sum", [src]),
            g.add_external(DESCRIPTOR, [src], {"batch": 4}), g.add_exchange([]), g.add_join([src] * 3, {"how": "inner"})]
    assert made == list(range(6)) and g.node_count() == 6 and [len(n) for n in g.nodes()] == [6, 6, 6, 7, 6, 6]
    assert [list(n.items())[:6] for n in g.nodes()] == [list(zip(BASE, values)) for values in [
        [0, False, [], "source", "src", {"path": "p"}], [1, False, [0], "op", "add", {"scalar": 1.0}],
        [2, False, [0], "reduction", "sum", {}], [3, False, [0], "external", "", {"batch": 4}],
        [4, False, [], "exchange", "", {}], [5, False, [0, 0, 0], "join", "", {"how": "inner"}]]]


DESC = PayloadDescriptor(**DESCRIPTOR)
# (first call, second call, one node?) on a store holding sources a (0) and b (1)
ONE_KEY = [
    (lambda g: g.add_source("a"), lambda g: g.add_source(name="a", params={}), True),
    (lambda g: g.add_source("x", {"b": 1, "a": 2}), lambda g: g.add_source("x", {"a": 2, "b": 1}), True),
    (lambda g: g.add_op("add", [0, 1]), lambda g: g.add_op("add", [1, 0]), False),
    (lambda g: g.add_op("add", [0, 1]), lambda g: g.add_op("add", range(2)), True),
    (lambda g: g.add_source("s", {"k": True}), lambda g: g.add_source("s", {"k": 1}), False),
    (lambda g: g.add_source("s", {"k": 1}), lambda g: g.add_source("s", {"k": 1.0}), False),
    (lambda g: g.add_source("s", {"k": 0.0}), lambda g: g.add_source("s", {"k": -0.0}), False),
    (lambda g: g.add_source("s", {"k": math.nan}), lambda g: g.add_source("s", {"k": bits_float(0xFFF0000000000001)}), True),
    (lambda g: g.add_external(DESCRIPTOR, []), lambda g: g.add_external(DESC, []), True),
    (lambda g: g.add_external(DESCRIPTOR, []), lambda g: g.add_external(dict(DESCRIPTOR, preprocessing_ref=None), []), True),
    (lambda g: g.add_external(DESCRIPTOR, []), lambda g: g.add_external(dict(DESCRIPTOR, extra=object()), []), True),
    (lambda g: g.add_external(DESCRIPTOR, []), lambda g: g.add_external(dict(DESCRIPTOR, preprocessing_ref=""), []), False),
    (lambda g: g.add_exchange([0]), lambda g: g.add_join([0]), False),
]


@pytest.mark.parametrize("first, second, same", ONE_KEY)
def test_what_is_one_node(first, second, same):
    g = GraphStore()
    g.add_source("a"), g.add_source("b")
    a = first(g)
    assert (second(g) == a) is same and g.node_count() == 4 - (a < 2) - same


Index = type("Index", (), {"__init__": lambda self, v: setattr(self, "v", v), "__index__": lambda self: self.v})
FloatOnly = type("FloatOnly", (), {"__float__": lambda self: 2.5})
Shadow = type("Shadow", (dict,), {"items": lambda self: [("shadow", 1)]})  # params are read as a dict
Lying = type("Lying", (dict,), {"__getitem__": lambda self, k: "lie", "get": lambda self, k, d=None: "lie"})
Tag = type("Tag", (str,), {})


def op(inputs):
    return lambda g: g.add_op("op", inputs)


# (record on a store holding sources a and b, part of the new node's view)
CONVERSIONS = [
    *[(lambda g, v=v: g.add_source("s", {"k": v}), {"params": {"k": shown}}) for v, shown in [
        (True, True), (2**63 - 1, 2**63 - 1), (-(2**63), -(2**63)), (1.5, 1.5), (math.inf, math.inf),
        (math.nan, math.nan), (-0.0, -0.0), ("héllo|=;%", "héllo|=;%"), (np.int64(7), 7), (np.float64(0.25), 0.25),
        (np.False_, False), (np.True_, True),
        (Index(9), 9), (FloatOnly(), 2.5), (Decimal("0.5"), 0.5), (Tag("t"), "t")]],
    (lambda g: g.add_source("s", {"b": 1, "a": 2, "B": 3, "aa": 4, "é": 5}),
     {"params": {"B": 3, "a": 2, "aa": 4, "b": 1, "é": 5}}),
    (lambda g: g.add_source(Tag("t"), Shadow(real=1)), {"name": "t", "params": {"real": 1}}),
    *[(op(inputs), {"inputs": [0, 1]}) for inputs in
      [(0, 1), np.array([0, 1]), [Index(0), Index(1)], [False, True]]],
    (lambda g: g.add_external(Lying(DESCRIPTOR), []), {"descriptor": dict(DESCRIPTOR, preprocessing_ref=None)}),
    (lambda g: g.add_external(PayloadDescriptor(**dict(DESCRIPTOR, kind=Tag("k"))), []),
     {"descriptor": dict(DESCRIPTOR, kind="k", preprocessing_ref=None)}),
]


@pytest.mark.parametrize("call, view", CONVERSIONS)
def test_argument_conversion(call, view):
    g = GraphStore()
    g.add_source("a"), g.add_source("b")
    node_id = call(g)
    node = g.nodes()[node_id]
    assert exact({k: node[k] for k in view}) == exact(view)


def test_serialize_flags_exactly_the_given_outputs():
    g = GraphStore()
    g.add_source("a"), g.add_source("b"), g.add_source("c")
    data = g.serialize((2, 0, 2))
    assert data == g.serialize(outputs=[2, 0, 2]) and data.endswith(u32(3) + u64(2) + u64(0) + u64(2))
    back = GraphStore.deserialize(data)
    assert back.outputs() == [2, 0] and back.nodes() == [dict(n, output=n["id"] in (0, 2)) for n in g.nodes()]
    assert back.serialize() == g.serialize([2, 0]) != g.serialize() == g.serialize([]) == g.serialize(None)


@pytest.mark.parametrize("given, ref", [({}, None), ({"preprocessing_ref": None}, None),
                                        ({"preprocessing_ref": ""}, ""), ({"preprocessing_ref": "p"}, "p")])
def test_payload_descriptor(given, ref):
    d = PayloadDescriptor(**DESCRIPTOR, **given)
    fields = dict(DESCRIPTOR, preprocessing_ref=ref)
    assert {name: getattr(d, name) for name in fields} == fields
    for name, change in itertools.product(fields, [lambda n: setattr(d, n, "other"), lambda n: delattr(d, n)]):
        with pytest.raises(AttributeError):
            change(name)
    assert d != PayloadDescriptor(**DESCRIPTOR, **given) and d == d


def one_call(g, kind, name, params, row):
    return g.add_source(name, row) if kind == "source" else getattr(g, "add_" + kind)(name, row, params)


def outcome(call):
    try:
        return call()
    except (TypeError, ValueError, OverflowError) as e:
        return e


@settings(max_examples=200, deadline=None)
@given(graphs(max_nodes=4), st.data())
def test_a_batch_records_what_the_loop_of_single_calls_records(recipe, data):
    g = record(recipe)[0]
    kind, name, params, rows = data.draw(batches(g.node_count()))
    before = g.serialize()
    # Each row alone against the store as it is: the error a single call gives, if any.
    alone = [outcome(lambda: one_call(GraphStore.deserialize(before), kind, name, params, row)) for row in rows]
    converts = [e for e in alone if isinstance(e, Exception) and not isinstance(e, ValueError)]
    unknown = [e for e in alone if isinstance(e, ValueError)]
    given_rows = rows
    if kind != "source" and rows and not converts and len({len(r) for r in rows}) == 1 and data.draw(st.booleans()):
        given_rows = np.array(rows, dtype=data.draw(st.sampled_from([np.int64, np.uint64, np.int8])))
        given_rows = given_rows if data.draw(st.booleans()) else np.asfortranarray(given_rows)
    got = outcome(lambda: getattr(g, f"add_{kind}s")(name, given_rows, *([] if kind == "source" else [params])))
    if converts or unknown:
        # Every row converts before any id is looked up; a bad row records nothing of the batch.
        first = (converts or unknown)[0]
        k = alone.index(first)
        assert (type(got), str(got)) == (type(first), f"row {k}: {first}") and g.serialize() == before
        return
    loop = GraphStore.deserialize(before)
    assert got == [one_call(loop, kind, name, params, row) for row in rows] and g.serialize() == loop.serialize()
