"""Many threads on one GraphStore: writers record overlapping keys while readers serialize, list nodes, render DOT,
reduce, step a shared incremental reducer, digest and plan, with the interpreter switching threads as often as it
can; failing calls racing with good ones; other threads running while a long reduction or evaluation works; and the
process ending while a daemon thread reduces or runs Python code the module called."""

import random, subprocess, sys, threading, time
from collections.abc import Callable
from functools import partial

import numpy as np
import pytest

from strategies import DESCRIPTORS, Node, record_node, result
from trellan import evaluate
from trellan_core import GraphStore, IncrementalReducer

# Readers take at most READER_ROUNDS looks, and stop once the writers are done.
WRITERS, LAYERS, WIDTH, READER_ROUNDS = 8, 16, 100, 300
# an identity add, an identity mul, and texts that need escaping
PARAMS = [{}, {"k": 1}, {"scalar": 0.0, "side": "r"}, {"scalar": 1.0, "side": "l"},
          {"s": "a|b;c=d%", "f": -0.0, "b": True}]


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def universe(seed: int) -> list[Node]:
    # Layers of nodes whose inputs come from earlier layers only, drawn from small pools of names and params, so that
    # some repeat.
    rng = random.Random(seed)
    nodes = [Node("source", f"s{w % (WIDTH // 2)}", PARAMS[w % 2]) for w in range(WIDTH)]
    for _ in range(1, LAYERS):
        below = len(nodes)
        for _ in range(WIDTH):
            kind = rng.choice(["op", "op", "op", "reduction", "external", "exchange", "join"])
            name = rng.choice(["add", "mul", "sub", "f"]) if kind in ("op", "reduction") else ""
            nodes.append(Node(kind, name, rng.choice(PARAMS), rng.choices(range(below), k=rng.randint(1, 3)),
                              rng.choice(DESCRIPTORS)))
    return nodes


def replay(views: list[dict]) -> GraphStore:
    # A fresh store holding exactly the given node views, recorded in order.
    store, ids = GraphStore(), range(len(views))
    for v in views:
        node = Node(v["kind"], v["name"], v["params"], v["inputs"], v.get("descriptor"))
        assert record_node(store, node, ids) == v["id"]
    return store


def dot_prefix(final_dot: str, n: int) -> str:
    # The DOT text of the first n nodes of a store, cut out of the full text: its n node lines, then the edges into
    # those nodes (which come first).
    lines = final_dot.splitlines(keepends=True)
    nodes = [ln for ln in lines if "[label=" in ln]
    edges = [ln for ln in lines if "->" in ln]
    kept = [ln for ln in edges if int(ln.split("-> n")[1].rstrip(";\n")) < n]
    assert edges[: len(kept)] == kept
    return lines[0] + "".join(nodes[:n]) + "".join(kept) + lines[-1]


def run_all(bodies: list[Callable[[], None]]) -> list[BaseException]:
    # Runs each body on its own thread; returns what they raised.
    errors: list[BaseException] = []

    def guarded(body: Callable[[], None]) -> None:
        try:
            body()
        except BaseException as e:  # noqa: BLE001 - the panic type is a BaseException
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(b,)) for b in bodies]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def test_writers_and_readers_share_one_store():
    store, shared, nodes = GraphStore(), IncrementalReducer(), universe(seed=7)
    start = threading.Barrier(WRITERS + 7, timeout=120)  # a guard against hanging only
    writing = [None] * WRITERS  # one entry per writer still at work
    ids_by_writer: list[dict[int, int]] = [{} for _ in range(WRITERS)]
    seen: list[tuple[str, object]] = []  # what the readers saw, checked once all is done

    def writer(t: int) -> None:
        rng, ids = random.Random(t), ids_by_writer[t]
        start.wait()
        for layer in range(0, len(nodes), WIDTH):
            for k, i in enumerate(rng.sample(range(layer, layer + WIDTH), WIDTH)):
                ids[i] = record_node(store, nodes[i], ids)
                if k % 8 == 0:
                    time.sleep(0)  # let a reader in mid-layer
        writing.pop()

    def reduction(r: int) -> tuple[str, object]:
        n = store.node_count()
        outputs = [n - 1, n // 2, n - 1] if n else []
        return "reduce", (outputs, r % 2 == 1, result(store.reduce(outputs=outputs, maximal_fusion=r % 2 == 1)))

    def plan(r: int) -> tuple[str, object]:
        n = store.node_count()
        built = store.execution_plan([n - 1] if n else [])
        return "plan", (n, built.ids.tolist(), built.digests)

    def reader(look: Callable[[int], tuple[str, object]]) -> None:
        start.wait()
        for r in range(READER_ROUNDS):
            if not writing:
                return
            seen.append(look(r))
            time.sleep(0)

    readers = [lambda r: ("blob", store.serialize()), lambda r: ("nodes", store.nodes()),
               lambda r: ("dot", store.to_dot()), reduction, lambda r: ("step", shared.step(store)),
               lambda r: ("digests", store.digests()), plan]
    assert run_all([partial(writer, t) for t in range(WRITERS)] + [partial(reader, look) for look in readers]) == []

    # Equal keys got one id in every writer, and ids are dense.
    n = store.node_count()
    assert all(ids == ids_by_writer[0] for ids in ids_by_writer) and sorted(set(ids_by_writer[0].values())) == [*range(n)]
    # Every view a reader took is what the first nodes of the final store give.
    final, final_dot, stepped = store.nodes(), store.to_dot(), [shared.step(store)]
    for what, got in seen:
        if what in ("blob", "nodes"):
            got = GraphStore.deserialize(got).nodes() if what == "blob" else got
            assert got == final[: len(got)]
        elif what == "dot":
            assert got == dot_prefix(final_dot, got.count("[label="))
        elif what == "step":
            stepped.append(got)
        elif what == "digests":
            assert store.digests().startswith(got)
        elif what == "plan":
            n, ids, digests = got
            again = store.execution_plan([n - 1] if n else [])
            assert (again.ids.tolist(), again.digests) == (ids, digests)
        else:
            outputs, maximal, reduced = got
            assert result(replay(final[: reduced[-1]["input_nodes"]]).reduce(outputs=outputs, maximal_fusion=maximal)) == reduced
    # The reducer stepped by a reader and by this thread consumed every node once, and gives the result of a
    # reducer fed the whole store at once.
    assert sum(stepped) == n == shared.watermark() == shared.total_work()
    fresh = IncrementalReducer()
    fresh.step(store)
    assert result(shared.finalize(store, outputs=[n - 1, 0])) == result(fresh.finalize(store, outputs=[n - 1, 0]))


def test_failing_calls_interleaved_with_good_ones_leave_the_store_usable():
    # Rejected calls racing with recording neither record anything nor disturb other threads.
    store = GraphStore()
    store.add_source("x")
    bad = 2**40 + 10  # never a node of this store
    failing = [
        (ValueError, lambda: store.add_op("f", [bad])), (TypeError, lambda: store.add_op("f", [0], {"k": [1]})),
        (ValueError, lambda: store.add_ops("f", [[0], [0, 0], [bad]])),
        (ValueError, lambda: store.reduce(outputs=[bad])), (ValueError, lambda: GraphStore.deserialize(b"TIR1")),
        (ValueError, lambda: IncrementalReducer().finalize(store, outputs=[bad])),
    ]

    def fail() -> None:
        for _ in range(300):
            for exc, call in failing:
                with pytest.raises(exc):
                    call()

    def recording(t: int) -> None:
        prev = 0
        for i in range(300):
            prev = store.add_op(f"w{t}", [prev], {"i": i})

    assert run_all([fail, partial(recording, 0), fail, partial(recording, 1), fail, partial(recording, 2)]) == []
    assert store.node_count() == 1 + 3 * 300
    assert GraphStore.deserialize(store.serialize()).nodes() == store.nodes()


@pytest.fixture(scope="module")
def million_nodes() -> tuple[GraphStore, int]:
    # A chain of a million nodes with a commutative twin at every step, and its last node.
    store = GraphStore()
    v, y = store.add_source("x"), store.add_source("y")
    for _ in range((1_000_000 - 2) // 4):
        v = store.add_op("sin", [store.add_op("mul", [store.add_op("add", [v, y]), store.add_op("add", [y, v])])])
    return store, v


def counting_rate(work: Callable[[], None]) -> float:
    # Iterations per second of a counting loop on this thread while `work` runs on another one.
    stop: list[bool] = []

    def run() -> None:
        try:
            work()
        finally:
            stop.append(True)

    begin, n = time.perf_counter(), 0
    (thread := threading.Thread(target=run)).start()
    while not stop:
        n += 1
    thread.join()
    return n / (time.perf_counter() - begin)


def finalize_while_polling(store: GraphStore, out: int) -> None:
    # finalize while another thread keeps asking the same reducer for its watermark, which waits for the reducer's
    # lock.
    reducer, done = IncrementalReducer(), []

    def poll() -> None:
        while not done:
            reducer.watermark()

    def work() -> None:
        try:
            reducer.finalize(store, outputs=[out])
        finally:
            done.append(True)

    assert run_all([poll, work]) == []


def evaluate_natively(store: GraphStore, out: int) -> None:
    # Kernels that are C functions, on arrays too small for NumPy to release the interpreter: no Python code runs
    # between the runner's calls.
    x = np.linspace(0.1, 0.9, 4)
    evaluate(store, [out], sources={"x": x, "y": x}, kernels={"add": np.add, "mul": np.multiply, "sin": np.sin})


@pytest.mark.parametrize("work", [lambda store, out: store.reduce(outputs=[out]),
                                  lambda store, out: IncrementalReducer().step(store), finalize_while_polling,
                                  lambda store, out: store.digests(), evaluate_natively],
                         ids=["reduce", "step", "finalize", "digests", "evaluate"])
def test_other_threads_keep_running_during_a_long_reduction(million_nodes, work):
    # A thread counting in a loop keeps a fair part of its solo rate (measured at 0.3 to 0.6, sanitized builds included)
    # while another one reduces, steps through or evaluates a million-node graph. The machine may be shared, so one failure
    # is measured again; a reduction that holds the interpreter leaves the counter near zero every time.
    store, out = million_nodes
    ratios = []
    for _ in range(2):
        solo = counting_rate(lambda: time.sleep(0.5))
        ratios.append(counting_rate(lambda: work(store, out)) / solo)
        if ratios[-1] >= 0.15:
            return
    pytest.fail(f"the counting thread ran at {ratios} of its solo rate")


EXIT_SCRIPT = """
import atexit, gc, sys, threading, time
if sys.argv[1] == "joined by an earlier exit callback":
    atexit.register(lambda: worker.join())
import trellan_core as tc
if sys.argv[1] == "back once teardown began":
    # Garbage whose finalizer runs once the interpreter tears down, and waits long enough for the reduction to
    # come back meanwhile.
    class Slow:
        def __del__(self, sleep=time.sleep):
            sleep(3)
    gc.disable()
    cycle = Slow()
    cycle.me = cycle
    del cycle
store = tc.GraphStore()
v = store.add_source("x")
for _ in range(700_000):  # a reduction long enough to outlast the main thread's last moments
    v = store.add_op("sin", [v])
inside = threading.Event()
def work():
    inside.set()
    store.reduce(outputs=[v])
    print("reduced", flush=True)
worker = threading.Thread(target=work, daemon=True)
worker.start()
inside.wait()
time.sleep(0.05)
"""


@pytest.mark.parametrize("case, printed", [("joined by an earlier exit callback", "reduced\n"),
                                           ("back once teardown began", "")])
def test_a_daemon_thread_reducing_at_exit(case, printed):
    # The main thread ends while a daemon thread reduces. A thread that comes back while exit callbacks still run gets
    # its result, whichever order they were registered in; one that comes back once teardown has begun is parked.
    # Either way the process exits normally.
    done = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, case], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, printed), done.stderr


CALLBACK_SCRIPT = """
import sys, threading, time
import trellan_core as tc
from trellan import evaluate
store = tc.GraphStore()
x = store.add_source("x")
class Slow:  # holds teardown up while the daemon thread is inside its callback
    def __del__(self, sleep=time.sleep):
        sleep(0.6)
sys.modules["slow teardown"] = Slow()
def napping(value):
    time.sleep(0.3)
    return value
Index = type("Index", (), {"__index__": lambda self: napping(x)})
Rows = type("Rows", (), {"__len__": lambda self: 1, "__getitem__": lambda self, i: napping([x, x])})
Number = type("Number", (), {"__float__": lambda self: napping(1.5)})
class Held:  # while the kernel naps, only evaluate holds the value of y: never dropped once teardown began
    def __del__(self):
        if sys.is_finalizing():
            print("dropped at exit", flush=True)
call = {"__index__": lambda: store.add_op("neg", [Index()]), "__getitem__": lambda: store.add_ops("add", Rows()),
        "__float__": lambda: store.add_op("neg", [x], {"k": Number()}),
        "kernel": lambda: evaluate(store, [store.add_op("add", [store.add_source("y"), store.add_op("neg", [x])])],
                                   sources=lambda name, params: Held(), kernels={"neg": napping, "add": lambda a, b: b})}[sys.argv[1]]
def work():
    while True:
        call()
threading.Thread(target=work, daemon=True).start()
time.sleep(0.1)
"""


@pytest.mark.parametrize("callback", ["__index__", "__getitem__", "__float__", "kernel"])
def test_a_daemon_thread_inside_a_callback_at_exit(callback):
    # Teardown begins while a daemon thread runs Python code that the module called: the interpreter ends such a
    # thread as it takes the interpreter lock back, from inside the module's call. The thread is parked there and the
    # process exits normally.
    done = subprocess.run([sys.executable, "-c", CALLBACK_SCRIPT, callback], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, ""), done.stderr
