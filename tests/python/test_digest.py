"""Value digests and task keys: the written-out vectors that pin digest version 2 (and task keys, unchanged since
version 1), what makes a stage's digest fail, stability across processes, and which tasks share a key. That digests
name exactly the computations, and survive a reduction exactly where it only fused or removed duplicates, is checked
by the random-graph properties of the reduction, incremental and blob tests."""

import hashlib, os, subprocess, sys

import pytest

from strategies import (
    DESCRIPTOR, INPUT, MEMBER, blob, digest_list, exchange_rec, external_rec, join_rec, op_rec,
    reduction_rec, source_rec, stage_rec, store_of
)
from trellan_core import GraphStore

EVERY_KIND = blob([
    source_rec("x"),
    source_rec("y", [("a", 1), ("b", -0.0), ("c", True), ("d", "s|;=%")]),
    op_rec("add", [0, 1]),
    op_rec("add", [1, 0]),  # a commutative twin: a digest of its own
    op_rec("mul", [0], [("scalar", 1.0), ("side", "l")]),  # an identity op: a digest of its own
    op_rec("sub", [0, 2], [("scalar", 2.0), ("side", "r")]),
    reduction_rec("sum", [2], [("axis", 0)]),
    external_rec(DESCRIPTOR, [0]),
    external_rec(dict(DESCRIPTOR, preprocessing_ref=""), [0]),
    exchange_rec([6], [("scheme", "hash")]),
    join_rec([9, 7]),
    # nodes 2 and 5 fused: the stage is the value of node 5
    stage_rec([0, 1], [("op|add", [(INPUT, 0), (INPUT, 1)]), ("op|sub|scalar=f4000000000000000;side=sr",
                                                              [(INPUT, 0), (MEMBER, 0)])]),
])
GOLDEN = """
826a4af55fa1588dfc67d2cfb73aa1a5023fffbb7a8ebcb20088b8b485371489
8304ce4fcd0028e7950413f1aad4e5cd1189d2d45b3797ecae2911ba574ad5e8
99db2c0fd9f669d2627ca9280535874b53460fd848bfcd7c04a71afc7c3d2e82
5b2aa9855329948dda62db6e1568c01f64bc4960acb6f1e9d2891d99d5bf4ba5
71ef0f7aee264752a737e09c95259b580db5356612d3a6c2cbf358160e61831c
0ad0cae4147cf7381034b0777e2f9501a00ee7a79c89cc020331f9709d48e4b3
984e3d3ee1e3c9ec0fcede4c61476b4f632b05e0cc028e179ad6bded59078a31
0026ba3097f60563c5cb65839805b305192f1e219bcd6e0aa4efcdf6f3e72c1c
97cfc34663f2de4fcfd3cacff124909aaa61c56d9ecc3e005ab289742f9ab85c
81c7f7ed1ea57d447727e7cfc0f53f05cb8d8c3d826d93dfa4d105b4569a0192
963726828c2af72fa4144929ab0004186335ad9a669855c437999c59c923bbc8
0ad0cae4147cf7381034b0777e2f9501a00ee7a79c89cc020331f9709d48e4b3
"""


# SHA-256 of EVERY_KIND's task keys under the token bytes(range(32)).
TASK_KEYS = "1c7bf595e723c50c4659bc39e6a6447b55ca3f6dd0e087f3a82121d6d325e368"


def test_golden_vectors():
    g = GraphStore.deserialize(EVERY_KIND)
    digests = digest_list(g)
    assert [d.hex() for d in digests] == GOLDEN.split()
    assert [g.digest(i) for i in range(g.node_count())] == digests
    assert hashlib.sha256(g.task_keys(bytes(range(32)), range(g.node_count()))).hexdigest() == TASK_KEYS


# A stage that has no value (a member reading a later member never gets past the blob reader) fails the digest of its node and of every node after it, never one before it.
@pytest.mark.parametrize("stage, message", [
    (stage_rec([0], []), "node 1: a stage without members has no value"),
    (stage_rec([0], [("op|f", [(INPUT, 1)])]), "node 1: member 0 reads input 1, which the stage does not have"),
    (stage_rec([0], [("src|x", [])]), 'unparseable stage member token "src|x"'),
], ids=["no members", "input slot out of range", "malformed token"])
def test_stages_without_a_value(stage, message):
    g = store_of([source_rec("x"), stage, source_rec("y")])
    for call in (g.digests, lambda: g.digest(2), lambda: g.digest(1)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
    assert g.digest(0) == GraphStore.deserialize(EVERY_KIND).digest(0)


def test_digests_do_not_depend_on_the_process():
    script = ("import sys, trellan_core as t; g = t.GraphStore.deserialize(sys.stdin.buffer.read()); "
              "h = g.add_op('f', [0, 1], {k: float(i) for i, k in enumerate('zyxwvu')}); print(g.digests().hex())")
    expected = GraphStore.deserialize(EVERY_KIND)
    expected.add_op("f", [0, 1], {k: float(i) for i, k in enumerate("zyxwvu")})
    for seed in ("0", "4242"):
        done = subprocess.run([sys.executable, "-c", script], input=EVERY_KIND, capture_output=True,
                              env=dict(os.environ, PYTHONHASHSEED=seed), check=True)
        assert bytes.fromhex(done.stdout.decode()) == expected.digests()


def test_task_keys_are_equal_only_for_identical_tasks():
    def build(g):
        x, y = g.add_source("x"), g.add_source("y")
        chain = g.add_op("neg", [g.add_op("exp", [x])])
        return [x, g.add_op("add", [x, y]), g.add_op("add", [y, x]), g.add_op("mul", [x], {"scalar": 1.0, "side": "r"}),
                chain]
    a, b = GraphStore(), GraphStore()
    b.add_source("first")
    ids_a, ids_b = build(a), build(b)
    token = bytes(range(32))
    keys = a.task_keys(token, ids_a)
    assert keys == b.task_keys(token, ids_b) and len(keys) == 32 * len(ids_a)
    split = {keys[i : i + 32] for i in range(0, len(keys), 32)}
    assert len(split) == len(ids_a)  # twins, an identity op and its input: all different tasks
    other = a.task_keys(bytes(32), ids_a)
    assert not split & {other[i : i + 32] for i in range(0, len(other), 32)}
    reduced, _ = a.reduce(outputs=[ids_a[-1]])  # the chain as one stage: the same value, another task
    assert reduced.digest(0) != reduced.digest(1) == a.digest(ids_a[-1])
    assert reduced.task_keys(token, [1]) != keys[-32:] and reduced.task_keys(token, [0]) == keys[:32]
