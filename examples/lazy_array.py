"""A lazy, partitioned array front end over `trellan_core`, whose results are NumPy's exactly.

    g = Graph()
    x = g.array("x", np.arange(12).reshape(6, 2), parts=3)   # three blocks of rows
    y = (x + 0.0) * 2 / x.sum()                               # records nodes, runs nothing
    (value,) = g.compute(y)                                   # NumPy's value, dtype and bytes

A `LazyArray` takes NumPy's ufuncs and operators (`-x`, `x * y`, `np.maximum(x, 1)`), so one
function runs on NumPy arrays and on lazy ones. Each op is recorded once per block, under the op
names and the `{"scalar": c, "side": "r"}` params of `trellan.kernels.numpy_kernels()`. A
reduction reduces every block, then combines the partial results in a tree of ops over axis 0 or
all axes (so a float total rounds as that tree does), or keeps one result per block over any
other axis.

The reduction's rules `x + 0.0 -> x` and `x * 1.0 -> x`, and the commutativity of add, mul,
and, or, eq, ne, maximum and minimum, hold for some data only. Where they would not, the op gets
the operand's dtype as one more param: the rules leave it alone, and the kernels ignore it."""

from __future__ import annotations

import tempfile
import warnings
from typing import Any

import dask
import numpy as np
from numpy.lib.mixins import NDArrayOperatorsMixin

import trellan
import trellan_core as tc
from trellan.kernels import numpy_kernels

# NumPy's ufuncs under the op names that the kernels and the reduction's rules know.
OPS = {
    "add": "add", "subtract": "sub", "multiply": "mul", "divide": "div", "power": "pow",
    "maximum": "maximum", "minimum": "minimum", "equal": "eq", "not_equal": "ne", "less": "lt",
    "less_equal": "le", "greater": "gt", "greater_equal": "ge", "logical_and": "and",
    "logical_or": "or", "negative": "neg", "absolute": "abs", "exp": "exp", "log": "log",
    "log1p": "log1p", "sqrt": "sqrt", "sin": "sin", "cos": "cos", "tanh": "tanh",
}
# The op that combines a reduction's partial results across blocks.
COMBINE = {"sum": "add", "prod": "mul", "max": "maximum", "min": "minimum"}
COMMUTATIVE = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}


def dtype_param(op: str, dtype: np.dtype[Any], scalar: Any = None) -> dict[str, str]:
    """`{"dtype": ...}` where a rule could make the reduced graph differ from NumPy, else `{}`."""
    if scalar is not None:
        # x + 0.0 and x * 1.0 are x on float data only (NumPy turns ints and bools into floats),
        # and x + 0.0 not even there: -0.0 + 0.0 is 0.0.
        unsound = dtype.kind != "f" or (op == "add" and scalar == 0)
    else:
        # Swapping operands is exact on bools and ints. On floats, add, mul, maximum and minimum
        # show it (which NaN's sign survives; maximum(-0.0, 0.0)); on strings and objects, all do.
        exact = "biufc" if op in {"eq", "ne", "and", "or"} else "biu"
        unsound = op in COMMUTATIVE and dtype.kind not in exact
    return {"dtype": dtype.str} if unsound else {}


class Graph:
    """One store of recorded nodes, and the blocks its sources read."""

    def __init__(self) -> None:
        self.store = tc.GraphStore()
        self.blocks: dict[str, np.ndarray[Any, Any]] = {}   # a source's name -> its block

    def array(self, name: str, values: np.ndarray[Any, Any], parts: int) -> LazyArray:
        """`values` in `parts` blocks of rows, each recorded as a source named `name/i`."""
        ids = []
        for i, block in enumerate(np.array_split(values, parts)):
            self.blocks[f"{name}/{i}"] = block
            ids.append(self.store.add_source(f"{name}/{i}"))
        return LazyArray(self, ids, values.dtype, partitioned=True)

    def compute(self, *arrays: LazyArray, on: str = "evaluate",
                cache: trellan.ResultCache | None = None) -> list[Any]:
        """The arrays' values. The graph is reduced once for all of them and run by `evaluate`,
        or on dask's threads when `on="dask"`, with the result cache if one is given."""
        outputs = [b for a in arrays for b in a.blocks]
        reduced, _ = self.store.reduce(outputs=outputs)
        mapped = [entry[0] for entry in reduced.node_map_of(outputs) if entry is not None]
        run: dict[str, Any] = dict(sources=self.blocks, kernels=numpy_kernels(), cache=cache)
        if on == "dask":
            values = list(dask.compute(*trellan.to_delayed(reduced, mapped, **run), scheduler="threads"))
        else:
            values = trellan.evaluate(reduced, mapped, **run)
        results = []
        for a in arrays:
            blocks, values = values[:len(a.blocks)], values[len(a.blocks):]
            results.append(np.concatenate(blocks) if a.partitioned else blocks[0])
        return results


class LazyArray(NDArrayOperatorsMixin):
    """Nodes of `graph`, one per block of rows, or one holding a whole result when not
    `partitioned`, and the dtype NumPy gives their values."""

    def __init__(self, graph: Graph, blocks: list[int], dtype: np.dtype[Any], partitioned: bool) -> None:
        self.graph, self.blocks, self.dtype, self.partitioned = graph, blocks, dtype, partitioned

    def __array_ufunc__(self, ufunc: np.ufunc, method: str, *args: Any, **kwargs: Any) -> Any:
        scalars = [a for a in args if not isinstance(a, LazyArray)]
        if method != "__call__" or kwargs or ufunc.__name__ not in OPS or any(
                type(s) not in (int, float, bool) for s in scalars):
            return NotImplemented
        op = OPS[ufunc.__name__]
        with np.errstate(all="ignore"):   # the dtype NumPy gives, read off one element
            dtype = ufunc(*[np.ones(1, a.dtype) if isinstance(a, LazyArray) else a for a in args]).dtype
        if len(args) == 1:
            return self._record(op, [[b] for b in self.blocks], {}, dtype, self.partitioned)
        x, y = args
        if scalars:   # x op c, or c op x
            (array, side), (scalar,) = ((x, "r") if isinstance(x, LazyArray) else (y, "l")), scalars
            params = {"scalar": scalar, "side": side, **dtype_param(op, array.dtype, scalar)}
            return array._record(op, [[b] for b in array.blocks], params, dtype, array.partitioned)
        # Two arrays: block by block, a whole result read by every block of the other.
        n = len(x.blocks) if x.partitioned else len(y.blocks)
        rows = np.column_stack([a.blocks * (1 if a.partitioned else n) for a in (x, y)])
        params = dtype_param(op, np.result_type(x.dtype, y.dtype))
        return self._record(op, rows, params, dtype, x.partitioned or y.partitioned)

    def _record(self, op: str, rows: Any, params: dict[str, Any], dtype: np.dtype[Any],
                partitioned: bool) -> LazyArray:
        return LazyArray(self.graph, self.graph.store.add_ops(op, rows, params), dtype, partitioned)

    def _reduce(self, fn: str, axis: int | None, keepdims: bool) -> LazyArray:
        params: dict[str, Any] = {"keepdims": keepdims} | ({} if axis is None else {"axis": axis})
        level = self.graph.store.add_reductions(fn, [[b] for b in self.blocks], params)
        dtype = getattr(np, fn)(np.ones(1, self.dtype)).dtype
        if axis not in (None, 0):   # one result per block
            return LazyArray(self.graph, level, dtype, self.partitioned)
        combine = COMBINE[fn]
        while len(level) > 1:       # a tree of combining ops, a layer per level
            even = len(level) // 2 * 2
            pairs = np.reshape(level[:even], (-1, 2))
            level = self.graph.store.add_ops(combine, pairs, dtype_param(combine, dtype)) + level[even:]
        return LazyArray(self.graph, level, dtype, partitioned=False)

    def sum(self, axis: int | None = None, keepdims: bool = False) -> LazyArray:
        return self._reduce("sum", axis, keepdims)

    def prod(self, axis: int | None = None, keepdims: bool = False) -> LazyArray:
        return self._reduce("prod", axis, keepdims)

    def max(self, axis: int | None = None, keepdims: bool = False) -> LazyArray:
        return self._reduce("max", axis, keepdims)

    def min(self, axis: int | None = None, keepdims: bool = False) -> LazyArray:
        return self._reduce("min", axis, keepdims)


def same(a: Any, b: Any) -> bool:
    """Equal dtype and bytes: `np.array_equal` would call -0.0 and 0.0, or two NaNs, equal."""
    return bool(a.dtype == b.dtype and a.tobytes() == b.tobytes())


# Pipelines that go wrong after a reduction unless the dtype is recorded.
EXAMPLES = {
    "(counts + 0.0) * 2": lambda counts, mask, signal: (counts + 0.0) * 2,
    "-(mask * 1.0)": lambda counts, mask, signal: -(mask * 1.0),
    "1.0 / (signal + 0.0)": lambda counts, mask, signal: 1.0 / (signal + 0.0),
    "maximum(signal, -signal) - maximum(-signal, signal)":
        lambda counts, mask, signal: np.maximum(signal, -signal) - np.maximum(-signal, signal),
    "counts / counts.sum()": lambda counts, mask, signal: counts / counts.sum(),
    "signal / signal.sum(axis=1, keepdims=True)":
        lambda counts, mask, signal: signal / signal.sum(axis=1, keepdims=True),
}


def main() -> None:
    warnings.simplefilter("ignore", RuntimeWarning)   # the infinities and NaNs are meant
    counts = np.array([[2**62, 3], [-1, 0], [7, 2**63 - 1], [-2**63, 5]], dtype=np.int64)
    signal = np.array([[-0.0, 1.5], [np.nan, 0.0], [-2.0, np.inf], [4.0, -0.0]])
    data = (counts, counts > 0, signal)
    g = Graph()
    lazy = [g.array(name, values, parts=2) for name, values in zip(("counts", "mask", "signal"), data)]
    expected = [f(*data) for f in EXAMPLES.values()]
    results = [f(*lazy) for f in EXAMPLES.values()]
    reduced, report = g.store.reduce(outputs=[b for r in results for b in r.blocks])
    print(f"recorded {g.store.node_count()} nodes, {report['reduced_nodes']} after reduction")
    with tempfile.TemporaryDirectory() as folder, trellan.ResultCache(folder, min_seconds=0) as cache:
        runs = {"evaluate": g.compute(*results),
                "dask's threads": g.compute(*results, on="dask"),
                "cache, cold": g.compute(*results, cache=cache),
                "cache, warm": g.compute(*results, on="dask", cache=cache)}
        print(f"the warm run loaded {cache.stats()['hits']} values from the cache")
    for i, (text, value) in enumerate(zip(EXAMPLES, expected)):
        exact = all(same(values[i], value) for values in runs.values())
        print(f"{text:52} {value.dtype}  {'exact' if exact else 'DIFFERS'}  {value.ravel()[:4]}")


if __name__ == "__main__":
    main()
