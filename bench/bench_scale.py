"""Scale: cost per node and peak memory from 10k to 10M nodes, one install or two.

Run: python bench/bench_scale.py [options]
  --python PATH[=LABEL]   interpreter to measure (repeatable; default: this one). With
                          two, every measurement runs once under each, alternately, in
                          the same run, and the table shows both and their ratio
                          (second / first): the way to compare a "before" install with
                          an "after" install on a busy machine.
  --sizes N ...           synthetic graph sizes (default 10000 100000 1000000 10000000)
  --generator NAME ...    the graphs of bench/synthetic.py to measure (default pipeline):
                          pipeline (one chain of segments), interleaved (64 chains over
                          partitioned sources, each step on a random chain), and three
                          shapes of real front ends: hub (A: an array graph around a value
                          17,000 nodes read), many_outputs (B: 224 dataframes whose every
                          partition is an output), fresh_sources (C: 64 interleaved chains
                          that restart from fresh sources)
  --seeds S ...           the generators' seeds, each measured (default 0; pipeline has none)
  --dask                  also time dask's cull + fuse on each synthetic graph (sizes up to
                          2M nodes), in the same process as reduce()
  --blobs DIR             write each synthetic graph as an IR blob, its outputs marked, to
                          DIR/GENERATOR-NODES-sSEED.blob, for reduce_bench --blob
  --only SECTION ...      any of: pipeline step add_op real (default: all)
  --step-nodes N          store size for the step() section (default 1000000)
  --add-op-nodes N        calls for the add_op section (default 1000000)
  --clock cpu|wall        what the times measure (default cpu: the CPU time of the
                          measuring thread, page faults included, which a machine
                          busy with other work disturbs far less than wall time; a
                          large reduction's page warmer runs on a thread of its own,
                          so its time is not in it: compare --clock wall)
  pip install ".[bench]" first for the dask baseline.

Sections, each measured in a fresh process per interpreter and per size, so that the
peak resident set of one measurement owes nothing to an earlier one:
- pipeline: records a synthetic graph (bench/synthetic.py) of N nodes through the
  Python builders, then reduces it against its outputs. Reports recording ns/node,
  reduce() ns/node (the fastest of a few calls below 10M nodes, the one call at 10M),
  the peak resident set after recording and after reducing (getrusage), and the
  reduction's working set: peak after the first reduce() minus the resident set
  just before it, per input node (the reduced store and its node map included,
  since reduce() returns them). With --dask, dask's cull + fuse of the same
  dependency structure (as the real section builds it) and the speed-up, theirs /
  ours. Prints the per-node growth of reduce() from the smallest to the largest size.
- step: grows a copy of a synthetic pipeline through the builders in deltas of 100,000
  nodes and times IncrementalReducer.step after each (ns per consumed node).
- add_op: 1M add_op calls with prebuilt arguments (two inputs, two params): ns per
  call (fastest of 3) and the resident-set growth per node of the first store.
- real: the exported workload graphs (bench/workloads.py): reduce() against dask's
  cull + fuse on the same dependency structure, both timed in the same process as in
  bench/bench_reduce.py; the speed-up is theirs / ours.

The per-pass split (time and peak bytes per node of each pass) comes from the C++
benchmark bench/reduce_bench.cpp, on the blobs --blobs writes.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DELTA = 100_000
# Seconds, as float and as integer nanoseconds; set by the worker from --clock.
now, now_ns = time.thread_time, time.thread_time_ns


# ---------------------------------------------------------------- worker side

def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def fastest(fn, calls: int) -> float:
    best = float("inf")
    for _ in range(calls):
        gc.collect()
        t0 = now()
        result = fn()
        best = min(best, now() - t0)
        del result
    return best


def record_graph(generator: str, n: int, seed: int):
    import synthetic

    if generator == "pipeline":
        return synthetic.pipeline(n)
    if generator == "interleaved":
        return synthetic.interleaved(n, seed=seed)
    return synthetic.SHAPES[generator](n, seed=seed)


def work_pipeline(n: int, seed: int) -> dict:
    generator = os.environ.get("BENCH_GENERATOR", "pipeline")
    gc.collect()
    base = rss_bytes()
    t0 = now()
    store, outputs = record_graph(generator, n, seed)
    record = now() - t0
    count = store.node_count()
    gc.collect()
    peak_recorded = peak_rss_bytes()
    before_reduce = rss_bytes()
    t0 = now()
    reduced, report = store.reduce(outputs=outputs)
    first = now() - t0
    peak_reduced = peak_rss_bytes()
    del reduced
    calls = 5 if count <= 200_000 else (2 if count <= 2_000_000 else 0)
    seconds = min(first, fastest(lambda: store.reduce(outputs=outputs), calls)) if calls else first
    result = {
        "nodes": count,
        "reduced": report["reduced_nodes"],
        "record_ns": record * 1e9 / count,
        "reduce_ns": seconds * 1e9 / count,
        "peak_recorded_mb": peak_recorded / 2**20,
        "peak_reduced_mb": peak_reduced / 2**20,
        "store_b": (before_reduce - base) / count,
        "working_b": (peak_reduced - before_reduce) / count,
    }
    if os.environ.get("BENCH_DASK") and count <= 2_000_000:
        graph = {"nodes": store.nodes(), "outputs": outputs}
        result["dask_ns"] = best_cull_fuse(graph, 3 if count <= 200_000 else 2) * 1e9 / count
    if os.environ.get("BENCH_BLOBS"):
        path = Path(os.environ["BENCH_BLOBS"]) / f"{generator}-{n}-s{seed}.blob"
        path.write_bytes(store.serialize(outputs=outputs))
    return result


def work_step(n: int) -> dict:
    import synthetic
    from bench_incremental import step_in_deltas

    source, _ = synthetic.pipeline(n)
    calls = synthetic.calls(source)
    del source
    best = float("inf")
    for _ in range(3):
        spent, _, consumed = step_in_deltas(calls, DELTA, now_ns)
        best = min(best, spent / consumed)
    return {"nodes": len(calls), "step_ns": best}


def work_add_op(n: int) -> dict:
    import trellan_core

    params = {"scalar": 2.0, "side": "r"}
    inputs = [[i, i + 1] for i in range(n)]
    names = ["add"] * n
    best = float("inf")
    memory = None
    for _ in range(3):
        gc.collect()
        gc.disable()
        store = trellan_core.GraphStore()
        store.add_source("a")
        store.add_source("b")
        before = rss_bytes()
        add_op = store.add_op
        t0 = now_ns()
        for name, inp in zip(names, inputs):
            add_op(name, inp, params)
        best = min(best, (now_ns() - t0) / n)
        if memory is None:  # the first store alone: later ones reuse freed pages
            memory = (rss_bytes() - before) / n
        gc.enable()
        del store
    return {"add_op_ns": best, "add_op_b": memory}


def best_cull_fuse(graph: dict, rounds: int) -> float:
    """Seconds of dask's cull + fuse of graph's dependency structure (see bench_reduce.py),
    the fastest of `rounds` rounds, each call on a fresh input built untimed."""
    import bench_reduce
    from dask.optimization import cull, fuse

    def cull_fuse() -> float:
        dsk, keys = bench_reduce.dask_graph(graph)
        t0 = now()
        culled, deps = cull(dsk, keys)
        fuse(culled, keys=keys, dependencies=deps)
        return now() - t0

    theirs = float("inf")
    for _ in range(rounds):
        gc.collect()
        theirs = min(theirs, min(cull_fuse() for _ in range(max(1, int(0.2 / min(theirs, 1.0))))))
    return theirs


def work_real() -> dict:
    import bench_reduce
    import workloads

    rows = {}
    for path in workloads.available():
        graph = workloads.load(path)
        store, _, outputs = workloads.record(graph)
        ours = float("inf")
        for _ in range(bench_reduce.REPEATS):
            calls = max(1, int(0.2 / min(ours, 1.0)))
            ours = min(ours, fastest(lambda: store.reduce(outputs=outputs), calls))
        theirs = best_cull_fuse(graph, bench_reduce.REPEATS)
        rows[path.name.removesuffix(".json.gz")] = {
            "nodes": len(graph["nodes"]), "reduce_ms": ours * 1e3, "dask_ms": theirs * 1e3,
            "speedup": theirs / ours,
        }
    import dask
    return {"dask": dask.__version__, "rows": rows}


def worker(argv: list[str]) -> None:
    global now, now_ns
    if os.environ.get("BENCH_CLOCK") == "wall":
        now, now_ns = time.perf_counter, time.perf_counter_ns
    sys.path.insert(0, str(HERE))
    kind, args = argv[0], [int(a) for a in argv[1:]]
    result = {"pipeline": work_pipeline, "step": work_step, "add_op": work_add_op, "real": work_real}[kind](*args)
    print("RESULT " + json.dumps(result))


# ---------------------------------------------------------------- driver side

def run(python: str, *args) -> dict:
    proc = subprocess.run([python, str(Path(__file__).resolve()), "--worker", *map(str, args)],
                          capture_output=True, text=True)
    for line in proc.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT "):])
    raise RuntimeError(f"{python} {args}: exit {proc.returncode}\n{proc.stderr[-2000:]}")


def measure_all(pythons, *args) -> list[dict]:
    """One fresh process per interpreter, alternately."""
    return [run(p, *args) for p, _ in pythons]


def cells(values: list[float], fmt: str) -> str:
    out = " ".join(format(v, fmt) for v in values)
    if len(values) == 2 and values[0]:
        out += f"  x{values[1] / values[0]:.2f}"
    return out


def measure_graphs(pythons, generator: str, seed: int, sizes: list[int], dask: bool) -> None:
    os.environ["BENCH_GENERATOR"] = generator
    print(f"\nsynthetic graphs ({generator}, seed {seed}), one fresh process per size and interpreter")
    print(f"{'nodes':>9} | {'record ns/node':>22} | {'reduce ns/node':>22} | {'peak MB recorded':>24} | "
          f"{'peak MB reduced':>24} | {'store B/node':>20} | {'reduce working B/node':>22}"
          + (f" | {'dask cull+fuse ns/node':>24} | {'speed-up':>14}" if dask else ""))
    per_node = []
    for n in sizes:
        rs = measure_all(pythons, "pipeline", n, seed)
        per_node.append([r["reduce_ns"] for r in rs])
        line = (f"{rs[0]['nodes']:>9} | {cells([r['record_ns'] for r in rs], '6.0f'):>22} | "
                f"{cells([r['reduce_ns'] for r in rs], '6.0f'):>22} | "
                f"{cells([r['peak_recorded_mb'] for r in rs], '7.0f'):>24} | "
                f"{cells([r['peak_reduced_mb'] for r in rs], '7.0f'):>24} | "
                f"{cells([r['store_b'] for r in rs], '5.0f'):>20} | "
                f"{cells([r['working_b'] for r in rs], '5.0f'):>22}")
        if dask and "dask_ns" in rs[0]:
            line += (f" | {cells([r['dask_ns'] for r in rs], '7.0f'):>24} | "
                     + " ".join(f"{r['dask_ns'] / r['reduce_ns']:5.1f}x" for r in rs).rjust(14))
        print(line, flush=True)
    if len(per_node) > 1:
        growth = [last / first for first, last in zip(per_node[0], per_node[-1])]
        print(f"reduce() per-node growth {sizes[0]} -> {sizes[-1]}: "
              + " / ".join(f"{g:.2f}x" for g in growth) + " (target <= 1.5x)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--python", action="append", default=[])
    ap.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000, 10_000_000])
    ap.add_argument("--only", nargs="+", default=["pipeline", "step", "add_op", "real"])
    ap.add_argument("--step-nodes", type=int, default=1_000_000)
    ap.add_argument("--add-op-nodes", type=int, default=1_000_000)
    ap.add_argument("--clock", choices=["cpu", "wall"], default="cpu")
    ap.add_argument("--generator", nargs="+", default=["pipeline"],
                    choices=["pipeline", "interleaved", "hub", "many_outputs", "fresh_sources"])
    ap.add_argument("--seeds", type=int, nargs="+", default=[0])
    ap.add_argument("--dask", action="store_true")
    ap.add_argument("--blobs", type=Path)
    opts = ap.parse_args()
    os.environ["BENCH_CLOCK"] = opts.clock
    if opts.dask:
        os.environ["BENCH_DASK"] = "1"
    if opts.blobs:
        opts.blobs.mkdir(parents=True, exist_ok=True)
        os.environ["BENCH_BLOBS"] = str(opts.blobs.resolve())
    pythons = []
    for spec in opts.python or [sys.executable]:
        path, _, label = spec.partition("=")
        pythons.append((path, label or path))
    labels = " / ".join(label for _, label in pythons)
    print(f"interpreters: {labels}" + ("   (ratio = second / first)" if len(pythons) == 2 else "")
          + f"; times are {'CPU' if opts.clock == 'cpu' else 'wall-clock'} time")

    if "pipeline" in opts.only:
        for generator in opts.generator:
            for seed in opts.seeds if generator != "pipeline" else [0]:
                measure_graphs(pythons, generator, seed, opts.sizes, opts.dask)

    if "step" in opts.only:
        rs = measure_all(pythons, "step", opts.step_nodes)
        print(f"\nIncrementalReducer.step, deltas of {DELTA} nodes on {rs[0]['nodes']} calls: "
              f"{cells([r['step_ns'] for r in rs], '.1f')} ns/node (target <= 100)", flush=True)

    if "add_op" in opts.only:
        rs = measure_all(pythons, "add_op", opts.add_op_nodes)
        print(f"\nadd_op x {opts.add_op_nodes}, prebuilt args: {cells([r['add_op_ns'] for r in rs], '.0f')} "
              f"ns/call (target <= 250); {cells([r['add_op_b'] for r in rs], '.1f')} B/node (target <= 100)",
              flush=True)

    if "real" in opts.only:
        try:
            rs = measure_all(pythons, "real")
        except RuntimeError as e:
            print(f"\nreal graphs skipped (pip install '.[bench]' for dask): {str(e).splitlines()[0]}")
            return
        print(f"\nreal graphs: reduce() vs dask cull+fuse in the same process "
              f"(dask {' / '.join(r['dask'] for r in rs)})")
        print(f"{'workload':<20} {'nodes':>7} | {'reduce ms':>20} | {'cull+fuse ms':>20} | {'speed-up':>18}")
        for name, row in rs[0]["rows"].items():
            rows = [r["rows"][name] for r in rs]
            print(f"{name:<20} {row['nodes']:>7} | {cells([x['reduce_ms'] for x in rows], '6.2f'):>20} | "
                  f"{cells([x['dask_ms'] for x in rows], '6.1f'):>20} | "
                  f"{' '.join(format(x['speedup'], '5.1f') + 'x' for x in rows):>18}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2:])
    else:
        main()
