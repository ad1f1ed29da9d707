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



# ---------------------------------------------------------------- three shapes of real front ends
#
# Each records about `target` nodes in the order its front end records them, draws its choices
# from random.Random(seed), and returns (store, output ids); `store` may be a store to record
# into. SHAPES names them for the benchmarks.

UNARY = ("exp", "log1p", "sin", "cos", "tanh", "sqrt", "absolute", "negative", "square", "arctan")


def _token(rng: random.Random) -> str:
    return "%032x" % rng.getrandbits(128)


def _sources(store, name: str, rng: random.Random, count: int, **params) -> list[int]:
    """`count` sources keyed as a front end keys its partitions: every one distinct."""
    token = _token(rng)
    return store.add_sources(name, [{"key": f"('{name}-{token}', {i})", **params} for i in range(count)])


def _rows(*columns: list[int]) -> list[list[int]]:
    return [list(row) for row in zip(*columns)]


def _chain(store, rng: random.Random, ids: list[int], length: int) -> list[int]:
    """`length` layers of one-input ops over every partition, drawn at random; about one layer
    in four has a scalar operand."""
    for _ in range(length):
        if rng.random() < 0.25:
            params = {"scalar": rng.choice((2.0, 0.5, 3.0)), "side": "r"}
            ids = store.add_ops(rng.choice(("mul", "add")), _rows(ids), params)
        else:
            ids = store.add_ops(rng.choice(UNARY), _rows(ids))
    return ids


def _tree(store, name: str, ids: list[int], fan_in: int) -> int:
    """A tree reduction of ids, `fan_in` inputs per node (fewer in a level's last node)."""
    while len(ids) > 1:
        ids = store.add_reductions(name, [ids[k:k + fan_in] for k in range(0, len(ids), fan_in)])
    return ids[0]


PRODUCT_NODES = 32 * 32 * 32 + 2 * 32 * 32 + 4 * 32 * 32  # one block product of hub(), with its chain


def hub(target: int = 808_000, seed: int = 0, store: "trellan_core.GraphStore | None" = None):
    """Shape A: an array front end's graph around a broadcast value, about `target` nodes.

    At 808k nodes: 35k sources, 540k one-input and 221k two-input ops, one node read by 17,000
    others, 4,096 nodes read by 32, 4,096 nodes with 32 inputs and about 6,900 with 8.
        x: 17,000 blocks, 10 one-input layers; their mean by a tree of fan-in 8 is the hub
        z = x - mean (17,000 readers), 9 one-input layers, one of them + 0.0; the sum of z * z
            by a tree of fan-in 8
        y: 13,904 blocks, 10 one-input layers; p = y + z, q = z + y (a twin), exp(p), exp(q),
            max(exp(p) * exp(q), y); their total by a tree of fan-in 8
        4 block products of 32 x 32 blocks of z (drawn at random) with 32 x 32 weight blocks:
            every block read by 32 multiplications, every result block a sum of 32; then 4
            one-input layers
    Below about 100k nodes there is no block product. The outputs are the two totals and every
    result block."""
    store = store if store is not None else trellan_core.GraphStore()
    rng = random.Random(seed)
    products = round(4 * target / 808_000)  # none below about 100k nodes
    scale = max(0.0, target - products * PRODUCT_NODES) / (808_000 - 4 * PRODUCT_NODES)
    nx, ny = max(64, round(17_000 * scale)), max(64, round(13_904 * scale))

    x = _chain(store, rng, _sources(store, "random_sample", rng, nx, fn="_apply_random"), 10)
    chunks = store.add_reductions("mean_chunk", _rows(x))
    mean = store.add_reduction("mean_agg", [_tree(store, "mean_combine", chunks, 8)])
    z = store.add_ops("sub", [[i, mean] for i in x])
    identity_at = rng.randrange(9)
    for layer in range(9):
        z = store.add_ops("add", _rows(z), ZERO) if layer == identity_at else _chain(store, rng, z, 1)
    moments = store.add_reductions("moment_chunk", _rows(store.add_ops("mul", _rows(z, z))))
    outputs = [store.add_reduction("moment_agg", [_tree(store, "moment_combine", moments, 8)])]

    y = _chain(store, rng, _sources(store, "normal", rng, ny, fn="_apply_random"), 10)
    partner = [z[i % nx] for i in range(ny)]
    p = store.add_ops("add", _rows(y, partner))
    q = store.add_ops("add", _rows(partner, y))
    both = store.add_ops("mul", _rows(store.add_ops("exp", _rows(p)), store.add_ops("exp", _rows(q))))
    outputs.append(_tree(store, "sum", store.add_ops("maximum", _rows(both, y)), 8))

    for _ in range(products):
        left = [z[rng.randrange(nx)] for _ in range(32 * 32)]  # left[i * 32 + k]
        right = _sources(store, "weights", rng, 32 * 32)  # right[k * 32 + j]
        products = store.add_ops("mul", [[left[i * 32 + k], right[k * 32 + j]]
                                         for i in range(32) for j in range(32) for k in range(32)])
        blocks = store.add_reductions("sum", [products[b:b + 32] for b in range(0, len(products), 32)])
        outputs += _chain(store, rng, blocks, 4)
    return store, outputs


def many_outputs(target: int = 670_000, seed: int = 0, store: "trellan_core.GraphStore | None" = None):
    """Shape B: a dataframe front end's graph of many frames whose every partition is an output,
    about `target` nodes.

    At 670k nodes: 224 frames of 224 partitions, 50,624 outputs, 50,176 sources, 368k one-input
    ops, 201k two-input ops and 50,176 four-input ops, 224 nodes read by 224 others each. Per
    partition of a frame:
        a, b, c = three columns of the partition
        ab = a * b, ba = b * a (a twin; the op drawn per frame), f = assign(partition, ab, ba, c)
        a per-partition aggregate of f; a tree of fan-in 2 combines them into the frame's stats
        m = merge(f, stats) (stats read by all 224 partitions), then three one-input ops: the output
        in one partition of three, a dead check of c
    The outputs are every partition's last node, every frame's stats and its tree's root."""
    store = store if store is not None else trellan_core.GraphStore()
    rng = random.Random(seed)
    parts = 224
    outputs: list[int] = []
    for frame in range(max(1, round(224 * target / 670_000))):
        src = _sources(store, "read_parquet", rng, parts, columns="a,b,c")
        a, b, c = (store.add_ops("getitem", _rows(src), {"key": k}) for k in "abc")
        pair = rng.choice(("mul", "add", "maximum"))
        ab, ba = store.add_ops(pair, _rows(a, b)), store.add_ops(pair, _rows(b, a))
        f = store.add_ops("assign", _rows(src, ab, ba, c))
        root = _tree(store, "_apply_combine", store.add_reductions("_apply_chunk", _rows(f)), 2)
        stats = store.add_reduction("_apply_agg", [root])
        merged = [store.add_join([i, stats]) for i in f]
        dead = rng.sample(c, parts // 3)
        store.add_ops("isnull", _rows(dead))
        v = store.add_ops("getitem", _rows(merged), {"key": rng.choice("xyz")})
        v = store.add_ops(rng.choice(("fillna", "abs", "round")), _rows(v))
        outputs += store.add_ops("astype", _rows(v), {"dtype": rng.choice(("float32", "int64"))})
        outputs += [stats, root]
    return store, outputs


def fresh_sources(target: int = 1_000_000, seed: int = 0, store: "trellan_core.GraphStore | None" = None,
                  chains: int = 64):
    """Shape C: `chains` chains advanced one step at a time in random order, about `target` nodes.

    A step on a chain is a one-input op (36%), a two-input op with another chain (26%; for add,
    mul and maximum, 30% of the time also its twin recorded the other way round, folded in by
    sub(v, twin)), + 0.0 (10%), a scalar mul (8%), a dead branch (6%), a sum (5%), an exchange
    (5%) or a join with another chain (4%). A chain that another one consumes restarts from a
    fresh source with a new `part` param, so a 1M-node graph has over 100k distinct sources. The
    head of the chain just advanced becomes an output once per 1,000 nodes recorded, and every
    chain's last head is one: every node but the dead branches leads to an output."""
    store = store if store is not None else trellan_core.GraphStore()
    rng = random.Random(seed)
    add_op, add_source = store.add_op, store.add_source
    part = 0

    def fresh() -> int:
        nonlocal part
        part += 1
        return add_source("part", {"part": part})

    heads = [fresh() for _ in range(chains)]
    outputs: list[int] = []
    count = start = store.node_count()
    while count - start < target:
        c = rng.randrange(chains)
        v = heads[c]
        step = rng.random()
        if step < 0.36:
            v = add_op(rng.choice(UNARY), [v])
        elif step < 0.62:
            d = (c + 1 + rng.randrange(chains - 1)) % chains
            name = rng.choice(("add", "mul", "maximum", "sub", "div"))
            w = heads[d]
            v2 = add_op(name, [v, w])
            if name in ("add", "mul", "maximum") and rng.random() < 0.3:
                v2 = add_op("sub", [v2, add_op(name, [w, v])])
            v = v2
            heads[d] = fresh()
        elif step < 0.72:
            v = add_op("add", [v], ZERO)
        elif step < 0.80:
            v = add_op("mul", [v], {"scalar": rng.choice((2.0, 0.5, 3.0)), "side": "r"})
        elif step < 0.86:
            add_op(rng.choice(UNARY), [v])
        elif step < 0.91:
            v = store.add_reduction("sum", [v], {"axis": 0})
        elif step < 0.96:
            v = store.add_exchange([v], BY_KEY)
        else:
            d = (c + 1 + rng.randrange(chains - 1)) % chains
            v = store.add_join([v, heads[d]], {"on": "key"})
            heads[d] = fresh()
        heads[c] = v
        now = store.node_count()
        if now // 1000 != count // 1000:
            outputs.append(v)
        count = now
    return store, outputs + heads


SHAPES = {"hub": hub, "many_outputs": many_outputs, "fresh_sources": fresh_sources}
