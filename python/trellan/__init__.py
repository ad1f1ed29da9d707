"""Run and inspect what `trellan_core` records and reduces.

`evaluate` interprets a store on one machine, and a `Profile` shows where its time goes;
`to_dask` turns a store into a dask task graph and `to_delayed` into dask collections, and
`trellan.kernels.numpy_kernels()` is a kernel table for NumPy data. `ResultCache` keeps node
values on disk between runs, keyed by what each node computes. The `trellan` command
(`trellan --help`, `python -m trellan --help`) renders, reduces and demonstrates IR blobs."""

from importlib import metadata as _metadata
from typing import TypedDict

from .cache import ResultCache
from .dask_bridge import to_dask
from .delayed import to_delayed
from .interpreter import evaluate
from .profile import Profile

try:
    __version__ = _metadata.version("trellan-core")
except _metadata.PackageNotFoundError:  # imported from a checkout that was never installed
    import trellan_core as _core

    __version__ = _core.version()


class ReductionReport(TypedDict):
    """The report `GraphStore.reduce` and `reduction_report` return, as a type to annotate with."""

    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int


__all__ = ["Profile", "ReductionReport", "ResultCache", "__version__", "evaluate", "to_dask", "to_delayed"]
