"""Recording nodes through the six builders: interning, argument conversion
(inputs, params, names) and what the node view gives back."""

import math
import struct
from decimal import Decimal

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from trellan_core import GraphStore, PayloadDescriptor

DESCRIPTOR = dict(kind="model", content_hash="abc", framework="torch", version="2", io_schema="x")


def params_of(store, node_id):
    return store.nodes()[node_id]["params"]


def recorded_value(value):
    """Records one param value and returns what the node view gives back."""
    g = GraphStore()
    g.add_source("s", {"k": value})
    return params_of(g, 0)["k"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    def __float__(self):
        return 2.5


def test_equal_keys_intern_to_one_id():
    g = GraphStore()
    assert g.add_source("x") == g.add_source("x") == 0
    assert g.add_source("x", {"b": 1, "a": 2}) == g.add_source("x", {"a": 2, "b": 1}) == 1
    assert g.add_source("x", {}) == g.add_source("x", None) == g.add_source(name="x") == 0
    assert g.node_count() == 2


def test_input_order_is_identity():
    g = GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    first = g.add_op("add", [a, b])
    assert g.add_op("add", [b, a]) != first
    assert g.add_op("add", (a, b)) == first
    assert g.add_op("add", range(2)) == first


def test_every_builder_records_its_kind():
    g = GraphStore()
    src = g.add_source("src", {"path": "p"})
    ids = [
        src,
        g.add_op(name="add", inputs=[src], params={"scalar": 1.0}),
        g.add_reduction("sum", [src]),
        g.add_external(DESCRIPTOR, [src]),
        g.add_exchange([]),
        g.add_join([src, src, src], {"how": "inner"}),
    ]
    assert ids == list(range(6))
    nodes = g.nodes()
    assert [n["kind"] for n in nodes] == [
        "source",
        "op",
        "reduction",
        "external",
        "exchange",
        "join",
    ]
    assert [n["name"] for n in nodes] == ["src", "add", "sum", "", "", ""]
    assert nodes[4]["inputs"] == [] and nodes[5]["inputs"] == [0, 0, 0]
    assert nodes[5]["params"] == {"how": "inner"}


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, True),
        (False, False),
        (1, 1),
        (-(2**63), -(2**63)),
        (2**63 - 1, 2**63 - 1),
        (1.0, 1.0),
        (1.5, 1.5),
        (float("inf"), float("inf")),
        ("s", "s"),
        ("", ""),
        ("héllo|=;%", "héllo|=;%"),
        (np.int64(7), 7),
        (np.float64(0.25), 0.25),
        (Index(9), 9),
        (FloatOnly(), 2.5),
        (Decimal("0.5"), 0.5),
    ],
    ids=repr,
)
def test_param_value_conversion(value, expected):
    got = recorded_value(value)
    assert type(got) is type(expected)
    assert got == expected


@pytest.mark.parametrize(
    "value, shown",
    [
        (2**63, "int 9223372036854775808"),
        (-(2**63) - 1, "int -9223372036854775809"),
        (2**64 + 1, "int 18446744073709551617"),
        (np.uint64(2**64 - 1), "int 18446744073709551615"),
        (Index(-(2**127)), f"int {-(2**127)}"),
        # too long to be worth spelling out, or for CPython to spell out at all
        (2**200, "int of 201 bits"),
        (-(10**5000), "int of 16610 bits"),
    ],
    ids=["2**63", "-2**63-1", "2**64+1", "uint64", "index", "2**200", "-10**5000"],
)
def test_int_params_beyond_64_bits_are_refused(value, shown):
    g = GraphStore()
    x = g.add_source("x")
    with pytest.raises(OverflowError) as info:
        g.add_op("h", [x], {"a": 1, "seed": value})
    assert str(info.value) == f"param 'seed': {shown} does not fit in a signed 64-bit integer"
    assert g.node_count() == 1


def test_bool_int_and_float_are_different_params():
    g = GraphStore()
    ids = {g.add_source("s", {"k": v}) for v in (True, 1, 1.0)}
    assert len(ids) == 3


def test_nan_and_negative_zero_round_trip():
    nan = recorded_value(float("nan"))
    assert isinstance(nan, float) and math.isnan(nan)
    zero = recorded_value(-0.0)
    assert zero == 0.0 and math.copysign(1.0, zero) == -1.0
    g = GraphStore()
    assert g.add_source("s", {"k": 0.0}) != g.add_source("s", {"k": -0.0})
    # every NaN is one value
    other_nan = struct.unpack("<d", struct.pack("<Q", 0xFFF0000000000001))[0]
    assert g.add_source("n", {"k": float("nan")}) == g.add_source("n", {"k": other_nan})


def test_params_come_back_sorted_by_key_bytes():
    g = GraphStore()
    g.add_source("s", {"b": 1, "a": 2, "B": 3, "aa": 4, "é": 5})
    assert list(params_of(g, 0)) == ["B", "a", "aa", "b", "é"]


def test_dict_subclass_params_are_read_as_a_dict():
    class Shadow(dict):
        def items(self):
            return [("shadow", 1)]

    g = GraphStore()
    g.add_source("s", Shadow(real=1))
    assert params_of(g, 0) == {"real": 1}


@pytest.mark.parametrize(
    "inputs",
    [[0, 1], (0, 1), range(2), np.array([0, 1]), [Index(0), Index(1)], [False, True]],
    ids=repr,
)
def test_inputs_accept_any_sequence_of_integers(inputs):
    g = GraphStore()
    g.add_source("a")
    g.add_source("b")
    op = g.add_op("op", inputs)
    assert g.nodes()[op]["inputs"] == [0, 1]


def test_descriptor_as_instance_or_dict():
    g = GraphStore()
    as_dict = g.add_external(DESCRIPTOR, [])
    assert g.add_external(PayloadDescriptor(**DESCRIPTOR), []) == as_dict
    assert g.add_external(dict(DESCRIPTOR, preprocessing_ref=None), []) == as_dict
    assert g.add_external(dict(DESCRIPTOR, extra=object()), []) == as_dict
    assert g.add_external(dict(DESCRIPTOR, preprocessing_ref=""), []) != as_dict


keys = st.text(max_size=8)
values = st.one_of(
    st.booleans(),
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=12),
)


def same_value(got, expected):
    if type(got) is not type(expected):
        return False
    if isinstance(expected, float):
        if math.isnan(expected):
            return math.isnan(got)
        return got == expected and math.copysign(1.0, got) == math.copysign(1.0, expected)
    return got == expected


@settings(max_examples=200, deadline=None)
@given(name=st.text(max_size=16), params=st.dictionaries(keys, values, max_size=6))
def test_node_view_returns_names_and_params_exactly(name, params):
    g = GraphStore()
    src = g.add_source(name, params)
    op = g.add_op(name, [src], params)
    for node_id in (src, op):
        node = g.nodes()[node_id]
        assert node["name"] == name
        got = node["params"]
        assert list(got) == sorted(params, key=lambda k: k.encode())
        assert all(same_value(got[k], params[k]) for k in params)
