"""Synthetic pipelines recorded through the Python builders, shared by the benchmarks.

A pipeline is a sequence of segments. Each segment starts from the previous one's
exchange (or the input source), runs an element-wise chain and ends in a reduction
followed by an exchange. One step of the chain records ten ops:

    left   = add(v, side)          right = add(side, v)     # commutative twin of left
    both   = mul(left, right)      same  = both + 0.0       # identity op
    top    = sin(same)             bottom = cos(same)       # fan-out that meets again
    m      = maximum(top, bottom)  tanh(m)                  # dead branch: nothing reads it
    v      = m * 2.0               v     = neg(v)

so two of every ten chain nodes (right and same) are duplicates that the optimizer
folds away. Every eighth reduction is an output besides the last exchange.

interleaved() records the same steps on 64 chains, each over a source partition of its
own, one step at a time on a chain drawn at random: consecutive ids belong to different
chains, as in a front end that applies each operation to every partition in turn.
"""

from __future__ import annotations

import random

import trellan_core

STEPS_PER_SEGMENT = 40
NODES_PER_STEP = 10

ZERO = {"scalar": 0.0, "side": "r"}
TWICE = {"scalar": 2.0, "side": "r"}
BY_KEY = {"scheme": "hash"}


def pipeline(target: int, store: "trellan_core.GraphStore | None" = None):
    """Records about `target` nodes; returns (store, output ids)."""
    store = store if store is not None else trellan_core.GraphStore()
    add_op = store.add_op
    carry = store.add_source("input", {"part": 0})
    outputs: list[int] = []
    segment = 0
    while store.node_count() < target:
        side = store.add_source("side", {"part": segment})
        v = add_op("exp", [carry])
        for _ in range(STEPS_PER_SEGMENT):
            v = _step(add_op, v, side)
        total = store.add_reduction("sum", [v], {"axis": 0})
        if segment % 8 == 7:
            outputs.append(total)
        carry = store.add_exchange([total], BY_KEY)
        segment += 1
    outputs.append(carry)
    return store, outputs


def _step(add_op, v: int, side: int) -> int:
    """One chain step of ten ops (see the module docstring); returns the new v."""
    left = add_op("add", [v, side])
    right = add_op("add", [side, v])
    both = add_op("mul", [left, right])
    same = add_op("add", [both], ZERO)
    top = add_op("sin", [same])
    bottom = add_op("cos", [same])
    m = add_op("maximum", [top, bottom])
    add_op("tanh", [m])
    v = add_op("mul", [m], TWICE)
    return add_op("neg", [v])


def interleaved(target: int, chains: int = 64, seed: int = 0):
    """Records about `target` nodes on `chains` interleaved chains; returns (store, outputs)."""
    store = trellan_core.GraphStore()
    add_op = store.add_op
    sides = [store.add_source("part", {"part": c}) for c in range(chains)]
    heads = [add_op("exp", [s]) for s in sides]
    pick = random.Random(seed).randrange
    for _ in range(max(0, target - 2 * chains) // NODES_PER_STEP):
        c = pick(chains)
        heads[c] = _step(add_op, heads[c], sides[c])
    return store, [store.add_reduction("sum", [h], {"axis": 0}) for h in heads]


def calls(store: "trellan_core.GraphStore") -> list[tuple[str, tuple]]:
    """The builder calls that record `store` again, node by node, as (method, args).

    Replaying them onto an empty store yields the same ids, so a benchmark can grow
    a copy of a graph in steps of its choosing."""
    out: list[tuple[str, tuple]] = []
    for node in store.nodes():
        kind, params, inputs = node["kind"], node["params"] or None, node["inputs"]
        if kind == "source":
            out.append(("add_source", (node["name"], params)))
        elif kind in ("op", "reduction"):
            out.append(("add_" + kind, (node["name"], inputs, params)))
        elif kind in ("exchange", "join"):
            out.append(("add_" + kind, (inputs, params)))
        else:
            raise ValueError(f"cannot replay a {kind} node")
    return out


HALF = {"scalar": 0.5, "side": "r"}
ONE = {"scalar": 1.0, "side": "r"}


def lanes(target: int, sources: int = 256, store: "trellan_core.GraphStore | None" = None):
    """About `target` nodes of element-wise chains over `sources` sources, one chain per source,
    advanced in turn; returns (store, output ids). One step of a chain records ten ops:

        left  = add(v, w)         right = add(w, v)      # commutative twin of left (w: next chain)
        both  = mul(left, right)  same  = both * 1.0     # identity op
        top   = sin(same)         cos(same)              # dead branch: nothing reads it
        v     = both * 0.5 ... v = add(top, v), tanh(v)

    and every 32nd step of a chain adds its value to the chain's partial sum, a reduction that is
    an output. Run with 2-element float arrays it measures the executor, not the kernels."""
    store = store if store is not None else trellan_core.GraphStore()
    add_op = store.add_op
    heads = [store.add_source("lane", {"key": k}) for k in range(sources)]
    outputs: list[int] = []
    step = 0
    while store.node_count() < target:
        for k in range(sources):
            v, w = heads[k], heads[(k + 1) % sources]
            left = add_op("add", [v, w])
            right = add_op("add", [w, v])
            both = add_op("mul", [left, right])
            same = add_op("mul", [both], ONE)
            top = add_op("sin", [same])
            add_op("cos", [same])
            half = add_op("mul", [both], HALF)
            v = add_op("tanh", [add_op("add", [top, half])])
            if step % 32 == 31:
                outputs.append(store.add_reduction("sum", [v], {"axis": 0}))
            heads[k] = add_op("neg", [v])
        step += 1
    outputs.extend(heads)
    return store, outputs
