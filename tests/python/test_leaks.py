"""Every native path, success and error, called thousands of times: the reference counts of the argument objects do
not move, Python objects do not pile up (the interpreter's count of allocated blocks), the C/C++ heap does not grow
(glibc's mallinfo2, where available) and neither does the process (RSS). Also: running out of memory is a
MemoryError for that one call, and leaves the store and the reducer usable."""

import ctypes, gc, os, subprocess, sys, textwrap
from collections.abc import Callable

import numpy as np
import pytest

import trellan_core
from trellan import Profile, evaluate
from strategies import Endless, source_rec, stage_rec, store_of
from trellan_core import GraphStore, IncrementalReducer, PayloadDescriptor

CALLS, ROUNDS, WARMUP = 2000, 2, 50  # per case, in ROUNDS rounds after a warm-up
HEAVY_CALLS = 400  # for the cases that reduce or draw hash keys, named by their first word:
HEAVY = {"GraphStore()", "reduce", "reduce_incremental", "IncrementalReducer()", "step", "finalize"}
# Average C/C++ heap growth allowed per call: below the size of any heap
# block, so a leak of one block per call cannot pass.
BYTES_PER_CALL, RSS_BOUND = 4, 8 << 20


_libc = ctypes.CDLL(None)


def rss_bytes() -> int:
    # Free heap pages go back to the system first, so that RSS counts only memory still held.
    getattr(_libc, "malloc_trim", lambda pad: None)(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


with open("/proc/self/maps") as _maps:
    UNDER_ASAN = "libasan" in _maps.read() or "libclang_rt.asan" in os.environ.get("LD_PRELOAD", "")
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2


def heap_in_use() -> int:
    # Bytes in use by malloc (the C++ heap and large Python blocks); 0 where glibc's mallinfo2 is missing, or under
    # the sanitizer, whose allocator is not glibc's.
    info = _mallinfo2() if _mallinfo2 and not UNDER_ASAN else None
    return info.uordblks + info.hblkhd if info else 0

# The argument objects. Values above 256 and fresh containers, so that their
# reference counts belong to this module alone.
NAME = "leak-" + "n" * 40
PARAMS = {"scalar": 1.5e300, "count": 10**12, "side": "r" * 30, "flag": True}
BAD_PARAMS_VALUE, BAD_PARAMS_KEY = {"k": [1, 2]}, {10**12: 1}
DESC_DICT = {"kind": "k" * 20, "content_hash": "h" * 20, "framework": "f", "version": "v", "io_schema": "s",
             "preprocessing_ref": "p" * 20}
DESC_MISSING = {"kind": "k", "content_hash": "h", "framework": "f", "version": "v"}
DESC_BAD_FIELD = dict(DESC_DICT, version=10**12)
DESC_OBJ = PayloadDescriptor(**dict(DESC_DICT, preprocessing_ref=None))
BIG_ID = 10**12
STORE = GraphStore()
_x = STORE.add_source(NAME, PARAMS)
_a = STORE.add_op("add", [_x, STORE.add_source("y")])
_c = STORE.add_op("f", [STORE.add_op("mul", [_a], {"scalar": 1.0, "side": "l"}), _a])
_e = STORE.add_external(DESC_DICT, [STORE.add_reduction("sum", [_c], {"axis": 10**12})], PARAMS)
OUTPUTS = [STORE.add_join([_e, _c]), _e, _c]
INPUTS, BAD_INPUTS, NOT_INT_INPUTS = [OUTPUTS[0], OUTPUTS[2]], [0, BIG_ID], [0, "1"]
ROWS = [INPUTS, [OUTPUTS[1], OUTPUTS[2]], INPUTS]
ROW_ARRAY = np.array(ROWS, dtype=np.uint64)
BLOB = STORE.serialize(outputs=OUTPUTS)
BAD_BLOB = BLOB[:-3]
REDUCED_STORE = GraphStore.deserialize(STORE.reduce(outputs=OUTPUTS)[0].serialize())
MARKED_STORE = GraphStore.deserialize(BLOB)  # STORE's nodes, with marks
# A stage member token no parser accepts: nodes() raises on it.
BAD_MEMBER_STORE = store_of([source_rec("x"), stage_rec([0], [("bad", [])])])
FULL_REDUCER = IncrementalReducer()
FULL_REDUCER.step(STORE)
ENDLESS, NOT_A_STORE, TRUE = Endless(), object(), True
# evaluate's native runner: every callable gives VALUE, or raises
VALUE = [10**12]


def echo(*_inputs: object, **_params: object) -> object:
    return VALUE


def fail(*_inputs: object, **_params: object) -> object:
    raise ValueError("no")


RUN = dict(sources=echo, kernels=dict.fromkeys(["add", "mul", "f", "sum"], echo), external=echo, join=echo)
PLAN = REDUCED_STORE.execution_plan()
RUNNER = trellan_core._PlanRunner(PLAN, [(echo, (), PARAMS)] * len(PLAN.operators), True)
BAD_OPERATORS = [(echo, (), PARAMS)] * (len(PLAN.operators) - 1) + [(echo, ())]  # the last is not a 3-tuple

# (label, call, expected exception or None, argument objects whose reference
# counts must not move): one case per distinct native path
CASES: list[tuple[str, Callable[[], object], type[BaseException] | None, list[object]]] = [
    ("GraphStore()", lambda: GraphStore(), None, []),
    ("GraphStore(arg)", lambda: GraphStore(NAME), TypeError, [NAME]),
    ("version", trellan_core.version, None, []),
    # builders: an existing key, so the store does not grow
    ("add_source", lambda: STORE.add_source(name=NAME, params=PARAMS), None, [NAME, PARAMS, *PARAMS.values()]),
    ("add_source surplus", lambda: STORE.add_source(NAME, PARAMS, NAME), TypeError, [NAME, PARAMS]),
    ("add_source bad name", lambda: STORE.add_source(BIG_ID), TypeError, [BIG_ID]),
    ("add_source bad value", lambda: STORE.add_source(NAME, BAD_PARAMS_VALUE), TypeError,
     [BAD_PARAMS_VALUE, BAD_PARAMS_VALUE["k"]]),
    ("add_source bad key", lambda: STORE.add_source(NAME, BAD_PARAMS_KEY), TypeError, [BAD_PARAMS_KEY]),
    ("add_op bad id", lambda: STORE.add_op("add", BAD_INPUTS), ValueError, [BAD_INPUTS, BIG_ID]),
    ("add_op str item", lambda: STORE.add_op("add", NOT_INT_INPUTS), TypeError, [NOT_INT_INPUTS]),
    ("add_op not a sequence", lambda: STORE.add_op("add", BIG_ID), TypeError, [BIG_ID]),
    ("add_op endless sequence", lambda: STORE.add_op("add", ENDLESS), MemoryError, [ENDLESS]),
    ("add_ops lists", lambda: STORE.add_ops("add", ROWS, PARAMS), None, [ROWS, *ROWS, PARAMS]),
    ("add_ops array", lambda: STORE.add_ops("add", ROW_ARRAY), None, [ROW_ARRAY]),
    ("add_ops bad row", lambda: STORE.add_ops("add", [INPUTS, BAD_INPUTS]), ValueError, [BAD_INPUTS, BIG_ID]),
    ("add_ops row not ints", lambda: STORE.add_ops("add", [INPUTS, NOT_INT_INPUTS]), TypeError, [NOT_INT_INPUTS]),
    ("add_sources bad row", lambda: STORE.add_sources(NAME, [PARAMS, BAD_PARAMS_VALUE]), TypeError,
     [PARAMS, BAD_PARAMS_VALUE]),
    ("add_external dict", lambda: STORE.add_external(DESC_DICT, INPUTS, PARAMS), None,
     [DESC_DICT, *DESC_DICT.values(), INPUTS, PARAMS]),
    ("add_external object", lambda: STORE.add_external(DESC_OBJ, INPUTS), None, [DESC_OBJ, INPUTS]),
    ("add_external missing field", lambda: STORE.add_external(DESC_MISSING, INPUTS), ValueError, [DESC_MISSING]),
    # views
    ("nodes of a reduced store", lambda: REDUCED_STORE.nodes(), None, []),
    ("nodes bad member token", lambda: BAD_MEMBER_STORE.nodes(), ValueError, []),
    ("outputs, node_map", lambda: (REDUCED_STORE.outputs(), REDUCED_STORE.node_map()), None, []),
    ("to_dot", lambda: STORE.to_dot(), None, []),
    ("wrong receiver", lambda: GraphStore.nodes(NOT_A_STORE), TypeError, [NOT_A_STORE]),
    # persistence
    ("serialize outputs", lambda: STORE.serialize(outputs=OUTPUTS), None, [OUTPUTS]),
    ("serialize bad id", lambda: STORE.serialize(BAD_INPUTS), ValueError, [BAD_INPUTS, BIG_ID]),
    ("deserialize", lambda: GraphStore.deserialize(BLOB), None, [BLOB]),
    ("deserialize bad blob", lambda: GraphStore.deserialize(BAD_BLOB), ValueError, [BAD_BLOB]),
    # reductions
    ("reduce", lambda: STORE.reduce(outputs=OUTPUTS, maximal_fusion=TRUE), None, [OUTPUTS]),
    ("reduce bad flag", lambda: STORE.reduce(maximal_fusion=BIG_ID), TypeError, [BIG_ID]),
    ("reduce bad id", lambda: STORE.reduce(outputs=BAD_INPUTS), ValueError, [BAD_INPUTS, BIG_ID]),
    ("reduce_incremental", lambda: STORE.reduce_incremental(outputs=OUTPUTS), None, [OUTPUTS]),
    # PayloadDescriptor
    ("PayloadDescriptor", lambda: PayloadDescriptor(**DESC_DICT), None, [DESC_DICT, *DESC_DICT.values()]),
    ("PayloadDescriptor missing", lambda: PayloadDescriptor(**DESC_MISSING), TypeError, [DESC_MISSING]),
    ("descriptor properties", lambda: [getattr(DESC_OBJ, f) for f in DESC_DICT], None, [DESC_OBJ]),
    # IncrementalReducer
    ("IncrementalReducer()", lambda: IncrementalReducer(), None, []),
    ("step", lambda: FULL_REDUCER.step(STORE), None, [STORE]),
    ("step not a store", lambda: FULL_REDUCER.step(NOT_A_STORE), TypeError, [NOT_A_STORE]),
    ("step other store", lambda: FULL_REDUCER.step(MARKED_STORE), ValueError, [MARKED_STORE]),
    ("counters", lambda: (FULL_REDUCER.watermark(), FULL_REDUCER.canonical_count()), None, []),
    ("finalize", lambda: FULL_REDUCER.finalize(STORE, outputs=OUTPUTS, maximal_fusion=TRUE), None, [STORE, OUTPUTS]),
    ("finalize bad id", lambda: FULL_REDUCER.finalize(STORE, outputs=BAD_INPUTS), ValueError, [STORE, BAD_INPUTS]),
    # evaluate
    ("evaluate", lambda: evaluate(REDUCED_STORE, **RUN, profile=Profile()), None, [VALUE, echo]),
    ("evaluate raising", lambda: evaluate(REDUCED_STORE, **dict(RUN, kernels=dict(RUN["kernels"], f=fail))), ValueError,
     [fail]),
    ("runner step, timings", lambda: (RUNNER.step(0, []), RUNNER.timings()), None, [VALUE, echo, PARAMS]),
    ("runner bad operators", lambda: trellan_core._PlanRunner(PLAN, BAD_OPERATORS), TypeError, [echo, PARAMS]),
]


def run(call: Callable[[], object], expected: type[BaseException] | None) -> None:
    try:
        call()
    except expected or ():
        return
    assert expected is None, f"expected {expected.__name__}"


def test_no_call_leaks_references_or_memory():
    for _, call, expected, _ in CASES:
        for _ in range(WARMUP):
            run(call, expected)
    gc.collect()
    rss_before = rss_bytes()

    failures = []
    for label, call, expected, tracked in CASES:
        n = HEAVY_CALLS if label.split()[0] in HEAVY else CALLS
        gc.collect()
        refs = [sys.getrefcount(o) for o in tracked]
        # Python blocks and heap bytes in use after a settling round and after
        # each measured round. A leak grows them in every round; an
        # interpreter table that grows now and then, in one round at most.
        samples = []
        for calls in (WARMUP, *[n // ROUNDS] * ROUNDS):
            for _ in range(calls):
                run(call, expected)
            gc.collect()
            samples.append((sys.getallocatedblocks(), heap_in_use()))
        after = [sys.getrefcount(o) for o in tracked]
        blocks, heap = (min(b[k] - a[k] for a, b in zip(samples, samples[1:])) for k in (0, 1))
        failures += [f"{label}: reference counts {refs} -> {after}"] * (after != refs)
        failures += [f"{label}: {blocks} more Python blocks in each round"] * (blocks > n // ROUNDS // 4)
        failures += [f"{label}: the heap grew by {heap} bytes or more in each round"] * (heap > BYTES_PER_CALL * n // ROUNDS)
    gc.collect()
    grown = rss_bytes() - rss_before
    assert failures == [], "\n".join(failures)
    # Under ASan freed memory sits in its quarantine, and RSS says nothing.
    assert UNDER_ASAN or grown < RSS_BOUND, f"RSS grew by {grown} bytes"


FRESH_CONSTANTS, FRESH_ROUNDS = 100_000, 12


def test_reductions_with_fresh_constants_keep_memory_flat():
    # A long-running service reduces pipeline after pipeline, each with constants never seen before: whatever a
    # reduction learns about its operators goes away with it.
    samples = []
    for r in range(FRESH_ROUNDS):
        g = GraphStore()
        x = g.add_source("x")
        for k in range(FRESH_CONSTANTS):
            x = g.add_op("mul", [x], {"scalar": float(r * FRESH_CONSTANTS + k)})
        g.reduce(outputs=[x])
        del g
        gc.collect()
        samples.append((heap_in_use(), rss_bytes()))
    # Against the third round, once allocator pools have settled. Every
    # reduction interns 100k texts of about 40 bytes: a table that kept them
    # would grow by about 4 MB per round, 36 MB over the nine compared. RSS
    # also moves with fragmentation by a few MB, so its bound is looser.
    (heap0, rss0), (heap1, rss1) = samples[2], samples[-1]
    assert heap1 - heap0 < 1 << 20, f"heap grew by {heap1 - heap0} bytes"
    assert UNDER_ASAN or rss1 - rss0 < 24 << 20, f"RSS grew by {rss1 - rss0} bytes"


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer runtime reserves too much address space for a limit")
def test_running_out_of_memory_leaves_store_and_reducer_usable():
    # With the address space capped, a store call and the reducer's step (which holds both locks) that copy large
    # names, and a digest pass that fails half-way, raise MemoryError or succeed, never the panic exception; a first
    # step that ran short part-way binds the reducer to its store all the same; once memory is back, the same objects
    # give the results of ones that never ran short. In a child process, whose address space can be capped without harm.
    script = textwrap.dedent("""
        import resource, trellan_core as tc

        def record(store):
            # one name too long to encode for its digest under the cap, half-way through
            return [store.add_op("f", [store.add_source("x" * ((40 if i == 8 else 4) << 20) + str(i))])
                    for i in range(16)]

        def outcome(call):
            try:
                return call() and "ok"
            except (MemoryError, ValueError) as e:
                return type(e).__name__

        store, reducer, fresh = tc.GraphStore(), tc.IncrementalReducer(), tc.GraphStore()
        outputs, _ = record(store), record(fresh)
        with open("/proc/self/status") as f:
            vm_size = next(int(ln.split()[1]) * 1024 for ln in f if ln.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_size + (32 << 20), hard))
        print(outcome(lambda: reducer.step(store) + 1), outcome(lambda: reducer.finalize(fresh, outputs=outputs)),
              outcome(lambda: reducer.finalize(store, outputs=outputs)),
              outcome(lambda: store.reduce(outputs=outputs)), outcome(store.digests), outcome(store.serialize))
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        reducer.step(store)
        print(store.serialize() == fresh.serialize() and store.digests() == fresh.digests(),
              reducer.finalize(store, outputs=outputs)[0].serialize()
              == tc.IncrementalReducer().finalize(fresh, outputs=outputs)[0].serialize())
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    step, other_store, *calls, digests, serialize, same, same_reduction = done.stdout.split()
    assert step == digests == serialize == "MemoryError" and other_store == "ValueError"
    assert set(calls) <= {"ok", "MemoryError"} and same == same_reduction == "True"
