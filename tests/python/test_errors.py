"""Builder failures: exception types and messages, which error wins when
several arguments are bad, and that a failed call records nothing."""

import re

import pytest

from trellan_core import GraphStore, PayloadDescriptor

DESCRIPTOR = dict(kind="model", content_hash="abc", framework="torch", version="2", io_schema="x")
NOT_STR = "'{}' object is not an instance of 'str'"
NOT_SEQUENCE = "argument 'inputs': '{}' object is not an instance of 'Sequence'"
NOT_INDEX = "argument 'inputs': '{}' object cannot be interpreted as an integer"
BAD_VALUE = "param values must be int, float, bool, or str"
BAD_PARAMS = "params must be a dict or None"
BAD_DESCRIPTOR = "descriptor must be a PayloadDescriptor or dict"


@pytest.fixture
def store():
    """A store holding one source (id 0)."""
    g = GraphStore()
    g.add_source("x")
    return g


# (call on a one-node store, exception type, exact message)
FAILURES = [
    # unknown node ids
    (lambda g: g.add_op("op", [0, 1]), ValueError, "no node with id 1"),
    (lambda g: g.add_reduction("r", [2**64 - 1]), ValueError, f"no node with id {2**64 - 1}"),
    (lambda g: g.add_exchange([7]), ValueError, "no node with id 7"),
    (lambda g: g.add_join([0, 3, 2]), ValueError, "no node with id 3"),
    (lambda g: g.add_external(DESCRIPTOR, [4]), ValueError, "no node with id 4"),
    # inputs
    (lambda g: g.add_op("op", "01"), TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
    (lambda g: g.add_op("op", 5), TypeError, NOT_SEQUENCE.format("int")),
    (lambda g: g.add_op("op", {0}), TypeError, NOT_SEQUENCE.format("set")),
    (lambda g: g.add_op("op", [0.0]), TypeError, NOT_INDEX.format("float")),
    (lambda g: g.add_op("op", [[0]]), TypeError, NOT_INDEX.format("list")),
    (lambda g: g.add_op("op", [-1]), OverflowError, "can't convert negative int to unsigned"),
    (lambda g: g.add_exchange([2**64]), OverflowError, None),
    # name
    (lambda g: g.add_source(1), TypeError, "argument 'name': " + NOT_STR.format("int")),
    (lambda g: g.add_op(None, []), TypeError, "argument 'name': " + NOT_STR.format("NoneType")),
    # params
    (lambda g: g.add_source("s", [("k", 1)]), TypeError, BAD_PARAMS),
    (lambda g: g.add_op("op", [], "k=1"), TypeError, BAD_PARAMS),
    (lambda g: g.add_source("s", {1: 2}), TypeError, NOT_STR.format("int")),
    (lambda g: g.add_source("s", {"k": None}), TypeError, BAD_VALUE),
    (lambda g: g.add_source("s", {"k": [1]}), TypeError, BAD_VALUE),
    # descriptor
    (lambda g: g.add_external([], []), TypeError, BAD_DESCRIPTOR),
    (lambda g: g.add_external(None, []), TypeError, BAD_DESCRIPTOR),
    (
        lambda g: g.add_external({"version": "v"}, []),
        ValueError,
        "descriptor missing required field 'kind'",
    ),
    (
        lambda g: g.add_external(dict(DESCRIPTOR, kind=None), []),
        TypeError,
        NOT_STR.format("NoneType"),
    ),
    (lambda g: g.add_external({"preprocessing_ref": 5}, []), TypeError, NOT_STR.format("int")),
]


@pytest.mark.parametrize("call, exc, message", FAILURES)
def test_builder_failure(store, call, exc, message):
    with pytest.raises(exc) as info:
        call(store)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert store.node_count() == 1


@pytest.mark.parametrize("field", ["kind", "content_hash", "framework", "version", "io_schema"])
def test_first_missing_descriptor_field_is_named(store, field):
    partial = {k: v for k, v in DESCRIPTOR.items() if k != field}
    with pytest.raises(ValueError, match=f"^descriptor missing required field '{field}'$"):
        store.add_external(partial, [])


# Conversion order: name, inputs, descriptor, params; the store is last.
ORDER = [
    (lambda g: g.add_op(1, "x", params=5), "argument 'name'"),
    (lambda g: g.add_op("op", "x", params=5), "argument 'inputs'"),
    (lambda g: g.add_external(5, "x", params=5), "argument 'inputs'"),
    (lambda g: g.add_external(5, [99], params=5), "descriptor must be"),
    (lambda g: g.add_external(DESCRIPTOR, [99], params=5), "params must be"),
    (lambda g: g.add_op("op", [99], params={"k": None}), "param values must be"),
]


@pytest.mark.parametrize("call, prefix", ORDER)
def test_conversion_order(store, call, prefix):
    with pytest.raises(TypeError) as info:
        call(store)
    assert str(info.value).startswith(prefix)


BINDING = [
    (lambda g: g.add_op("op"), "add_op() missing required argument 'inputs' (pos 2)"),
    (lambda g: g.add_op(inputs=[]), "add_op() missing required argument 'name' (pos 1)"),
    (
        lambda g: g.add_external(inputs=[]),
        "add_external() missing required argument 'descriptor' (pos 1)",
    ),
    (lambda g: g.add_exchange(), "add_exchange() missing required argument 'inputs' (pos 1)"),
    (
        lambda g: g.add_source("a", None, 1),
        "add_source() takes at most 2 positional arguments (3 given)",
    ),
    (lambda g: g.add_join([], {}, 1), "add_join() takes at most 2 positional arguments (3 given)"),
    (lambda g: g.add_op("op", [], name="x"), "add_op() got multiple values for argument 'name'"),
    (lambda g: g.add_op("op", [], param={}), "add_op() got an unexpected keyword argument 'param'"),
    (
        lambda g: g.add_source(name="s", **{"é": 1}),
        "add_source() got an unexpected keyword argument 'é'",
    ),
    (lambda g: g.serialize(None, 1), "serialize() takes at most 1 positional argument (2 given)"),
    (lambda g: GraphStore.deserialize(), "deserialize() missing required argument 'data' (pos 1)"),
    (lambda g: g.reduce(False), "reduce() takes no positional arguments"),
    (
        lambda g: g.reduction_report(maximal_fusion=True),
        "reduction_report() got an unexpected keyword argument 'maximal_fusion'",
    ),
    (lambda g: PayloadDescriptor("k"), "PayloadDescriptor() takes no positional arguments"),
    (
        lambda g: PayloadDescriptor(**DESCRIPTOR, extra=1),
        "PayloadDescriptor() got an unexpected keyword argument 'extra'",
    ),
    (lambda g: GraphStore(store=g), "GraphStore() takes no arguments"),
]


@pytest.mark.parametrize("call, message", BINDING)
def test_argument_binding_errors(store, call, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        call(store)
    assert store.node_count() == 1


def test_receiver_must_be_a_graph_store():
    with pytest.raises(TypeError):
        GraphStore.add_source(object(), "x")
    with pytest.raises(TypeError):
        GraphStore.nodes(PayloadDescriptor(**DESCRIPTOR))

