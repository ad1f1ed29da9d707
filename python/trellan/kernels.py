"""NumPy kernels for `trellan.evaluate` and `trellan.to_dask`, and a seeded array source.

`numpy_kernels()` maps the names a NumPy-backed front end records to these kernels:

| Names | NumPy | Params read (all others ignored) |
|---|---|---|
| add, sub, mul, div, pow and power, maximum, minimum, eq, ne, lt, le, gt, ge, and, or; the ufunc names subtract, multiply, divide, true_divide, equal, not_equal, less, less_equal, greater, greater_equal, logical_and, logical_or | the binary ufunc (`div` is true division; `and`, `or` are logical, the same as bitwise on booleans) | `scalar`, `side` |
| neg and negative, abs and absolute, exp, log, log1p, sqrt, sin, cos, tanh | the unary ufunc | none |
| sum, mean, max and amax, min and amin, prod | the reduction | `axis`, `keepdims` |

A binary kernel takes two inputs, `x op y`, or one input and a constant operand in its params:
`{"scalar": c, "side": "r"}` is `x op c`, `"side": "l"` is `c op x`; `c` is a number or a bool.
A reduction's `axis` is an int or a string of ints such as "(0, 1)" (absent: all axes);
`keepdims` is a bool (absent: False). A param read that a kernel cannot use raises: TypeError
for a value of the wrong type, ValueError for a bad value of the right one. Every kernel is an
instance of a module-level class, so the table pickles."""

from __future__ import annotations

import hashlib
import numbers
from typing import Any

import numpy as np

_BINARY = {
    "add": "add", "sub": "subtract", "mul": "multiply", "div": "divide",
    "pow": "power", "power": "power", "maximum": "maximum", "minimum": "minimum",
    "eq": "equal", "ne": "not_equal", "lt": "less", "le": "less_equal",
    "gt": "greater", "ge": "greater_equal", "and": "logical_and", "or": "logical_or",
}
for _ufunc in list(_BINARY.values()):
    _BINARY.setdefault(_ufunc, _ufunc)
_BINARY["true_divide"] = "divide"

_UNARY = {
    "neg": "negative", "negative": "negative", "abs": "absolute", "absolute": "absolute",
    "exp": "exp", "log": "log", "log1p": "log1p", "sqrt": "sqrt", "sin": "sin", "cos": "cos",
    "tanh": "tanh",
}

_REDUCTIONS = {
    "sum": "sum", "mean": "mean", "max": "max", "amax": "max", "min": "min", "amin": "min",
    "prod": "prod",
}


class Binary:
    """`x op y`, or `x op scalar` (side "r") and `scalar op x` (side "l") for one input."""

    __slots__ = ("ufunc",)

    def __init__(self, ufunc: str) -> None:
        self.ufunc = ufunc

    def __call__(self, /, *inputs: Any, scalar: Any = None, side: str = "r",
                 **_ignored: Any) -> Any:
        fn = getattr(np, self.ufunc)
        if scalar is None:
            if len(inputs) != 2:
                raise TypeError(f"{self.ufunc} takes two inputs, or one and a scalar param, "
                                f"not {len(inputs)} inputs")
            return fn(*inputs)
        if not isinstance(scalar, (numbers.Number, np.bool_)):
            raise TypeError(f"scalar must be a number or a bool, not {type(scalar).__name__}")
        if len(inputs) != 1:
            raise TypeError(f"{self.ufunc} with a scalar param takes one input, "
                            f"not {len(inputs)}")
        if not isinstance(side, str):
            raise TypeError(f"side must be 'r' or 'l', not {type(side).__name__}")
        if side == "r":
            return fn(inputs[0], scalar)
        if side == "l":
            return fn(scalar, inputs[0])
        raise ValueError(f"side must be 'r' or 'l', not {side!r}")

    def __repr__(self) -> str:
        return f"Binary({self.ufunc!r})"


class Unary:
    """The ufunc of its one input."""

    __slots__ = ("ufunc",)

    def __init__(self, ufunc: str) -> None:
        self.ufunc = ufunc

    def __call__(self, x: Any, /, **_ignored: Any) -> Any:
        return getattr(np, self.ufunc)(x)

    def __repr__(self) -> str:
        return f"Unary({self.ufunc!r})"


def _axis(axis: Any) -> int | tuple[int, ...] | None:
    if axis is None or (isinstance(axis, int) and not isinstance(axis, bool)):
        return axis
    if not isinstance(axis, str):
        raise TypeError(f"axis must be an int or a string of ints, not {type(axis).__name__}")
    parts = [p.strip() for p in axis.strip().strip("()[]").split(",") if p.strip()]
    try:
        return tuple(int(p) for p in parts)
    except ValueError:
        raise ValueError(f"axis must be an int or a string of ints, not {axis!r}") from None


class Reduction:
    """The NumPy reduction of its one input over `axis`, keeping the reduced axes with
    `keepdims`."""

    __slots__ = ("function",)

    def __init__(self, function: str) -> None:
        self.function = function

    def __call__(self, x: Any, /, axis: Any = None, keepdims: bool = False,
                 **_ignored: Any) -> Any:
        if not isinstance(keepdims, (bool, np.bool_)):
            raise TypeError(f"keepdims must be a bool, not {type(keepdims).__name__}")
        return getattr(np, self.function)(x, axis=_axis(axis), keepdims=bool(keepdims))

    def __repr__(self) -> str:
        return f"Reduction({self.function!r})"


def numpy_kernels() -> dict[str, Binary | Unary | Reduction]:
    """A fresh kernel table (see the module docstring for the names and params)."""
    table: dict[str, Binary | Unary | Reduction] = {}
    table.update({name: Binary(ufunc) for name, ufunc in _BINARY.items()})
    table.update({name: Unary(ufunc) for name, ufunc in _UNARY.items()})
    table.update({name: Reduction(fn) for name, fn in _REDUCTIONS.items()})
    return table


class SeededArrays:
    """A `sources` callable for examples, tests and benchmarks: a float64 array of `shape` with
    values in [0, 1), drawn from a generator seeded by the source's name and params. Equal name
    and params give equal arrays, in every process (no per-process hash seed is involved)."""

    __slots__ = ("shape",)

    def __init__(self, shape: tuple[int, ...] = (64, 64)) -> None:
        self.shape = tuple(shape)

    def __call__(self, name: str, params: dict[str, Any]) -> Any:
        identity = repr((name, sorted(params.items()))).encode()
        seed = int.from_bytes(hashlib.blake2b(identity, digest_size=8).digest(), "little")
        return np.random.default_rng(seed).random(self.shape)

    def __repr__(self) -> str:
        return f"SeededArrays({self.shape!r})"
