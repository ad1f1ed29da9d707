"""Executing recorded and reduced graphs: `trellan.evaluate`, `trellan.to_dask` on dask's
schedulers and on a real cluster, and the NumPy kernels. The property test is the semantic
check of reduction: a graph computes the same values before and after it."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from typing import Any

import dask
import dask.threaded
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

import trellan_core as tc
from trellan import demo, evaluate, to_dask
from trellan.kernels import SeededArrays, numpy_kernels

# scripts/sanitize.sh preloads the sanitizer runtime into the interpreter.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

SHAPE = (2, 3)


def same(a: list[Any], b: list[Any]) -> bool:
    """Equal values, counting -0.0 equal to 0.0 and NaN equal to NaN: the differences the
    identity rules' assumption (x + 0.0 is x) allows on float data."""
    return len(a) == len(b) and all(np.array_equal(x, y, equal_nan=True) for x, y in zip(a, b))


def as_float(kernel: Callable[..., Any]) -> Callable[..., Any]:
    # Comparisons give booleans, and a boolean plus 0.0 is a float, not the boolean: the
    # identity rules assume float data, so every value is kept float64.
    return lambda *inputs, **params: np.asarray(kernel(*inputs, **params), dtype=np.float64)


FLOAT_KERNELS = {name: as_float(k) for name, k in numpy_kernels().items()}

# ---------------------------------------------------------------------------------------------
# Random recorded graphs of element-wise ops and reductions over float64 blocks

UNARY = ["neg", "negative", "abs", "absolute", "exp", "log", "log1p", "sqrt", "sin", "cos", "tanh"]
COMMUTATIVE = ["add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"]
BINARY = COMMUTATIVE + ["sub", "lt", "le", "gt", "ge"]
# Division by data and negative powers are left out: they turn the sign of a zero into the
# sign of an infinity, which the identity rules' assumption does not cover.
SCALAR_OPS = [(name, side, scalar) for name in BINARY for side in "rl" for scalar in (2.0, -1.5)]
SCALAR_OPS += [("div", "r", 4.0), ("div", "r", -0.5), ("pow", "r", 2.0), ("power", "r", 3),
               ("pow", "r", 0.5), ("pow", "l", 2.0), ("add", "r", -0.0), ("add", "r", 0),
               ("mul", "l", 1)]  # near misses of the identities, which stay
IDENTITIES = [("add", "r", 0.0), ("add", "l", 0.0), ("mul", "r", 1.0), ("mul", "l", 1.0)]
REDUCTIONS = ["sum", "mean", "max", "min", "prod"]
# keepdims everywhere keeps every value two-dimensional, so any two values broadcast.
REDUCTION_PARAMS = [{"axis": 0, "keepdims": True}, {"axis": 1, "keepdims": True},
                    {"axis": "(0, 1)", "keepdims": True}, {"keepdims": True}]

Node = tuple[str, str, dict[str, Any], list[int]]  # kind, name, params, input positions


@st.composite
def pipelines(draw: st.DrawFn) -> tuple[list[Node], list[int], dict[str, np.ndarray]]:
    n_sources = draw(st.integers(1, 3))
    data = {name: draw(arrays(np.float64, SHAPE)) for name in "xyz"[:n_sources]}
    nodes: list[Node] = [("source", name, {}, []) for name in data]
    same_as: list[list[int]] = [[i] for i in range(n_sources)]  # positions known to be equal

    def earlier() -> int:
        below = len(nodes)
        return draw(st.one_of(st.integers(max(0, below - 3), below - 1),
                              st.integers(0, below - 1)))

    for _ in range(draw(st.integers(1, 16))):
        what = draw(st.sampled_from(
            ["unary", "binary", "binary", "scalar", "reduction", "identity", "echo"]))
        equal_to = None
        if what == "unary":
            node: Node = ("op", draw(st.sampled_from(UNARY)), {}, [earlier()])
        elif what == "binary":
            node = ("op", draw(st.sampled_from(BINARY)), {}, [earlier(), earlier()])
        elif what == "scalar":
            name, side, scalar = draw(st.sampled_from(SCALAR_OPS))
            node = ("op", name, {"scalar": scalar, "side": side}, [earlier()])
        elif what == "reduction":
            node = ("reduction", draw(st.sampled_from(REDUCTIONS)),
                    draw(st.sampled_from(REDUCTION_PARAMS)), [earlier()])
        elif what == "identity":
            k = earlier()
            name, side, scalar = draw(st.sampled_from(IDENTITIES))
            node, equal_to = ("op", name, {"scalar": scalar, "side": side}, [k]), k
        else:  # the same computation again over equal inputs, a commutative op mirrored
            k = earlier()
            kind, name, params, inputs = nodes[k]
            if kind == "source":
                continue
            inputs = [draw(st.sampled_from(same_as[i])) for i in inputs]
            if name in COMMUTATIVE and not params and draw(st.booleans()):
                inputs.reverse()
            node, equal_to = (kind, name, params, inputs), k
        nodes.append(node)
        if equal_to is None:
            same_as.append([len(nodes) - 1])
        else:
            same_as[equal_to].append(len(nodes) - 1)
            same_as.append(same_as[equal_to])
    outputs = draw(st.lists(st.integers(0, len(nodes) - 1), min_size=1, max_size=4))
    return nodes, outputs, data


def record(nodes: list[Node]) -> tuple[tc.GraphStore, list[int]]:
    store, ids = tc.GraphStore(), []
    for kind, name, params, inputs in nodes:
        args = [ids[i] for i in inputs]
        if kind == "source":
            ids.append(store.add_source(name))
        elif kind == "op":
            ids.append(store.add_op(name, args, params))
        else:
            ids.append(store.add_reduction(name, args, params))
    return store, ids


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # log of negatives, overflow in exp
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(pipelines())
def test_reduction_preserves_what_the_graph_computes(
        case: tuple[list[Node], list[int], dict[str, np.ndarray]]) -> None:
    nodes, positions, data = case
    store, ids = record(nodes)
    outputs = [ids[p] for p in positions]
    run = dict(sources=lambda name, params: data[name], kernels=FLOAT_KERNELS)
    expected = evaluate(store, outputs, **run)
    assert len(expected) == len(outputs)

    for maximal in (False, True):
        reduced, _ = store.reduce(outputs=outputs, maximal_fusion=maximal)
        views = reduced.nodes()
        mapped = []
        for o in outputs:
            entry = reduced.node_map()[o]
            assert entry is not None
            rid, member = entry
            # an output is never fused into a later op: it is a node or the last member
            assert member is None or member == views[rid]["n_members"] - 1
            mapped.append(rid)
        assert same(evaluate(reduced, mapped, **run), expected)

        loaded = tc.GraphStore.deserialize(reduced.serialize())
        assert same(evaluate(loaded, mapped, **run), expected)
        # without outputs=, the marks: the distinct reduced outputs, first occurrence first
        by_mark = {rid: value for rid, value in reversed(list(zip(mapped, expected)))}
        assert same(evaluate(loaded, **run), [by_mark[m] for m in loaded.outputs()])

    graph, keys = to_dask(reduced, mapped, **run)
    assert len(graph) == reduced.node_count()
    assert same(list(dask.threaded.get(graph, keys)), expected)


# ---------------------------------------------------------------------------------------------
# A real cluster: worker processes, so every task, kernel and source must pickle


@pytest.fixture(scope="module")
def cluster_client() -> Iterator[Any]:
    from distributed import Client, LocalCluster

    # No skip when the cluster cannot start: that is a failure of this test.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        yield client


@pytest.mark.skipif(SANITIZED, reason="worker processes would start under the sanitizer "
                    "runtime; the native calls made here are covered by the other tests")
def test_a_distributed_cluster_runs_the_reduced_graph(cluster_client: Any) -> None:
    store, outputs = demo.record_pipeline()
    run = dict(sources=SeededArrays((16,)), kernels=numpy_kernels(), external=demo.embed,
               join=demo.inner_join)
    expected = evaluate(store, outputs, **run)
    reduced, _ = store.reduce(outputs=outputs, maximal_fusion=True)
    # the demo's outputs stay distinct, so the marks are the mapped outputs, in order
    assert reduced.outputs() == [reduced.node_map()[o][0] for o in outputs]
    graph, keys = to_dask(reduced, **run)
    assert keys == [("trellan", rid) for rid in reduced.outputs()]
    got = cluster_client.get(graph, keys)
    assert same(list(got), expected)
    assert len(cluster_client.scheduler_info()["workers"]) == 2


# ---------------------------------------------------------------------------------------------
# Errors


class Boom(Exception):
    pass


def boom(*_inputs: Any, **_params: Any) -> Any:
    raise Boom("kernel failed")


def failing_chain() -> tuple[tc.GraphStore, int]:
    g = tc.GraphStore()
    x = g.add_source("x")
    return g, g.add_op("exp", [g.add_op("boom", [g.add_op("neg", [x])])])


@pytest.mark.parametrize("reduce", [False, True])
@pytest.mark.parametrize("entry", [evaluate, to_dask])
def test_missing_callables_are_all_named_before_anything_runs(reduce: bool, entry: Any) -> None:
    g = tc.GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    frob = g.add_op("frob", [x, y])
    total = g.add_reduction("total", [g.add_op("exp", [frob])])
    ext = g.add_external({"kind": "onnx", "content_hash": "h", "framework": "f", "version": "1",
                          "io_schema": "s"}, [frob])
    moved = g.add_exchange([ext, y], {"scheme": "hash"})
    joined = g.add_join([moved, x])
    g.add_op("unread", [x])  # nothing needs it: never asked for
    store, outputs = g, [joined, total]
    if reduce:
        store, _ = g.reduce(outputs=outputs)
        outputs = store.outputs()
    recorded = (frob, total, ext, moved, joined)
    at = [store.node_map()[i][0] for i in recorded] if reduce else list(recorded)
    called: list[str] = []

    with pytest.raises(LookupError) as info:
        entry(store, outputs, sources=lambda name, params: called.append(name),
              kernels=numpy_kernels())
    assert not called
    message = str(info.value)
    for fragment in (f"kernel 'frob' (node {at[0]})", f"kernel 'total' (node {at[1]})",
                     f"external callable (external=) (node {at[2]})",
                     f"exchange callable (exchange=) for 2 inputs (node {at[3]})",
                     f"join callable (join=) (node {at[4]})"):
        assert fragment in message
    assert "unread" not in message


@pytest.mark.parametrize(("reduce", "run", "note"), [
    (False, "evaluate", "trellan: raised by node 2 (op 'boom')"),
    (True, "evaluate", "trellan: raised by node 1 (stage), member 1 (op 'boom')"),
    (True, "dask", "trellan: raised by node 1 (stage), member 1 (op 'boom')"),
])
def test_a_kernel_error_keeps_its_type_and_names_the_node(reduce: bool, run: str,
                                                          note: str) -> None:
    store, out = failing_chain()
    if reduce:
        store, _ = store.reduce(outputs=[out])
        out = store.outputs()[0]
    kernels = dict(numpy_kernels(), boom=boom)
    with pytest.raises(Boom) as info:
        if run == "evaluate":
            evaluate(store, [out], sources={"x": np.ones(3)}, kernels=kernels)
        else:
            graph, keys = to_dask(store, [out], sources={"x": np.ones(3)}, kernels=kernels)
            dask.get(graph, keys)
    assert info.value.__notes__ == [note]


# ---------------------------------------------------------------------------------------------
# Deep graphs: no recursion, and memory that follows the graph's width, not its length


class Counted:
    """A value that counts how many of its kind are alive at once."""

    live = 0
    peak = 0
    __slots__ = ("n",)

    def __init__(self, n: int) -> None:
        self.n = n
        Counted.live += 1
        Counted.peak = max(Counted.peak, Counted.live)

    def __del__(self) -> None:
        Counted.live -= 1


def step(x: Counted) -> Counted:
    return Counted(x.n + 1)


@pytest.mark.slow
@pytest.mark.skipif(SANITIZED, reason="pure-Python interpretation of a long chain: slow there, "
                    "and the native calls it makes run in test_deep_graphs at sanitizer size")
@pytest.mark.parametrize(("reduce", "length", "width"), [
    (False, 1_000_000, 2),  # the value being read and the one being made
    (True, 100_000, 3),     # and the stage's input, held while the stage runs
])
def test_a_long_chain_runs_with_a_bounded_number_of_live_values(reduce: bool, length: int,
                                                                 width: int) -> None:
    store = tc.GraphStore()
    last = store.add_source("x")
    for _ in range(length - 1):
        last = store.add_op("step", [last])
    if reduce:
        store, _ = store.reduce(outputs=[last])
        (stage,) = [n for n in store.nodes() if n["kind"] == "stage"]
        assert stage["n_members"] == length - 1
        last = stage["id"]
    Counted.live = Counted.peak = 0
    (value,) = evaluate(store, [last], sources=lambda name, params: Counted(0),
                        kernels={"step": step})
    assert value.n == length - 1
    assert Counted.peak == width
    del value
    assert Counted.live == 0
