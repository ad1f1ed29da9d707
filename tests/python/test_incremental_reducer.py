"""IncrementalReducer as Python drives it: counters, step and finalize
arguments, conversion order and the state a failed finalize leaves."""

import numpy as np
import pytest

from trellan_core import GraphStore, IncrementalReducer
from strategies import REPORT_KEYS



def chain(g, length):
    node = g.add_source("src")
    for i in range(length):
        node = g.add_op(f"op{i}", [node])
    return node


def counters(r):
    return r.watermark(), r.total_work(), r.canonical_count()


def test_new_reducer_is_empty():
    assert counters(IncrementalReducer()) == (0, 0, 0)


def test_steps_consume_only_new_nodes():
    g, r = GraphStore(), IncrementalReducer()
    chain(g, 2)
    assert r.step(g) == 3
    assert r.step(store=g) == 0
    g.add_exchange([2])
    assert r.step(g) == 1
    assert counters(r)[:2] == (4, 4) == (g.node_count(), g.node_count())


def test_finalize_consumes_the_rest_and_can_repeat():
    g, r = GraphStore(), IncrementalReducer()
    last = chain(g, 3)
    reduced, report = r.finalize(g, outputs=[last])
    assert type(reduced) is GraphStore and list(report) == REPORT_KEYS
    assert r.watermark() == 4
    assert reduced.nodes() == g.reduce(outputs=[last])[0].nodes()
    assert len(reduced.node_map()) == 4
    g.add_exchange([last])
    assert r.step(g) == 1
    again, _ = r.finalize(g, maximal_fusion=np.True_, outputs=np.array([last + 1]))
    assert again.node_count() == reduced.node_count() + 1


def test_finalize_without_outputs_uses_the_marks():
    g, r = GraphStore(), IncrementalReducer()
    chain(g, 2)
    reduced, report = r.finalize(g)
    assert reduced.node_count() == 0
    assert report == {k: (r.canonical_count() if k == "input_nodes" else 0) for k in REPORT_KEYS}
    # a store read from bytes carries marks, and they are used
    marked = GraphStore.deserialize(g.serialize([2]))
    assert IncrementalReducer().finalize(marked)[0].outputs() == [1]


def test_failed_finalize_consumes_nothing():
    g, r = GraphStore(), IncrementalReducer()
    chain(g, 2)
    with pytest.raises(ValueError, match=r"^no node with id 3$"):
        r.finalize(g, outputs=[0, 3])
    assert counters(r) == (0, 0, 0)


def replaced_store(g):
    """A new store made right after g is freed, so it may reuse g's memory."""
    del g[:]
    return GraphStore()


@pytest.mark.parametrize("first", ["step", "finalize"])
@pytest.mark.parametrize(
    "other, call",
    [
        (lambda g: GraphStore(), lambda r, s: r.step(s)),
        (lambda g: GraphStore(), lambda r, s: r.finalize(s)),
        (lambda g: GraphStore(), lambda r, s: r.finalize(s, outputs=[9])),
        (lambda g: GraphStore.deserialize(g[0].serialize()), lambda r, s: r.finalize(s, outputs=[0])),
        (replaced_store, lambda r, s: r.step(s)),
    ],
    ids=["step", "finalize", "finalize-outputs", "equal-copy", "freed"],
)
def test_a_reducer_refuses_stores_but_its_first(first, other, call):
    g, r = GraphStore(), IncrementalReducer()
    chain(g, 2)
    getattr(r, first)(g)
    before = counters(r)
    held = [g]
    del g
    s = other(held)
    chain(s, 5)
    with pytest.raises(ValueError, match=r"^IncrementalReducer is bound to another GraphStore$"):
        call(r, s)
    assert counters(r) == before
    if held:
        g = held[0]
        g.add_exchange([2])
        assert r.step(g) == 1
        assert r.finalize(g, outputs=[3])[0].nodes() == g.reduce(outputs=[3])[0].nodes()


STORE_NOT = "argument 'store': '{}' object is not an instance of 'GraphStore'"


ONE_POSITIONAL = "{}() takes exactly 1 positional argument (2 given)"
MISSING = "{}() missing required argument 'store' (pos 1)"
TWICE = "step() got multiple values for argument 'store'"


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda r, g: r.step({}), TypeError, STORE_NOT.format("dict")),
        (lambda r, g: r.step("store"), TypeError, STORE_NOT.format("str")),
        (lambda r, g: r.step(r), TypeError, STORE_NOT.format("IncrementalReducer")),
        (lambda r, g: r.step(), TypeError, MISSING.format("step")),
        (lambda r, g: r.step(g, g), TypeError, ONE_POSITIONAL.format("step")),
        (lambda r, g: r.step(g, store=g), TypeError, TWICE),
        (lambda r, g: r.finalize(None), TypeError, STORE_NOT.format("NoneType")),
        (lambda r, g: r.finalize(), TypeError, MISSING.format("finalize")),
        (lambda r, g: r.finalize(g, True), TypeError, ONE_POSITIONAL.format("finalize")),
        # store, then maximal_fusion, then outputs
        (lambda r, g: r.finalize("", maximal_fusion=1, outputs=1), TypeError, STORE_NOT.format("str")),
        (
            lambda r, g: r.finalize(g, maximal_fusion=1, outputs="x"),
            TypeError,
            "argument 'maximal_fusion': 'int' object is not an instance of 'bool'",
        ),
        (lambda r, g: r.finalize(g, outputs=[3]), ValueError, "no node with id 3"),
        (lambda r, g: r.watermark(g), TypeError, None),
    ],
)
def test_argument_errors(call, exc, message):
    g, r = GraphStore(), IncrementalReducer()
    chain(g, 2)
    with pytest.raises(exc) as info:
        call(r, g)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert counters(r) == (0, 0, 0)

