"""Running the shapes of real front ends: `evaluate` of the reduced graph against the recorded one.

Run: python bench/bench_run_shapes.py [--before PYTHON] [--sizes N ...] [--seeds S ...]
                                      [--shapes NAME ...]
     (defaults: sizes 300000 1000000, seeds 0 1 2, shapes fresh_sources hub many_outputs)

For each shape of bench/synthetic.py (C: fresh_sources, A: hub, B: many_outputs), size and seed,
a fresh process records the graph, reduces it against its outputs, and times `evaluate` of the
recorded graph and of the reduced one (the outputs mapped), alternately, best of 3 rounds of CPU
time. Kernels are NumPy's on 2-element float64 arrays (plus stand-ins for the shapes' other op
names, below), and every source reads the same small array, so the figures measure the executor,
not the kernels. With `--before PYTHON` (an interpreter with another build installed, e.g. main),
the same measurement runs under it first, for each graph, in the same run. The table shows the
seconds and the ratio reduced / recorded (target: at most 1.0) for each build.
"""

from __future__ import annotations

import argparse
import gc
import json
import subprocess
import sys
import time
import warnings
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

ROUNDS = 3
SHAPES = ("fresh_sources", "hub", "many_outputs")


class Combine:
    """A tree reduction's step or a chunk aggregate: the sum of one input over `axis`, or the
    element-wise sum of several."""

    def __call__(self, *inputs: Any, axis: Any = None, **_params: Any) -> Any:
        import numpy as np

        if len(inputs) == 1:
            return np.sum(inputs[0], axis=axis)
        total = inputs[0]
        for x in inputs[1:]:
            total = total + x
        return total


def first(x: Any, /, *_rest: Any, **_params: Any) -> Any:
    """A dataframe's assign or merge, as far as the executor can tell: its first input."""
    return x


def kernels() -> dict[str, Any]:
    from trellan.kernels import Unary, numpy_kernels

    table: dict[str, Any] = dict(numpy_kernels())
    table.update(square=Unary("square"), arctan=Unary("arctan"), assign=first)
    for name in ("sum", "mean_chunk", "mean_combine", "mean_agg", "moment_chunk", "moment_combine",
                 "moment_agg", "_apply_chunk", "_apply_combine", "_apply_agg"):
        table[name] = Combine()
    for name in ("getitem", "isnull", "fillna", "round", "astype"):
        table[name] = Unary("absolute")
    return table


_VALUE: list[Any] = []


def small_source(_name: str, _params: dict[str, Any]) -> Any:
    if not _VALUE:
        import numpy as np

        _VALUE.append(np.linspace(0.1, 0.9, 2))
    return _VALUE[0]


def measure(shape: str, size: int, seed: int) -> dict[str, float]:
    import synthetic
    from trellan import evaluate

    store, outputs = synthetic.SHAPES[shape](size, seed=seed)
    reduced, _ = store.reduce(outputs=outputs)
    mapped = [entry[0] for entry in reduced.node_map_of(outputs)]
    run = dict(sources=small_source, kernels=kernels(), join=first)
    times: dict[str, list[float]] = {"recorded s": [], "reduced s": []}
    warnings.simplefilter("ignore")  # log of negatives, overflow in exp
    for _ in range(ROUNDS):
        for key, graph, ids in (("recorded s", store, outputs), ("reduced s", reduced, mapped)):
            gc.collect()
            began = time.process_time()
            evaluate(graph, ids, **run)
            times[key].append(time.process_time() - began)
    out = {key: min(values) for key, values in times.items()}
    out["nodes"], out["reduced nodes"] = store.node_count(), reduced.node_count()
    return out


def child(python: str, shape: str, size: int, seed: int) -> dict[str, float]:
    done = subprocess.run([python, __file__, "--json", shape, str(size), str(seed)],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main() -> None:
    if sys.argv[1:2] == ["--json"]:
        shape, size, seed = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
        print(json.dumps(measure(shape, size, seed)))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", metavar="PYTHON")
    parser.add_argument("--sizes", type=int, nargs="+", default=[300_000, 1_000_000])
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2])
    parser.add_argument("--shapes", nargs="+", default=list(SHAPES), choices=SHAPES)
    args = parser.parse_args()
    builds = ([("before", args.before)] if args.before else []) + [("after", sys.executable)]
    print(f"evaluate, best of {ROUNDS} rounds of CPU time; ratio = reduced / recorded (target 1.0)")
    header = f"{'shape':<14}{'nodes':>9}{'reduced':>9}{'seed':>5}"
    for title, _ in builds:
        header += f"{title + ' rec s':>15}{title + ' red s':>15}{'ratio':>7}"
    print(header, flush=True)
    for shape in args.shapes:
        for size in args.sizes:
            for seed in args.seeds:
                columns = [child(python, shape, size, seed) for _, python in builds]
                line = f"{shape:<14}{columns[-1]['nodes']:>9.0f}{columns[-1]['reduced nodes']:>9.0f}{seed:>5}"
                for col in columns:
                    line += (f"{col['recorded s']:>15.3f}{col['reduced s']:>15.3f}"
                             f"{col['reduced s'] / col['recorded s']:>7.2f}")
                print(line, flush=True)


if __name__ == "__main__":
    main()
