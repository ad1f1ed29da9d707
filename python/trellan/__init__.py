"""Run and inspect what `trellan_core` records and reduces.

`evaluate` interprets a store on one machine, `to_dask` turns it into a dask task graph, and
`trellan.kernels.numpy_kernels()` is a kernel table for NumPy data. `ResultCache` keeps node
values on disk between runs, keyed by what each node computes. The `trellan` command
(`trellan --help`, `python -m trellan --help`) renders, reduces and demonstrates IR blobs."""

from .cache import ResultCache
from .dask_bridge import to_dask
from .interpreter import evaluate

__all__ = ["ResultCache", "evaluate", "to_dask"]
