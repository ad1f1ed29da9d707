"""reduce, reduction_report and reduce_incremental as Python calls them: their
keyword-only arguments, what they accept and refuse, and the result's shape.
What a reduction computes is tested with the optimizer."""

import numpy as np
import pytest

from trellan_core import GraphStore
from strategies import REPORT_KEYS



@pytest.fixture
def store():
    """src -> a -> b, plus an exchange of b: four nodes, no marks."""
    g = GraphStore()
    src = g.add_source("src")
    a = g.add_op("a", [src])
    b = g.add_op("b", [a])
    g.add_exchange([b])
    return g


def reducers():
    return [
        ("reduce", lambda g, **kw: g.reduce(**kw)[1]),
        ("reduction_report", lambda g, **kw: g.reduction_report(**kw)),
        ("reduce_incremental", lambda g, **kw: g.reduce_incremental(**kw)[1]),
    ]


@pytest.mark.parametrize("name, report_of", reducers())
@pytest.mark.parametrize("outputs", [None, [], [3], (3, 1, 3), range(4), np.array([2])])
def test_report_keys_in_order(store, name, report_of, outputs):
    report = report_of(store, outputs=outputs)
    assert list(report) == REPORT_KEYS
    assert all(type(v) is int and v >= 0 for v in report.values())
    assert report["input_nodes"] == 4


@pytest.mark.parametrize("name", ["reduce", "reduce_incremental"])
def test_result_is_a_new_store_and_report(store, name):
    result = getattr(store, name)(outputs=[3])
    assert type(result) is tuple and len(result) == 2
    reduced, report = result
    assert type(reduced) is GraphStore and reduced is not store
    assert reduced.node_count() == report["reduced_nodes"]
    assert len(reduced.node_map()) == store.node_count()
    assert store.node_count() == 4 and store.node_map() == []


def test_methods_agree(store):
    reduced, report = store.reduce()
    incremental, incremental_report = store.reduce_incremental()
    assert store.reduction_report() == report == incremental_report
    assert report == {key: (4 if key == "input_nodes" else 0) for key in REPORT_KEYS}
    assert reduced.nodes() == incremental.nodes() == []
    marked, _ = store.reduce(outputs=[3])
    assert marked.nodes() == store.reduce_incremental(outputs=[3])[0].nodes()


@pytest.mark.parametrize("flag", [True, False, np.True_, np.False_])
def test_maximal_fusion_accepts_bools(flag):
    # a fans out to b and c, which meet in d: only maximal fusion puts a in
    # the stage of its consumers, so the flag's value shows in the report.
    g = GraphStore()
    src = g.add_source("src")
    a = g.add_op("a", [src])
    d = g.add_op("d", [g.add_op("b", [a]), g.add_op("c", [a])])
    _, report = g.reduce(maximal_fusion=flag, outputs=[d])
    assert report["stages"] == (1 if flag else 2)


@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (0, "int"), (None, "NoneType"), ("1", "str"), (np.int64(1), "int64")],
)
def test_maximal_fusion_refuses_non_bools(store, value, type_name):
    with pytest.raises(TypeError) as info:
        store.reduce(maximal_fusion=value)
    message = f"argument 'maximal_fusion': '{type_name}' object is not an instance of 'bool'"
    assert str(info.value) == message


NOT_INDEX = "argument 'outputs': 'float' object cannot be interpreted as an integer"


@pytest.mark.parametrize("name", ["reduce", "reduction_report", "reduce_incremental"])
@pytest.mark.parametrize(
    "outputs, exc, message",
    [
        ([4], ValueError, "no node with id 4"),
        ([0, 99, 100], ValueError, "no node with id 99"),
        ("3", TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
        (3, TypeError, "argument 'outputs': 'int' object is not an instance of 'Sequence'"),
        ([1.5], TypeError, NOT_INDEX),
        ([-1], OverflowError, "can't convert negative int to unsigned"),
        ([2**64], OverflowError, None),
    ],
)
def test_outputs_refused(store, name, outputs, exc, message):
    with pytest.raises(exc) as info:
        getattr(store, name)(outputs=outputs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert store.node_count() == 4


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda g: g.reduce(True), "reduce() takes no positional arguments"),
        (lambda g: g.reduce(None, None), "reduce() takes no positional arguments"),
        (lambda g: g.reduction_report([0]), "reduction_report() takes no positional arguments"),
        (lambda g: g.reduce_incremental([0]), "reduce_incremental() takes no positional arguments"),
        (
            lambda g: g.reduce_incremental(maximal_fusion=False),
            "reduce_incremental() got an unexpected keyword argument 'maximal_fusion'",
        ),
        (lambda g: g.reduce(output=[0]), "reduce() got an unexpected keyword argument 'output'"),
        # maximal_fusion is converted before outputs
        (
            lambda g: g.reduce(outputs="x", maximal_fusion=1),
            "argument 'maximal_fusion': 'int' object is not an instance of 'bool'",
        ),
    ],
)
def test_argument_errors(store, call, message):
    with pytest.raises(TypeError) as info:
        call(store)
    assert str(info.value) == message
