"""Value digests and task keys: cost per node and the memory the store keeps, at 100k, 1M and 10M nodes.

Run: python bench/bench_digest.py [--sizes N ...]

Each size is measured in a fresh process on a synthetic pipeline (bench/synthetic.py: chains of one- and
two-input ops with commutative twins, identity ops and dead branches), recorded through the Python builders.
Reported per node, as the CPU time of the calling thread (the digest pass runs on it, without the interpreter
lock) and as wall time:
- digests(): the first call, which computes every digest, and a second, which copies the kept ones;
- the growth of the resident set over the first call once its result is dropped: the digests the store keeps
  (32 B per node, in a table that grows by half when full), and the store's own resident size for scale;
- digest(last id) after recording 1% more nodes: the cost per new node (only those are computed);
- task_keys(token, outputs): per node the outputs need (keys are not kept);
- the baseline, measured on the same store in the same run: serialize(), another native linear pass.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def timed(call):
    wall, cpu = time.perf_counter(), time.thread_time()
    result = call()
    return result, time.perf_counter() - wall, time.thread_time() - cpu


def measure(size: int) -> dict:
    import synthetic

    base = rss()
    store, outputs = synthetic.pipeline(size)
    n = store.node_count()
    recorded = rss()
    _, serialize_wall, serialize_cpu = timed(store.serialize)
    before = rss()
    first, first_wall, first_cpu = timed(store.digests)
    _, again_wall, again_cpu = timed(store.digests)
    del first
    kept = rss() - before
    synthetic.pipeline(n + n // 100, store)
    grown = store.node_count() - n
    _, grow_wall, grow_cpu = timed(lambda: store.digest(store.node_count() - 1))
    needed = store.reduction_report(outputs=outputs)["reachable_nodes"]
    _, keys_wall, keys_cpu = timed(lambda: store.task_keys(bytes(32), outputs))
    per = lambda t, count=n: t / count * 1e9
    return dict(
        nodes=n, store_bytes_per_node=(recorded - base) / n, kept_bytes_per_node=kept / n,
        first_cpu=per(first_cpu), first_wall=per(first_wall), again_cpu=per(again_cpu), again_wall=per(again_wall),
        grow_cpu=per(grow_cpu, grown), grow_wall=per(grow_wall, grown),
        keys_cpu=per(keys_cpu, needed), keys_wall=per(keys_wall, needed),
        serialize_cpu=per(serialize_cpu), serialize_wall=per(serialize_wall))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000, 10_000_000])
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(args.child)))
        return
    print(f"{'nodes':>10} {'digests() first':>20} {'again':>14} {'per new node':>16} {'task_keys':>16}"
          f" {'serialize()':>16} {'kept':>10} {'store':>10}")
    print(f"{'':>10} {'ns/node cpu (wall)':>20} {'ns/node':>14} {'ns/node':>16} {'ns/needed node':>16}"
          f" {'ns/node':>16} {'B/node':>10} {'B/node':>10}")
    for size in args.sizes:
        done = subprocess.run([sys.executable, __file__, "--child", str(size)], capture_output=True, text=True,
                              check=True)
        r = json.loads(done.stdout)
        pair = lambda key: f"{r[key + '_cpu']:.0f} ({r[key + '_wall']:.0f})"
        print(f"{r['nodes']:>10} {pair('first'):>20} {pair('again'):>14} {pair('grow'):>16} {pair('keys'):>16}"
              f" {pair('serialize'):>16} {r['kept_bytes_per_node']:>10.1f} {r['store_bytes_per_node']:>10.1f}")


if __name__ == "__main__":
    main()
