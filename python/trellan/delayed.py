"""A store's outputs as dask collections: one `Delayed` per output, on a graph of one named
layer, so that everything dask offers for collections works on them as it is."""

from __future__ import annotations

from collections.abc import Callable, Iterable
from hashlib import blake2b
from typing import TYPE_CHECKING, Any, cast

from .dask_bridge import to_dask
from .execution import Kernels, Sources

if TYPE_CHECKING:
    from dask.delayed import Delayed
    from dask.typing import Key

    import trellan_core

    from .cache import ResultCache


def to_delayed(store: trellan_core.GraphStore, outputs: Iterable[int] | None = None, *,
               sources: Sources, kernels: Kernels, exchange: Callable[..., Any] | None = None,
               join: Callable[..., Any] | None = None, external: Callable[..., Any] | None = None,
               name: str | None = None, cache: ResultCache | None = None,
               fuse_runs: bool = False) -> list[Delayed]:
    """One `dask.delayed.Delayed` per output (default: the store's marks), in order, repeats
    kept, over the task graph `to_dask` builds with the same arguments, as one layer of a
    `HighLevelGraph`. `dask.compute(*outs)`, `.compute()`, `.persist()`, `.visualize()`,
    `client.compute(outs)`, `client.persist(outs)` and `distributed.progress` take them as
    they are, and they mix with any other dask collection. The layer's name is "trellan-" and
    a hash of the graph's keys, so two graphs share a name only when they are the same graph."""
    from dask.delayed import Delayed
    from dask.highlevelgraph import HighLevelGraph

    graph, keys = to_dask(store, outputs, sources=sources, kernels=kernels, exchange=exchange,
                          join=join, external=external, name=name, cache=cache, fuse_runs=fuse_runs)
    named = blake2b(digest_size=16, person=b"trellan.layer")
    for key in graph:
        named.update(str(key).encode())
        named.update(b"\0")
    layer = f"trellan-{named.hexdigest()}"
    collection = HighLevelGraph.from_collections(layer, cast("dict[Key, Any]", graph), dependencies=())
    return [Delayed(key, collection, layer=layer) for key in keys]  # type: ignore[no-untyped-call, unused-ignore]
