"""The exceptions a user meets, with their exact messages: argument binding, argument conversion, unknown ids and
views that cannot be built; which error wins when several arguments are bad; and that a failed call records
nothing."""

import numpy as np
import pytest

from strategies import DESCRIPTOR, Endless, source_rec, stage_rec, store_of
from trellan_core import GraphStore, IncrementalReducer, PayloadDescriptor

NOT_STR = "'{}' object is not an instance of 'str'"
BAD_STAGE = store_of([source_rec("x"), stage_rec([0], [('op|q"\\\t|k=x1', [])])])


def fresh(call):
    return lambda g: call(IncrementalReducer(), g)


# (call on a store holding one source, exception type, exact message or None)
FAILURES = [
    # binding, one row per kind of message
    (lambda g: g.add_op("op"), TypeError, "add_op() missing required argument 'inputs' (pos 2)"),
    (lambda g: PayloadDescriptor(kind="k"),
     TypeError, "PayloadDescriptor() missing required keyword-only argument 'content_hash'"),
    (lambda g: g.add_source("a", None, 1), TypeError, "add_source() takes at most 2 positional arguments (3 given)"),
    (lambda g: g.serialize(None, 1), TypeError, "serialize() takes at most 1 positional argument (2 given)"),
    (fresh(lambda r, g: r.step(g, g)), TypeError, "step() takes exactly 1 positional argument (2 given)"),
    (lambda g: g.reduce(False), TypeError, "reduce() takes no positional arguments"),
    (lambda g: GraphStore(store=g), TypeError, "GraphStore() takes no arguments"),
    (lambda g: g.add_op("op", [], name="x"), TypeError, "add_op() got multiple values for argument 'name'"),
    (lambda g: g.add_source(name="s", **{"é": 1}), TypeError, "add_source() got an unexpected keyword argument 'é'"),
    # conversion, one row per converter and failure
    (lambda g: g.add_source(1), TypeError, "argument 'name': " + NOT_STR.format("int")),
    (lambda g: g.add_op("op", "01"), TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
    (lambda g: g.add_op("op", 5), TypeError, "argument 'inputs': 'int' object is not an instance of 'Sequence'"),
    (lambda g: g.add_op("op", [0.0]), TypeError, "argument 'inputs': 'float' object cannot be interpreted as an integer"),
    (lambda g: g.add_op("op", [-1]), OverflowError, "can't convert negative int to unsigned"),
    (lambda g: g.add_exchange([2**64]), OverflowError, None),
    (lambda g: g.add_join(Endless()), MemoryError, None),
    (lambda g: g.add_ops("op", [[0], 5]), TypeError, "row 1: argument 'inputs': 'int' object is not an instance of 'Sequence'"),
    (lambda g: g.add_ops("op", np.zeros((1, 1))), TypeError,
     "row 0: argument 'inputs': 'numpy.float64' object cannot be interpreted as an integer"),
    (lambda g: g.add_ops("op", np.ones((1, 1), bool)), TypeError, None),  # as add_op("op", np.ones(1, bool))
    (lambda g: g.add_reductions("op", Endless()), MemoryError, None),
    (lambda g: g.add_sources("s", 5), TypeError, "argument 'params': 'int' object is not an instance of 'Sequence'"),
    (lambda g: g.add_source("s", [("k", 1)]), TypeError, "params must be a dict or None"),
    (lambda g: g.add_source("s", {1: 2}), TypeError, NOT_STR.format("int")),
    (lambda g: g.add_source("s", {"k": [1]}), TypeError, "param values must be int, float, bool, or str"),
    (lambda g: g.add_op("h", [0], {"a": 1, "seed": 2**63}), OverflowError,
     "param 'seed': int 9223372036854775808 does not fit in a signed 64-bit integer"),
    (lambda g: g.add_source("h", {"seed": -(10**5000)}), OverflowError,
     "param 'seed': int of 16610 bits does not fit in a signed 64-bit integer"),
    (lambda g: g.add_external([], []), TypeError, "descriptor must be a PayloadDescriptor or dict"),
    (lambda g: g.add_external({"kind": "k", "version": "v"}, []), ValueError,
     "descriptor missing required field 'content_hash'"),
    (lambda g: g.add_external(dict(DESCRIPTOR, kind=None), []), TypeError, NOT_STR.format("NoneType")),
    (lambda g: g.add_external(dict(DESCRIPTOR, preprocessing_ref=5), []), TypeError, NOT_STR.format("int")),
    (lambda g: PayloadDescriptor(**dict(DESCRIPTOR, version=b"x")), TypeError,
     "argument 'version': 'bytes' object is not an instance of 'str'"),
    (lambda g: PayloadDescriptor(**DESCRIPTOR, preprocessing_ref=5), TypeError,
     "argument 'preprocessing_ref': 'int' object is not an instance of 'str'"),
    (lambda g: g.reduce(maximal_fusion=1), TypeError,
     "argument 'maximal_fusion': 'int' object is not an instance of 'bool'"),
    (fresh(lambda r, g: r.finalize(g, maximal_fusion=np.int64(1))), TypeError,
     "argument 'maximal_fusion': 'int64' object is not an instance of 'bool'"),
    (lambda g: g.reduction_report(outputs=3), TypeError,
     "argument 'outputs': 'int' object is not an instance of 'Sequence'"),
    (fresh(lambda r, g: r.step({})), TypeError, "argument 'store': 'dict' object is not an instance of 'GraphStore'"),
    (lambda g: GraphStore.deserialize(bytearray(b"TIR1")), TypeError,
     "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    (lambda g: GraphStore.nodes(PayloadDescriptor(**DESCRIPTOR)), TypeError, None),
    (lambda g: g.task_keys(bytes(31), [0]), ValueError, "token must be 32 bytes, not 31"),
    (lambda g: g.task_keys("x" * 32, [0]), TypeError, "argument 'token': 'str' object is not an instance of 'bytes'"),
    # lookups and views
    (lambda g: g.add_op("op", [0, 1]), ValueError, "no node with id 1"),
    (lambda g: g.reduction_report(outputs=[0, 99, 100]), ValueError, "no node with id 99"),
    (lambda g: BAD_STAGE.nodes(), ValueError, 'unparseable stage member token "op|q\\"\\\\\\t|k=x1"'),
    (lambda g: g.digest(1), ValueError, "no node with id 1"),
    (lambda g: g.task_keys(bytes(32), [0, 1]), ValueError, "no node with id 1"),
    (lambda g: g.reduce(outputs=[0])[0].node_map_of([0, 1]), ValueError, "no node with id 1"),
]


@pytest.mark.parametrize("call, exc, message", FAILURES)
def test_failure(call, exc, message):
    g = GraphStore()
    g.add_source("x")
    before = g.serialize()
    with pytest.raises(exc) as info:
        call(g)
    assert type(info.value) is exc and message in (None, str(info.value))
    assert g.serialize() == before and g.node_map() == []


# Conversion order: name, inputs, descriptor, params; the store is last.
# reduce: maximal_fusion before outputs; finalize: the store first.
ORDER = [
    (lambda g: g.add_op(1, "x", params=5), "argument 'name'"),
    (lambda g: g.add_op("op", "x", params=5), "argument 'inputs'"),
    (lambda g: g.add_external(5, "x", params=5), "argument 'inputs'"),
    (lambda g: g.add_external(5, [99], params=5), "descriptor must be"),
    (lambda g: g.add_external(DESCRIPTOR, [99], params=5), "params must be"),
    (lambda g: g.add_op("op", [99], params={"k": None}), "param values must be"),
    (lambda g: g.reduce(outputs="x", maximal_fusion=1), "argument 'maximal_fusion'"),
    (fresh(lambda r, g: r.finalize("", maximal_fusion=1, outputs=1)), "argument 'store'"),
]


@pytest.mark.parametrize("call, prefix", ORDER)
def test_conversion_order(call, prefix):
    g = GraphStore()
    g.add_source("x")
    with pytest.raises(TypeError) as info:
        call(g)
    assert str(info.value).startswith(prefix)
