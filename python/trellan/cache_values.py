"""How the result cache turns a value into bytes and back.

NumPy arrays of plain numeric dtypes and NumPy scalars go in NumPy's own `.npy` format, read
back with `allow_pickle=False`. Python's None, bool, int, float, complex, str and bytes have a
plain encoding of their own. Anything else is pickled, and only when the cache allows it:
loading a pickle runs code. Types are matched exactly, so a subclass (an `IntEnum`, an array
subclass) is never silently turned into its base type."""

from __future__ import annotations

import io
import math
import pickle
import struct
import sys
from typing import Any

# The encoding tag stored in each entry's header. The numbers are part of the entry format.
NPY_ARRAY, NPY_SCALAR, NONE, BOOL, INT, FLOAT, COMPLEX, STR, BYTES, PICKLE = range(10)

# bool, signed and unsigned ints, floats, complex: what .npy stores without pickle.
_NUMERIC_KINDS = "biufc"
_FLOAT = struct.Struct("<d")
_COMPLEX = struct.Struct("<dd")
# Room for the longest .npy header NumPy reads by default, with its magic and length.
_NPY_HEAD_LIMIT = 16384

Payload = tuple[bytes | memoryview, ...]  # pieces written one after the other, never joined


def encode(value: Any, allow_pickle: bool) -> tuple[int, Payload] | None:
    """`(tag, payload)`, or None when the value has no encoding the cache may use. An array's
    payload is its .npy header and a view of its own memory, so saving copies nothing."""
    # A NumPy value can only exist once NumPy is imported, so this never imports it.
    np = sys.modules.get("numpy")
    if np is not None:
        if type(value) is np.ndarray and value.dtype.kind in _NUMERIC_KINDS:
            return NPY_ARRAY, _npy(np, value)
        if isinstance(value, np.generic) and value.dtype.kind in _NUMERIC_KINDS:
            return NPY_SCALAR, _npy(np, np.asarray(value))
    kind = type(value)
    if value is None:
        return NONE, ()
    if kind is bool:
        return BOOL, (b"\x01" if value else b"\x00",)
    if kind is int:
        return INT, (value.to_bytes((value.bit_length() + 8) // 8, "little", signed=True),)
    if kind is float:
        return FLOAT, (_FLOAT.pack(value),)
    if kind is complex:
        return COMPLEX, (_COMPLEX.pack(value.real, value.imag),)
    if kind is str:
        return STR, (value.encode("utf-8", "surrogatepass"),)
    if kind is bytes:
        return BYTES, (value,)
    if not allow_pickle:
        return None
    try:
        return PICKLE, (pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL),)
    except MemoryError:
        raise
    except Exception:  # whatever pickling a value raises, it is a value the cache cannot keep
        return None


def _npy(np: Any, array: Any) -> Payload:
    fmt = np.lib.format
    header = fmt.header_data_from_array_1_0(array)
    out = io.BytesIO()
    try:
        fmt.write_array_header_1_0(out, header)
    except ValueError:  # a header too long for version 1.0
        fmt.write_array_header_2_0(out, header)
    # .npy holds a Fortran-ordered array as the bytes of its transpose.
    flat = array.T if header["fortran_order"] else np.ascontiguousarray(array)
    return out.getvalue(), memoryview(flat.reshape(-1).view(np.uint8))


def _from_npy(payload: memoryview) -> Any:
    """The array of a .npy payload, a view of the payload's memory, so nothing is allocated:
    its header must account for exactly the bytes that follow it, never for more."""
    import numpy as np

    fmt = np.lib.format
    head = io.BytesIO(payload[:_NPY_HEAD_LIMIT])
    version = fmt.read_magic(head)
    if version not in ((1, 0), (2, 0)):
        raise ValueError(f"no .npy version {version}")
    read_header = fmt.read_array_header_1_0 if version == (1, 0) else fmt.read_array_header_2_0
    shape, fortran_order, dtype = read_header(head)
    if dtype.kind not in _NUMERIC_KINDS or any(n < 0 for n in shape):
        raise ValueError("a .npy header the cache does not write")
    count, start = math.prod(shape), head.tell()
    if count * dtype.itemsize != len(payload) - start:
        raise ValueError("a .npy header that does not match its data")
    flat = np.frombuffer(payload, dtype, count=count, offset=start)
    return flat.reshape(shape[::-1]).T if fortran_order else flat.reshape(shape)


def decode(tag: int, payload: memoryview) -> Any:
    """The value back; ValueError when the payload is not a valid encoding of its tag. The
    caller decides beforehand whether a PICKLE entry may be loaded at all."""
    if tag in (NPY_ARRAY, NPY_SCALAR):
        array = _from_npy(payload)
        if tag == NPY_ARRAY:
            return array
        if array.ndim != 0:
            raise ValueError("a NumPy scalar entry holds an array")
        return array[()]
    size = len(payload)
    if tag == NONE and size == 0:
        return None
    if tag == BOOL and bytes(payload) in (b"\x00", b"\x01"):
        return payload[0] == 1
    if tag == INT and size:
        return int.from_bytes(payload, "little", signed=True)
    if tag == FLOAT and size == _FLOAT.size:
        return _FLOAT.unpack(payload)[0]
    if tag == COMPLEX and size == _COMPLEX.size:
        return complex(*_COMPLEX.unpack(payload))
    if tag == STR:
        return str(payload, "utf-8", "surrogatepass")
    if tag == BYTES:
        return bytes(payload)
    if tag == PICKLE:
        return pickle.loads(payload)
    raise ValueError(f"no valid value for encoding tag {tag}")
