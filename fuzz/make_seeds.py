"""Writes the seed corpora under fuzz/corpus/ from stores built through the
module (blobs), from their stage member tokens (op tokens) and from the rule
texts the saturation engine uses (patterns). Run after changing the formats:

    python3 fuzz/make_seeds.py
"""

import hashlib
import pathlib

import trellan_core as tc

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


def write(kind: str, data: bytes) -> None:
    d = ROOT / kind
    d.mkdir(parents=True, exist_ok=True)
    (d / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)


def stores():
    yield tc.GraphStore()

    # One source marked as output: marks come only from a blob.
    s = tc.GraphStore()
    s.add_source("x")
    yield tc.GraphStore.deserialize(s.serialize(outputs=[0]))

    s = tc.GraphStore()
    x = s.add_source("x", {"rows": 10, "path": "a|b;c=d%"})
    y = s.add_source("y")
    a = s.add_op("add", [x, y])
    b = s.add_op("add", [y, x])
    z = s.add_op("add", [a], {"scalar": 0.0, "side": "r"})
    m = s.add_op("mul", [z], {"scalar": 1.0, "side": "l"})
    r = s.add_reduction("sum", [m], {"axis": -3, "keep": True})
    e = s.add_external(
        {"kind": "model", "content_hash": "h", "framework": "f", "version": "1", "io_schema": "s"},
        [r, b],
        {"nan": float("nan"), "neg": -0.0},
    )
    e2 = s.add_external(
        tc.PayloadDescriptor(kind="k", content_hash="c", framework="f", version="v",
                             io_schema="", preprocessing_ref=""),
        [],
    )
    ex = s.add_exchange([e], {"scheme": "hash"})
    j = s.add_join([ex, e2])
    s.add_op("dead", [j, j, j])
    yield s
    # A reduction of it holds Stage nodes.
    yield s.reduce(outputs=[j, b])[0]
    yield s.reduce(maximal_fusion=True, outputs=[j, m])[0]

    s = tc.GraphStore()
    prev = s.add_source("src")
    for i in range(6):
        prev = s.add_op(f"f{i % 2}", [prev], {"i": i})
    yield s.reduce(outputs=[prev])[0]


def main() -> None:
    for s in stores():
        write("blob", s.serialize())
        if s.node_count():
            # Repeated output ids and trailing bytes, which the reader drops.
            last = s.node_count() - 1
            write("blob", s.serialize(outputs=[last, 0, last]) + b"tail")
    # Op tokens: identity tokens, tokens with every value type, escapes.
    for t in [
        "op|add|scalar=f0000000000000000;side=sr",
        "op|mul|scalar=f3ff0000000000000;side=sl",
        "red|r|k=i1",
        "op|a%7Cb",
        "op|f|k=f3FF0000000000000",
        "op|f|a=i-9223372036854775808;b=btrue;c=s%25x%3D;d=f+7ff8000000000001",
        "op|",
    ]:
        write("op_token", b"\x00" + t.encode())
    write("op_token", b"\x01" + bytes(range(1, 64)))
    # Patterns: the engine's rule texts and a few shapes.
    for p in [
        "(op|add ?a ?b)",
        "(op|add|scalar=f0000000000000000;side=sr ?x)",
        "?x",
        "(f (g ?a ?b) (g ?b ?a) c)",
        "(f ?a ?a (h k))",
    ]:
        write("pattern", p.encode())


if __name__ == "__main__":
    main()
