"""Executing recorded and reduced graphs: `trellan.evaluate`, `trellan.to_dask` on dask's schedulers and on a real
cluster, and the NumPy kernels. The property test is the semantic check of reduction: a graph computes the same
values before and after it."""

import gc, importlib.util, os, re, shutil, time
from typing import Any
from unittest import mock

import dask, dask.threaded
from dask._task_spec import Task, TaskRef
from dask.utils import key_split
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

import trellan_core as tc
from strategies import COMMUTATIVE, DESCRIPTOR, Node, Recipe, graphs, reachable, record, same_params
import trellan
from trellan import ResultCache, dask_bridge, demo, evaluate, to_dask, to_delayed
from trellan.execution import recorded_note, recorded_of
from trellan.kernels import Binary, Reduction, SeededArrays, numpy_kernels

# scripts/sanitize.sh preloads the sanitizer runtime into the interpreter.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def same(a: list[Any], b: list[Any]) -> bool:
    # Equal values, counting -0.0 equal to 0.0 and NaN equal to NaN: the differences the identity rules' assumption (x
    # + 0.0 is x) allows on float data.
    return len(a) == len(b) and all(np.array_equal(x, y, equal_nan=True) for x, y in zip(a, b))


# Comparisons give booleans, and a boolean plus 0.0 is a float, not the boolean: the identity
# rules assume float data, so every value is kept float64.
FLOAT_KERNELS = {name: (lambda k: lambda *a, **p: np.asarray(k(*a, **p), dtype=np.float64))(k)
                 for name, k in numpy_kernels().items()}
UNARY = ["neg", "negative", "abs", "absolute", "exp", "log", "log1p", "sqrt", "sin", "cos", "tanh"]
BINARY = sorted(COMMUTATIVE) + ["sub", "lt", "le", "gt", "ge"]
# Division by data and negative powers are left out: they turn the sign of a zero into the
# sign of an infinity, which the identity rules' assumption does not cover.
SCALAR_OPS = [(name, side, scalar) for name in BINARY for side in "rl" for scalar in (2.0, -1.5)]
SCALAR_OPS += [("div", "r", 4.0), ("div", "r", -0.5), ("pow", "r", 2.0), ("power", "r", 3), ("pow", "r", 0.5),
               ("pow", "l", 2.0)]
# Scalars for add and mul that make identities, or nearly (-0.0, int 0, int 1).
NEAR_IDENTITY = [0.0, 1.0, 0.0, 1.0, -0.0, 0, 1]
# keepdims everywhere keeps every value two-dimensional, so any two values broadcast.
REDUCTION_PARAMS = [{"axis": 0, "keepdims": True}, {"axis": 1, "keepdims": True},
                    {"axis": "(0, 1)", "keepdims": True}, {"keepdims": True}]


@st.composite
def pipelines(draw: st.DrawFn) -> tuple[Recipe, dict[str, np.ndarray]]:
    # Element-wise ops and reductions over 2x3 float64 blocks; some nodes repeat an earlier computation over equal
    # inputs (mirrored if commutative), so that reduction merges them.
    data = {name: draw(arrays(np.float64, (2, 3))) for name in "xyz"[:draw(st.integers(1, 3))]}
    nodes = [Node("source", name) for name in data]
    for _ in range(draw(st.integers(1, 16))):
        below = len(nodes)
        earlier = st.one_of(st.integers(max(0, below - 3), below - 1), st.integers(0, below - 1))
        what = draw(st.sampled_from(["unary", "binary", "binary", "scalar", "near", "reduction", "echo"]))
        if what in ("unary", "binary"):
            inputs = [draw(earlier) for _ in range(1 + (what == "binary"))]
            nodes.append(Node("op", draw(st.sampled_from(UNARY if what == "unary" else BINARY)), {}, inputs))
        elif what == "scalar":
            name, side, scalar = draw(st.sampled_from(SCALAR_OPS))
            nodes.append(Node("op", name, {"scalar": scalar, "side": side}, [draw(earlier)]))
        elif what == "near":
            params = {"scalar": draw(st.sampled_from(NEAR_IDENTITY)), "side": draw(st.sampled_from("rl"))}
            nodes.append(Node("op", draw(st.sampled_from(["add", "mul"])), params, [draw(earlier)]))
        elif what == "reduction":
            nodes.append(Node("reduction", draw(st.sampled_from(["sum", "mean", "max", "min", "prod"])),
                              draw(st.sampled_from(REDUCTION_PARAMS)), [draw(earlier)]))
        elif nodes[k := draw(earlier)].kind != "source":
            old = nodes[k]
            mirrored = old.name in COMMUTATIVE and not old.params and draw(st.booleans())
            nodes.append(Node(old.kind, old.name, old.params, old.inputs[::-1] if mirrored else old.inputs))
    return Recipe(nodes, draw(st.lists(st.integers(0, len(nodes) - 1), min_size=1, max_size=4))), data


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # log of negatives, overflow in exp
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(pipelines())
def test_reduction_preserves_what_the_graph_computes(case: tuple[Recipe, dict[str, np.ndarray]]) -> None:
    recipe, data = case
    store, _, outputs = record(recipe)
    run = dict(sources=lambda name, params: data[name], kernels=FLOAT_KERNELS)
    expected = evaluate(store, outputs, **run)
    assert len(expected) == len(outputs)
    for maximal in (False, True):
        reduced, _ = store.reduce(outputs=outputs, maximal_fusion=maximal)
        views, mapped = reduced.nodes(), []
        for rid, member in (reduced.node_map()[o] for o in outputs):
            # an output is never fused into a later op: it is a node or the last member
            assert member is None or member == views[rid]["n_members"] - 1
            mapped.append(rid)
        assert same(evaluate(reduced, mapped, **run), expected)
        loaded = tc.GraphStore.deserialize(reduced.serialize())
        # without outputs=, the marks: the distinct reduced outputs, first occurrence first
        by_mark = {rid: value for rid, value in reversed(list(zip(mapped, expected)))}
        assert same(evaluate(loaded, **run), [by_mark[m] for m in loaded.outputs()])
    graph, keys = to_dask(reduced, mapped, **run, name="r")
    assert len(graph) == reduced.node_count()
    # Made without calling dask's classes, the tasks are what calling them makes, slot by slot.
    with mock.patch.object(dask_bridge, "_fill_of", lambda *_: None):
        called, _ = to_dask(reduced, mapped, **run, name="r")
    assert graph.keys() == called.keys() and all(same_task(graph[k], called[k]) for k in called)
    assert same(list(dask.threaded.get(graph, keys)), expected)
    # One task per run: fewer tasks; a key both graphs have names one task, with the same inputs.
    runs, run_keys = to_dask(reduced, mapped, **run, name="r", fuse_runs=True)
    assert len(runs) <= len(graph) and all(runs[k].dependencies == graph[k].dependencies for k in set(runs) & set(graph))
    assert same(list(dask.threaded.get(runs, run_keys)), expected)


FILL = ("key", "key", "func", "args", "_dependencies", frozenset(), None, ())


@pytest.mark.parametrize("args, error", [
    ((Task,), "needs ref when task is given"),        # without a ref, filled or called
    ((Task, None, FILL), "needs ref when task is given"),
    ((tuple, TaskRef, FILL), "task must be a class defined in Python"),  # filling a built-in type's instances
    ((Task, TaskRef, ("key",)), "fill must be a tuple of 8 items"),
])
def test_task_graph_refuses_what_it_cannot_build(args: tuple[Any, ...], error: str) -> None:
    g = tc.GraphStore()
    plan = g.execution_plan([g.add_source("a")])
    with pytest.raises(TypeError, match=error):
        plan.task_graph(["k"], [len], [len], [], [None], *args)
    with pytest.raises(ValueError, match="keys must have 1 entries, not 2"):
        plan.task_graph(["k", "j"], [len], [len], [], [None])


class DictRef(TaskRef):  # its instances have a __dict__ too
    pass


@pytest.mark.parametrize("keys, ref, tracked", [
    (["ka", "kb"], TaskRef, (False, False)),                # (reference, dependency set)
    ([("ka", Task), ("kb", Task)], TaskRef, (True, True)),  # keys that hold a tracked object
    (["ka", "kb"], DictRef, (True, False)),                 # a reference that may take one later
])
def test_task_graph_leaves_to_the_collector_what_can_be_in_a_cycle(keys: list[Any], ref: type,
                                                                   tracked: tuple[bool, bool]) -> None:
    # Filled natively, references, argument tuples and dependency sets that hold nothing the collector tracks are kept
    # from it, so that the collections after a large build do not walk them. Tasks hold their callables and stay, as
    # does what holds a tracked object (a tuple key, a recorded list) or may take one (an instance with a __dict__).
    g = tc.GraphStore()
    a = g.add_source("a")
    plan = g.execution_plan([g.add_op("b", [a, a])])
    fill = dask_bridge._fill_of(Task, TaskRef)
    assert fill is not None
    graph = plan.task_graph(keys, [len, len], [len, len], [], [None, [1]], Task, ref, fill)
    source, op = graph[keys[0]], graph[keys[1]]
    assert gc.is_tracked(source) and gc.is_tracked(op)
    assert (gc.is_tracked(source.args), gc.is_tracked(op.args)) == (False, True)
    assert (gc.is_tracked(op.args[2]), gc.is_tracked(op.dependencies)) == tracked
    assert op.dependencies == {keys[0]} and op.args[2].key == keys[0]


def same_task(task: Task, other: Task) -> bool:
    """Whether two tasks have equal slots, their callables (made anew by each to_dask) alike."""
    fn, other_fn = task.func, other.func
    return (type(task) is type(other) and [type(a) for a in task.args] == [type(a) for a in other.args]
            and type(fn) is type(other_fn) and getattr(fn, "label", None) == getattr(other_fn, "label", None)
            and all(getattr(task, slot) == getattr(other, slot) for slot in dask_bridge._TASK_SLOTS if slot != "func"))


needs_workers = pytest.mark.skipif(SANITIZED, reason="worker processes would start under the sanitizer runtime; the "
                                   "native calls made here are covered by the other tests")


@pytest.fixture(scope="module")
def client() -> Any:
    # Worker processes, so every task, kernel and source must pickle. No skip when the
    # cluster cannot start: that is a failure of the tests that use it.
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0") as cluster, Client(cluster) as client:
        yield client
        assert len(client.scheduler_info()["workers"]) == 2


@needs_workers
def test_a_distributed_cluster_runs_the_reduced_graph(client: Any) -> None:
    store, outputs = demo.record_pipeline()
    run = dict(sources=SeededArrays((16,)), kernels=numpy_kernels(), external=demo.embed, join=demo.inner_join)
    expected = evaluate(store, outputs, **run)
    # The pipeline reduced under each fusion rule in turn, one graph after the other on one client: a graph
    # gets its own values, never those of an earlier graph's nodes with the same ids.
    for maximal in (True, False, True):
        reduced, _ = store.reduce(outputs=outputs, maximal_fusion=maximal)
        graph, keys = to_dask(reduced, **run, fuse_runs=maximal)
        assert same(list(client.get(graph, keys)), expected)


def one_op_graph(*names: str) -> tuple[tc.GraphStore, list[int]]:
    g = tc.GraphStore()
    last = g.add_source("x")
    for name in names:
        last = g.add_op(name, [last])
    return g, [last]


@needs_workers
def test_task_keys_are_shared_exactly_by_identical_tasks(client: Any) -> None:
    run = dict(sources=SeededArrays((4,)), kernels=numpy_kernels())
    x = SeededArrays((4,))("x", {})
    futures = []  # held, so that the cluster keeps every result
    for name in ("negative", "exp", "sin"):  # the same ids in each graph
        graph, keys = to_dask(*one_op_graph(name), **run)
        futures += client.get(graph, keys, sync=False)
        assert np.array_equal(futures[-1].result(), getattr(np, name)(x))
    graph, keys = to_dask(*one_op_graph("negative", "exp"), **run)
    assert futures[0].key in graph and np.array_equal(client.get(graph, keys)[0], np.exp(-x))
    other = dict(run, kernels={**numpy_kernels(), "negative": np.positive})
    assert futures[0].key not in to_dask(*one_op_graph("negative"), **other)[0]


class CountedKernel:
    # A kernel that appends its name to a file wherever it runs.
    def __init__(self, path: str, name: str, fn: Any) -> None:
        self.path, self.name, self.fn = path, name, fn

    def __call__(self, *inputs: Any, **params: Any) -> Any:
        with open(self.path, "a") as f:
            f.write(self.name + "\n")
        return self.fn(*inputs, **params)


def counted_demo(counter: Any) -> tuple[dict[str, Any], tc.GraphStore, list[int]]:
    # The demo pipeline's run, its kernels counting their calls, wherever they run, in the file `counter`.
    kernels = {name: CountedKernel(str(counter), name, fn) for name, fn in numpy_kernels().items()}
    return (dict(sources=SeededArrays((16,)), kernels=kernels, external=demo.embed, join=demo.inner_join),
            *demo.record_pipeline())


@needs_workers
def test_a_warm_run_on_a_cluster_computes_no_cached_node(client: Any, tmp_path: Any) -> None:
    counter = tmp_path / "calls"
    run, store, outputs = counted_demo(counter)
    cache = ResultCache(tmp_path / "cache", min_seconds=0)
    expected = evaluate(store, outputs, **run)
    counter.unlink()
    assert same(list(client.get(*to_dask(store, outputs, **run, cache=cache))), expected)
    assert counter.read_text()
    counter.unlink()
    graph, keys = to_dask(store, outputs, **run, cache=cache)
    assert same(list(client.get(graph, keys)), expected) and not counter.exists()
    assert all(key_split(key).endswith("-load") for key in graph)


@needs_workers
def test_delayed_outputs_compute_and_persist_and_feed_a_second_graph(client: Any, tmp_path: Any) -> None:
    from distributed import progress, wait

    counter = tmp_path / "calls"
    run, store, outputs = counted_demo(counter)
    expected = evaluate(store, outputs, **run)
    outs = to_delayed(store, outputs, **run)
    assert same(client.gather(client.compute(outs)), expected) and same(list(dask.compute(*outs)), expected)
    persisted = client.persist(outs)
    progress(persisted)  # distributed's bar, a text one outside notebooks
    wait(persisted)
    counter.unlink()
    assert same([p.compute() for p in persisted], expected) and not counter.exists()
    # A second graph over the same nodes and one more: the cluster holds its inputs, so only the new node runs.
    (more,) = to_delayed(store, [store.add_op("negative", [outputs[0]])], **run)
    assert same([more.compute()], [-expected[0]]) and counter.read_text().split() == ["negative"]
    if shutil.which("dot") and importlib.util.find_spec("graphviz"):
        outs[0].visualize(filename=str(tmp_path / "graph.png"))


# The words of a task key that dask's key_split keeps, for the kernel names that are not one plain word.
KEY_WORDS = {"true_divide": "truedivide", "not_equal": "notequal", "less_equal": "lessequal",
             "greater_equal": "greaterequal", "logical_and": "logicaland", "logical_or": "logicalor",
             "log1p": "logp", "absolute": "Absolute"}


def test_key_split_names_what_each_task_runs(tmp_path: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    # dask's dashboard, progress bars and Profiler group tasks by key_split of their keys.
    g = tc.GraphStore()
    x = g.add_source("part")
    named = {x: "trellan-part-source"}
    for name, kernel in numpy_kernels().items():
        word = KEY_WORDS.get(name, name)
        if isinstance(kernel, Reduction):
            named[g.add_reduction(name, [x])] = f"trellan-{word}-reduction"
        else:
            named[g.add_op(name, [x], {"scalar": 2.0, "side": "r"} if isinstance(kernel, Binary) else None)] = f"trellan-{word}"
    exchanged = g.add_exchange([x])
    joined = g.add_join([x, exchanged])
    named.update({exchanged: "trellan-Exchange", joined: "trellan-join", g.add_external(DESCRIPTOR, [x]): "trellan-External"})
    run = dict(sources=SeededArrays((3,)), kernels=numpy_kernels(), join=demo.inner_join, external=demo.embed)
    graph, keys = to_dask(g, list(named), **run)
    assert [key_split(key) for key in keys] == list(named.values()) and len(graph) == len(named)
    assert all(isinstance(task, Task) for task in graph.values())  # dask's own: nothing to convert
    # A stage is named by its last member; a cached node's load by what it loads, a run by its last node.
    reduced, _ = g.reduce(outputs=[g.add_op("exp", [g.add_op("neg", [joined])])])
    assert key_split(to_dask(reduced, **run, fuse_runs=True)[1][0]) == "trellan-exp-stage-run"
    cache = ResultCache(tmp_path, min_seconds=0)
    for split in ("trellan-exp-stage", "trellan-exp-stage-load"):
        graph, keys = to_dask(reduced, **run, cache=cache)
        assert key_split(keys[0]) == split and same(dask.get(graph, keys), evaluate(reduced, **run))
    # Task classes other than the ones whose slots the bridge sets itself are called; a dask without task
    # objects gets tuples. Both run the same.
    class Counted(Task):
        __slots__ = ("made",)

        def __init__(self, *args: Any, **params: Any) -> None:
            super().__init__(*args, **params)
            self.made = True

    for classes, made in (((Counted, TaskRef), lambda task: task.made), (None, lambda task: type(task) is tuple)):
        monkeypatch.setattr(dask_bridge, "task_objects", lambda: classes)
        graph, keys = to_dask(g, list(named), **run)
        assert all(made(task) for task in graph.values())
        assert same(dask.get(graph, keys), evaluate(g, list(named), **run))


@needs_workers
def test_a_cluster_gives_back_a_source_as_it_is_after_caching_it_times_one(client: Any, tmp_path: Any) -> None:
    # x * 1.0 of an int source is a float array; it must never come back as the source itself.
    g = tc.GraphStore()
    x = g.add_source("x")
    times_one = g.add_op("mul", [x], {"scalar": 1.0, "side": "r"})
    run = dict(sources={"x": np.arange(4)}, kernels=numpy_kernels(), cache=ResultCache(tmp_path, min_seconds=0))
    assert client.get(*to_dask(g, [times_one], **run))[0].dtype == np.float64
    assert client.get(*to_dask(g, [x], **run))[0].dtype == np.int64


# What the LookupError names for frob, the external, the exchange, the join and total: the first node that needs each
# callable, and in a reduced store the stage member and the recorded id too.
MISSING = {
    False: ["kernel 'frob' (node 4)", "external callable (external=) (node 5)",
            "exchange callable (exchange=) for 2 inputs (node 6)", "join callable (join=) (node 7)",
            "kernel 'total' (node 8)"],
    True: ["kernel 'frob' (node 2, member 1, recorded as node 4)", "external callable (external=) (node 3, recorded as node 5)",
           "exchange callable (exchange=) for 2 inputs (node 4, recorded as node 6)",
           "join callable (join=) (node 5, recorded as node 7)", "kernel 'total' (node 6, recorded as node 8)"],
}


@pytest.mark.parametrize("reduce", [False, True])
@pytest.mark.parametrize("entry", [evaluate, to_dask])
def test_missing_callables_are_all_named_before_anything_runs(reduce: bool, entry: Any) -> None:
    g = tc.GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    g.add_op("unread", [x])  # nothing needs it: never asked for
    frob = g.add_op("frob", [g.add_op("neg", [x]), y])  # neg fuses into frob's stage
    ext = g.add_external(DESCRIPTOR, [frob])
    outputs = [g.add_join([g.add_exchange([ext, y], {"scheme": "hash"}), x]), g.add_reduction("total", [frob])]
    if reduce:
        g, _ = g.reduce(outputs=outputs)
        outputs = g.outputs()
    called: list[str] = []
    with pytest.raises(LookupError) as info:
        entry(g, outputs, sources=lambda name, params: called.append(name), kernels=numpy_kernels())
    assert not called and "unread" not in str(info.value)
    assert re.findall(r"(?:kernel '\w+'|\w+ callable \(\w+=\)(?: for 2 inputs)?) \(node [^)]+\)",
                      str(info.value)) == MISSING[reduce]


class Boom(Exception):
    pass


def boom(*_inputs: Any, **_params: Any) -> Any:
    raise Boom("kernel failed")


@pytest.mark.parametrize(("reduce", "run", "lanes", "note"), [
    (False, "evaluate", 1, "trellan: raised by node 2 (op 'boom')"),
    (True, "evaluate", 1, "trellan: raised by node 1 (stage), member 1 (op 'boom'), recorded as node 2"),
    # stages of one shape run as one function each
    (True, "evaluate", 8, "trellan: raised by node 1 (stage), member 1 (op 'boom'), recorded as node 2"),
    (False, "dask", 1, "trellan: raised by node 2 (op 'boom')"),
    (True, "dask", 1, "trellan: raised by node 1 (stage), member 1 (op 'boom'), recorded as node 2"),
    (True, "threads", 1, "trellan: raised by node 1 (stage), member 1 (op 'boom'), recorded as node 2"),
    # lanes=0: a reduction, which is not a stage, that four recorded nodes (itself and identity ops of it) became
    (True, "threads", 0, "trellan: raised by node 1 (reduction 'sum'), recorded as nodes 1, 2, 3 and 1 more"),
    pytest.param(True, "cluster", 1, "trellan: raised by node 1 (stage), member 1 (op 'boom'), recorded as node 2",
                 marks=needs_workers),
])
def test_a_kernel_error_keeps_its_type_and_names_the_node(reduce: bool, run: str, lanes: int, note: str,
                                                           request: pytest.FixtureRequest) -> None:
    store = tc.GraphStore()
    outs = [store.add_op("exp", [store.add_op("boom", [store.add_op("neg", [store.add_source("x", {"k": k})])])])
            for k in range(lanes)]
    if not lanes:
        outs = [store.add_reduction("sum", [store.add_source("x")])]
        for name, unit in [("add", 0.0), ("mul", 1.0), ("add", 0.0)]:
            outs.append(store.add_op(name, [outs[-1]], {"scalar": unit, "side": "r"}))
    if reduce:
        store = store.reduce(outputs=outs)[0]
        outs = store.outputs()
    given = dict(sources=SeededArrays((3,)), kernels=dict(numpy_kernels(), boom=boom, sum=boom))
    with pytest.raises(Boom) as info:
        if run == "evaluate":
            evaluate(store, outs, **given)
        elif run == "dask":
            dask.get(*to_dask(store, outs, **given))
        elif run == "threads":
            dask.threaded.get(*to_dask(store, outs, **given))
        else:
            request.getfixturevalue("client").get(*to_dask(store, outs, **given))
    assert info.value.__notes__ == [note]


def last_readers(reads: list[list[int]], count: int) -> list[int]:
    last = [-1] * count
    for reader, read in enumerate(reads):
        for j in read:
            last[j] = reader
    return last


@settings(max_examples=150, deadline=None)
@given(graphs(), st.sampled_from([None, False, True]), st.data())
def test_the_plan_lists_what_the_views_say_the_outputs_need(recipe: Recipe, fusion: Any, data: st.DataObject) -> None:
    store, _, outputs = record(recipe)
    if fusion is not None:
        store, _ = store.reduce(outputs=outputs, maximal_fusion=fusion)
        outputs = [store.node_map()[o][0] for o in outputs]
    outputs += data.draw(st.lists(st.sampled_from(outputs), max_size=2)) if outputs else []
    check_plan(store, outputs, reduced=fusion is not None)


@pytest.mark.parametrize("fusion", [None, True])
def test_a_plan_of_hundreds_of_distinct_names_params_and_members_lists_what_the_views_say(fusion: Any) -> None:
    # Past a few dozen distinct names, params, descriptors, operators, member tokens and stage shapes, each of the
    # plan's tables outgrows its first size.
    store = tc.GraphStore()
    ids = [store.add_source(f"s{k % 90}", {"part": k}) for k in range(300)]
    for k in range(1500):
        read = [ids[-1 - (k * 7 % 5)], ids[k % 300]][:1 + k % 2]
        if k % 11 == 0:
            descriptor = dict(DESCRIPTOR, content_hash=f"sha:{k % 50}", preprocessing_ref=None if k % 4 else "-")
            ids.append(store.add_external(descriptor, read, {"k": k % 7} if k % 3 else None))
        else:
            params = {"scalar": float(k % 70), "side": "lr"[k % 2]} if k % 5 else None
            ids.append(store.add_op(f"f{k % 120}", read, params))
    outputs = ids[-40:]
    if fusion is not None:
        store, _ = store.reduce(outputs=outputs, maximal_fusion=fusion)
        outputs = [store.node_map()[o][0] for o in outputs]
    check_plan(store, outputs, reduced=fusion is not None)


def check_plan(store: tc.GraphStore, outputs: list[int], reduced: bool) -> None:
    views, plan = store.nodes(), store.execution_plan(outputs)
    ids = plan.ids.tolist()
    assert ids == sorted(reachable(views, outputs)) and len(plan) == len(ids)
    assert [ids[o] for o in plan.outputs] == outputs and plan.digests == b"".join(map(store.digest, ids))
    token, blank = bytes(range(32)), [""] * len(plan.operators)
    assert "".join(plan.task_key_names(token, blank, blank)) == store.task_keys(token, ids).hex()
    for table in (plan.names, plan.params, plan.descriptors, plan.operators):
        assert len(set(map(repr, table))) == len(table)
    # What a task's error note says of the recorded nodes that became it, read from the node map.
    became: dict[Any, list[int]] = {}
    for recorded_id, spot in enumerate(store.node_map() if reduced else []):
        became.setdefault(spot, []).append(recorded_id)
    for entry, view in zip(plan.recorded_ids(), (views[i] for i in ids)):
        spots = [(view["id"], k) for k in range(view.get("n_members", 0))] or [(view["id"], None)]
        assert [recorded_of(entry, k) for k in range(len(spots))] == [
            recorded_note(len(became.get(spot, [])), became.get(spot, [])[:3]) for spot in spots]
    step_of = {i: s for s, i in enumerate(ids)}
    reads = [plan.inputs[plan.input_offsets[s]:plan.input_offsets[s + 1]].tolist() for s in range(len(ids))]
    assert plan.last_use.tolist() == last_readers(reads, len(ids))
    for s, view in enumerate(views[i] for i in ids):
        kind, name, params = plan.kind_names[plan.kinds[s]], plan.names[plan.name_index[s]], plan.params[plan.params_index[s]]
        assert (kind, name, [step_of[i] for i in view["inputs"]]) == (view["kind"], view["name"], reads[s])
        assert same_params(params, view["params"])
        at = plan.descriptor_index[s]
        assert (plan.descriptors[at] if at >= 0 else None) == view.get("descriptor")
        first, end = plan.member_offsets[s], plan.member_offsets[s + 1]
        members = view.get("members", [])
        op = plan.operator_index[s]
        if kind != "stage":
            assert plan.operators[op] == (plan.kinds[s], plan.name_index[s], plan.params_index[s], at)
        elif op >= 0:  # one member that reads the stage's inputs in order: one call
            assert len(members) == 1 and members[0]["inputs"] == [("input", k) for k in range(len(reads[s]))]
            assert op == plan.member_operator_index[first]
        assert (plan.stage_shape[s] >= 0) == (op < 0)
        assert end - first == len(members)
        refs = []
        for m, member in zip(range(first, end), members):
            kind_name, name_at, params_at, _ = plan.operators[plan.member_operator_index[m]]
            assert (plan.kind_names[plan.member_kinds[m]][:len(member["kind"])], plan.names[plan.member_name_index[m]]) == (
                member["kind"], member["name"]) == (plan.kind_names[kind_name][:len(member["kind"])], plan.names[name_at])
            assert same_params(plan.params[plan.member_params_index[m]], member["params"])
            assert (name_at, params_at) == (plan.member_name_index[m], plan.member_params_index[m])
            refs.append(plan.refs[plan.ref_offsets[m]:plan.ref_offsets[m + 1]].tolist())
            assert refs[-1] == [k if which == "member" else ~k for which, k in member["inputs"]]
        local = [[r for r in read if r >= 0] for read in refs]
        assert plan.member_last_use[first:end].tolist() == last_readers(local, len(members))
    shapes = plan.stage_shape.tolist()
    assert plan.shape_uses.tolist() == [shapes.count(k) for k in range(len(plan.shape_first))]
    assert plan.shape_first.tolist() == [shapes.index(k) for k in range(len(plan.shape_first))]
    # Each table lists its values in the order of first use: a step's own, then its members' (no member has a
    # descriptor).
    owned = [range(plan.member_offsets[s], plan.member_offsets[s + 1]) for s in range(len(ids))]
    for table, own, of_member in ((plan.names, plan.name_index, plan.member_name_index),
                                  (plan.params, plan.params_index, plan.member_params_index),
                                  (plan.descriptors, plan.descriptor_index, [-1] * len(plan.member_kinds)),
                                  (plan.operators, plan.operator_index, plan.member_operator_index)):
        used = [k for s, at in enumerate(owned) for k in [own[s], *(of_member[m] for m in at)]]
        assert list(dict.fromkeys(k for k in used if k >= 0)) == list(range(len(table)))


def test_every_read_of_a_plan_array_is_a_view_of_its_own() -> None:
    # A caller who releases the view it read (`with plan.ids as m:`, an everyday idiom) leaves every other read whole,
    # and only the plan makes the object behind the views.
    store = tc.GraphStore()
    x = store.add_source("x")
    reduced, _ = store.reduce(outputs=[store.add_op("add", [store.add_op("exp", [store.add_op("neg", [x])]), x])])
    plan = reduced.execution_plan()
    names = [name for name in dir(plan) if isinstance(getattr(plan, name), memoryview)]
    assert len(names) == 21
    for name in names:
        kept, expected = getattr(plan, name), getattr(plan, name).tolist()
        assert getattr(plan, name) is not kept and expected
        with getattr(plan, name) as view:
            assert view.tolist() == expected
        getattr(plan, name).release()
        assert kept.tolist() == np.asarray(getattr(plan, name)).tolist() == expected
    with pytest.raises(TypeError):
        type(plan.ids.obj)()


def nap(value: Any, seconds: float = 0.0) -> Any:
    time.sleep(seconds)
    return value + 1


@pytest.mark.parametrize(("sources", "naps", "seconds"), [
    (1, 400, 0.001),  # many quick nodes: at most about ten reports a second
    (24, 4, 0.15),    # cheap sources, then slow nodes: reports while the slow ones run, not only at the end
])
def test_progress_is_reported_at_most_ten_times_a_second_and_during_slow_nodes(
        capfd: pytest.CaptureFixture[str], sources: int, naps: int, seconds: float) -> None:
    store = tc.GraphStore()
    last = store.add_reduction("first", [store.add_source("x", {"k": k}) for k in range(sources)])
    for _ in range(naps):
        last = store.add_op("nap", [last], {"seconds": seconds})
    store.add_op("unread", [last])
    total = sources + 1 + naps
    seen: list[tuple[float, int, int]] = []
    run = dict(sources=lambda name, params: 0, kernels={"nap": nap, "first": lambda *xs: xs[0]})
    assert evaluate(store, [last], **run, progress=lambda done, total: seen.append((time.monotonic(), done, total))) == [naps]
    assert len(seen) >= 3 and seen[0][1] < total and seen[-1][1:] == (total, total)
    assert all(b[0] - a[0] >= 0.09 and b[1] > a[1] for a, b in zip(seen, seen[1:-1]))
    assert evaluate(store, [last], **run) == [naps] and capfd.readouterr().err == ""
    evaluate(store, [last], **run, progress=True)
    assert f"{total}/{total}" in capfd.readouterr().err


def test_a_profile_counts_each_op_with_its_slowest_node(tmp_path: Any) -> None:
    # Stage members count under their own op; the slowest nap is named by its node, member and recorded id.
    g = tc.GraphStore()
    x = g.add_source("x")
    slow = g.add_op("nap", [g.add_op("neg", [x])], {"seconds": 0.05})
    out = g.add_op("add", [slow, g.add_op("nap", [x])])
    reduced, _ = g.reduce(outputs=[out])
    (stage, member), = [e for e in reduced.node_map_of([slow])]
    assert member is not None  # fused: the slowest nap is a stage member
    run = dict(sources={"x": 1}, kernels={"nap": nap, "neg": lambda v: -v, "add": lambda a, b: a + b})
    for store, outputs, where in ((g, [out], (slow, None)), (reduced, reduced.outputs(), (stage, member))):
        profile = trellan.Profile()
        assert evaluate(store, outputs, **run, profile=profile) == [2]
        rows = profile.as_dict()
        assert list(rows)[0] == "nap" and sorted(rows) == ["add", "nap", "neg", "source x"]
        assert {op: (row["kind"], row["count"]) for op, row in rows.items()} == {
            "nap": ("op", 2), "neg": ("op", 1), "add": ("op", 1), "source x": ("source", 1)}
        nap_row = rows["nap"]
        assert nap_row["slowest"] == {"node": where[0], "member": where[1], "recorded": [slow],
                                      "seconds": nap_row["slowest"]["seconds"]}
        assert 0.05 <= nap_row["slowest"]["seconds"] <= nap_row["seconds"] == pytest.approx(2 * nap_row["mean"])
        assert 0.05 <= nap_row["share"] * profile.seconds and sum(row["share"] for row in rows.values()) <= 1
        shown = f"node {stage}, member {member}, recorded as node {slow}" if store is reduced else f"node {slow}"
        assert str(profile).splitlines()[1].endswith(shown)
    # With a cache, only what runs counts: a warm run loads the output and runs nothing.
    cache = ResultCache(tmp_path, min_seconds=0)
    for ran in (5, 0):
        profile = trellan.Profile()
        assert evaluate(reduced, reduced.outputs(), **run, cache=cache, profile=profile) == [2]
        assert sum(row["count"] for row in profile.as_dict().values()) == ran


# (kernel, params, what it raises or None): a param named like one of the kernel's own arguments is ignored like any
# other; a documented param whose value the kernel cannot use raises, and is never read as something else.
KERNEL_PARAMS = [
    ("neg", {"x": 1, "self": 2}, None), ("sum", {"x": 1, "self": 2, "axis": 0}, None),
    ("add", {"scalar": 2.0, "side": "l", "self": 3}, None), ("exchange", {"value": 1}, None),
    ("sum", {"keepdims": "false"}, TypeError), ("sum", {"keepdims": 0}, TypeError), ("sum", {"axis": 1.5}, TypeError),
    ("sum", {"axis": "(0, a)"}, ValueError), ("add", {"scalar": 1.0, "side": 1}, TypeError),
]


@pytest.mark.parametrize(("name", "params", "error"), KERNEL_PARAMS)
def test_kernels_read_only_their_documented_params(name: str, params: dict[str, Any], error: Any) -> None:
    def run(params: dict[str, Any]) -> Any:
        g = tc.GraphStore()
        x = g.add_source("x")
        node = (g.add_exchange([x], params) if name == "exchange" else
                g.add_reduction(name, [x], params) if name == "sum" else g.add_op(name, [x], params))
        return evaluate(g, [node], sources={"x": np.arange(6.0).reshape(2, 3)}, kernels=numpy_kernels())

    if error is None:
        assert same(run(params), run({k: v for k, v in params.items() if k not in ("x", "self", "value")}))
        return
    with pytest.raises(error) as info:
        run(params)
    kind = "reduction" if name == "sum" else "op"
    assert info.value.__notes__ == [f"trellan: raised by node 1 ({kind} {name!r})"]


class Counted:
    # A value that counts how many of its kind are alive at once.

    live = peak = 0
    __slots__ = ("n",)

    def __init__(self, n: int) -> None:
        self.n = n
        Counted.live += 1
        Counted.peak = max(Counted.peak, Counted.live)

    def __del__(self) -> None:
        Counted.live -= 1


@pytest.mark.slow
@pytest.mark.skipif(SANITIZED, reason="pure-Python interpretation of a long chain: slow there, "
                    "and the native calls it makes run in test_deep_graphs at sanitizer size")
@pytest.mark.parametrize(("reduce", "length", "width"), [
    (False, 1_000_000, 2),  # the value being read and the one being made
    (True, 100_000, 3),     # and the stage's input, held while the stage runs
])
def test_a_long_chain_runs_with_a_bounded_number_of_live_values(reduce: bool, length: int, width: int) -> None:
    store = tc.GraphStore()
    last = store.add_source("x")
    for _ in range(length - 1):
        last = store.add_op("step", [last])
    if reduce:
        store, last = store.reduce(outputs=[last])[0], 1
        assert store.nodes()[1]["n_members"] == length - 1
    Counted.live = Counted.peak = 0
    (value,) = evaluate(store, [last], sources=lambda name, params: Counted(0),
                        kernels={"step": lambda x: Counted(x.n + 1)})
    assert (value.n, Counted.peak) == (length - 1, width)
    del value
    assert Counted.live == 0
