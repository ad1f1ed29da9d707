"""What a result cache files a node's value under: the one place where cache keys are derived.

A node's key is its salted digest (`ExecutionPlan.salted_digests`): its value digest computed
again with each operator's digest mixed with a salt, the fingerprint of what runs that operator
(the `sources` callable, or a mapping's value for that name; the kernel of that name; the
exchange, join or external callable). So a key changes exactly when the node's computation, or
the code or data of something it depends on, transitively, does; and a fused stage keys like the
chain it replaced. Each distinct callable or value is fingerprinted once per run, and the keys
of all steps come from one native pass. A node that depends on something without a fingerprint
has no key: it is neither looked up nor stored.

The entry a key names in a cache directory is a keyed hash of the key under the cache's
namespace; its derivation label is versioned, so entries written under older keys are never
read."""

from __future__ import annotations

from collections.abc import Mapping
from hashlib import blake2b
from typing import TYPE_CHECKING, Any

from .execution import (EXCHANGE, EXTERNAL, JOIN, OP, REDUCTION, SOURCE, Given, default_exchange,
                        prepare)
from .fingerprint import Fingerprints

if TYPE_CHECKING:
    import trellan_core

KEY_SIZE = 32
_NO_SALT = bytes(KEY_SIZE)


def node_keys(plan: trellan_core.ExecutionPlan, given: Given,
              prints: Fingerprints | None = None) -> tuple[bytes, bytes]:
    """`(keys, unkeyed)`: 32 bytes per step of the plan, and one byte per step, 1 for a step
    that has no key (it depends on something that has no fingerprint)."""
    prints = Fingerprints() if prints is None else prints
    names, operators = plan.names, plan.operators
    salts, unsalted = bytearray(), bytearray()
    for kind, name_at, _, _ in operators:
        salt = _salt(kind, names[name_at], given, prints)
        salts += _NO_SALT if salt is None else salt
        unsalted.append(salt is None)
    return plan.salted_digests(bytes(salts), bytes(unsalted))


def _salt(kind: int, name: str, given: Given, prints: Fingerprints) -> bytes | None:
    """The fingerprint of what runs an operator."""
    if kind == SOURCE:
        sources = given.sources
        if isinstance(sources, Mapping):
            return prints.data(sources[name])
        return prints.callable(sources)
    if kind in (OP, REDUCTION):
        return prints.callable(given.kernels[name])
    if kind == EXCHANGE:
        return prints.callable(given.exchange or default_exchange)
    if kind == JOIN:
        return prints.callable(given.join)
    assert kind == EXTERNAL
    return prints.callable(given.external)


def namespace_key(namespace: str) -> bytes:
    """The key a cache's entries are hashed under: its namespace's hash."""
    return blake2b(namespace.encode("utf-8", "surrogatepass"), digest_size=KEY_SIZE,
                   person=b"trellan.ns.v2").digest()


def entry_key(namespace: bytes, key: bytes) -> bytes:
    """The 32 bytes an entry is filed under: a node's key hashed under its cache's namespace."""
    if len(key) != KEY_SIZE:
        raise ValueError(f"a cache key is {KEY_SIZE} bytes, not {len(key)}")
    return blake2b(key, digest_size=KEY_SIZE, key=namespace).digest()


def output_keys(store: trellan_core.GraphStore, outputs: Any = None, **given: Any) -> list[bytes | None]:
    """The cache keys of `outputs` (default: the marks) for a run with the given `sources`,
    `kernels`, `exchange`, `join` and `external`, as `evaluate` and `to_dask` would file them;
    None for an output that has no key."""
    prepared = prepare(store, outputs, **given)
    keys, unkeyed = node_keys(prepared.plan, prepared.given)
    return [None if unkeyed[o] else keys[o * KEY_SIZE:(o + 1) * KEY_SIZE] for o in prepared.plan.outputs]
