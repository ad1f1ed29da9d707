"""The reduction split by pass on IR blobs, for one reduce_bench build or two.

Run: python bench/reduce_split.py [--before OLD/reduce_bench] [--after NEW/reduce_bench]
                                  [--runs N] [--first] BLOB...
  --after BIN    the build to measure (default build/bench/reduce_bench)
  --before BIN   a second build, measured alternately with the first, blob by blob
  --runs N       reductions per blob and build, each column at its best (reduce_bench's
                 default: 3 from 1M nodes)
  --first        the first reduction of a fresh process, best of 3 processes: what a
                 program pays the first time, memory faulted in afresh

Prints one row per blob and build: the CPU time per input node of each pass (the
engine's graph and the token table count as one), the whole reduce_store, and the peak
heap beyond the input, from reduce_bench --blob. Write blobs with bench_scale.py --blobs.
"""

from __future__ import annotations

import argparse
import re
import subprocess
from pathlib import Path

PASSES = [("dead code", "dead"), ("token table + engine graph", "graph"), ("engine", "engine"),
          ("cse", "cse"), ("fusion + node map", "fusion"), ("store build", "store")]


def measure(binary: str, blob: str, runs: int | None) -> dict:
    args = [binary, "--blob", blob] + (["--runs", str(runs)] if runs else [])
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    row = {}
    for line in out.splitlines():
        m = re.match(r"\s+(.+?)\s{2,}([\d.]+)\s+([\d.]+)(?:\s+([\d.]+))?$", line)
        if m:
            row[m.group(1)] = (float(m.group(3)), float(m.group(4) or 0))
    if "reduce_store end to end" not in row:
        raise RuntimeError(f"{binary} {blob}: no figures\n{out[-500:]}")
    return row


def first(binary: str, blob: str) -> dict:
    """The first reduction of a process: its passes, best of three processes."""
    rows = [measure(binary, blob, 1) for _ in range(3)]
    return min(rows, key=lambda r: sum(r[name][0] for name, _ in PASSES))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--before")
    ap.add_argument("--after", default=str(Path(__file__).resolve().parents[1] / "build/bench/reduce_bench"))
    ap.add_argument("--runs", type=int)
    ap.add_argument("--first", action="store_true")
    ap.add_argument("blobs", nargs="+")
    opts = ap.parse_args()
    builds = ([("before", opts.before)] if opts.before else []) + [("after", opts.after)]
    head = "".join(f"{short:>8}" for _, short in PASSES)
    whole = "passes" if opts.first else "whole"
    print(f"{'blob':<34} {'build':<7}{head}{whole:>8}{'peak B':>8}   (ns per input node, CPU time)")
    for blob in opts.blobs:
        for label, binary in builds:
            row = first(binary, blob) if opts.first else measure(binary, blob, opts.runs)
            cells = "".join(f"{row[name][0]:>8.1f}" for name, _ in PASSES)
            total = sum(row[name][0] for name, _ in PASSES) if opts.first else row["reduce_store end to end"][0]
            print(f"{Path(blob).name:<34} {label:<7}{cells}{total:>8.1f}{row['reduce_store end to end'][1]:>8.1f}",
                  flush=True)


if __name__ == "__main__":
    main()
