"""Digests, plans, task keys and reductions on eight threads at once, from the process's first
hash on (scripts/sanitize.sh runs it under ThreadSanitizer): two threads per store, four stores,
each thread doing the same work three times. Every thread's results must equal what this thread
computes alone afterwards.

    python scripts/thread_stress.py [MODULE_DIR]   # the module must come from MODULE_DIR
"""

import sys
import threading

import trellan_core as tc

if len(sys.argv) > 1:
    assert tc.__file__.startswith(sys.argv[1]), tc.__file__

STORES, THREADS, ROUNDS, LINKS = 4, 8, 3, 3000


def record(seed: int) -> tuple[tc.GraphStore, int]:
    # A chain with a commutative twin at every link; nothing is hashed yet.
    g = tc.GraphStore()
    v, y = g.add_source("x", {"seed": seed}), g.add_source("y")
    for _ in range(LINKS):
        v = g.add_op("sin", [g.add_op("mul", [g.add_op("add", [v, y]), g.add_op("add", [y, v])])])
    return g, v


def work(g: tc.GraphStore, out: int) -> tuple[bytes, ...]:
    reduced, _ = g.reduce(outputs=[out])
    return (g.digests(), g.execution_plan([out]).digests, g.task_keys(bytes(32), range(g.node_count())),
            reduced.serialize(), reduced.digests())


stores = [record(seed) for seed in range(STORES)]
start = threading.Barrier(THREADS)
got: dict[int, tuple[bytes, ...]] = {}


def run(t: int) -> None:
    start.wait()
    for _ in range(ROUNDS):
        got[t] = work(*stores[t % STORES])


threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
for t in range(THREADS):
    assert got[t] == work(*stores[t % STORES]), f"thread {t} disagrees"
print(f"thread stress: {THREADS} threads on {STORES} stores agree")
