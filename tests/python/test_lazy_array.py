"""The lazy array front end of examples/lazy_array.py: reduced graphs of typed data give what NumPy gives, run
eagerly, to the dtype and the byte, on every executor and through the cache."""

import importlib.util, runpy
from pathlib import Path
from typing import Any

import numpy as np
import pytest

import trellan

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "lazy_array.py"
spec = importlib.util.spec_from_file_location("lazy_array", EXAMPLE)
assert spec is not None and spec.loader is not None
lazy_array = importlib.util.module_from_spec(spec)
spec.loader.exec_module(lazy_array)

I64 = np.iinfo(np.int64)
DATA = {
    "int64": np.array([[I64.min, I64.max], [-1, 0], [1, I64.min], [I64.max, 3], [2**62, -7], [0, 5], [9, -1]]),
    "bool": np.array([[True, False], [False, False], [True, True], [False, True], [True, True], [True, False],
                      [False, False]]),
    # NaNs of opposite signs never meet (y is x upside down): adding or multiplying them, NumPy itself keeps one
    # sign or the other depending on the array's length.
    "float64": np.array([[-0.0, 0.0], [np.nan, -np.nan], [np.inf, -np.inf], [0.0, -0.0], [1.5, np.nan],
                         [2.5, -np.nan], [-0.0, -0.0]]),
}
# Functions of two arrays, NumPy's or lazy ones, each giving a tuple of results. Every one but the last would differ
# after a reduction without the dtype param on some data: scalar identities on ints and bools, `+ 0.0` on -0.0,
# commutative twins on NaNs of either sign and on zeros of either sign.
PIPELINES = [
    lambda x, y: ((x + 0.0) * 2, -(x * 1.0), 1.0 / (0.0 + x)),
    lambda x, y: (x + y, y + x, x * y, y * x, x == y, y != x),
    lambda x, y: (np.maximum(x, y), np.maximum(y, x), np.minimum(x, y), np.minimum(y, x)),
    # Normalisation by rows, and over all rows where summing block by block is exact: not on floats.
    lambda x, y: (x / x.sum(axis=1, keepdims=True), x.max(axis=1), y.min(axis=0))
    + ((x / x.sum(), x.prod(), y.sum(axis=0, keepdims=True)) if x.dtype.kind != "f" else ()),
]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("on", ["evaluate", "dask", "cache"])
@pytest.mark.parametrize("dtype", DATA)
def test_reduced_lazy_arrays_give_numpys_dtype_and_bytes(dtype: str, on: str, tmp_path: Path) -> None:
    x, y = DATA[dtype], DATA[dtype][::-1].copy()
    expected = [value for f in PIPELINES for value in f(x, y)]
    g = lazy_array.Graph()
    results = [value for f in PIPELINES for value in f(g.array("x", x, parts=3), g.array("y", y, parts=3))]
    if on == "cache":   # a cold run that fills the cache, then a warm run on dask's threads that loads from it
        with trellan.ResultCache(tmp_path, min_seconds=0) as cache:
            runs = [g.compute(*results, cache=cache), g.compute(*results, on="dask", cache=cache)]
            assert cache.stats()["hits"] >= len(results)
    else:
        runs = [g.compute(*results, on=on)]
    for values in runs:
        assert [(v.dtype, v.tobytes()) for v in values] == [(e.dtype, e.tobytes()) for e in expected]


def test_the_example_runs_as_a_script(capsys: Any) -> None:
    runpy.run_path(str(EXAMPLE), run_name="__main__")
    printed = capsys.readouterr().out
    assert printed.count(" exact ") == len(lazy_array.EXAMPLES) and "DIFFERS" not in printed
