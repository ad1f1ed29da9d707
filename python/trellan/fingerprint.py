"""Fingerprints: 32 bytes that name what a callable computes, or what a value holds, so that a
cache key changes when the code or the data behind a node does.

A callable is fingerprinted by what it runs:

- a Python function by its code (bytecode, constants with nested code taken in turn, names,
  argument counts and flags, but no line numbers or file names), its defaults, its closure cells'
  values, and the module-level functions, classes, modules and plain constants its code names as
  globals, followed in turn;
- a `functools.partial` by its function, arguments and keywords; a bound method by its function
  and the object it is bound to;
- a class by its qualified name and the functions, properties and plain constants it defines,
  with its bases; an instance by its class and its state, as pickling sees it (so
  `SeededArrays((2,))` and `SeededArrays((1000,))` differ);
- a builtin, a NumPy ufunc, anything that pickles by name, and a module by its qualified name
  and the version of the package that owns it (its `__version__`; Python's for the standard
  library).

Values met on the way (captured cells, defaults, state) are fingerprinted the same way: plain
values by their bytes, containers by their items, NumPy arrays by dtype, shape and content.

An object with a `__trellan_version__` attribute (a str, int or bytes, or a tuple of those) is
fingerprinted by its qualified name and that version instead, and nothing else about it is read:
the way to key a callable whose behaviour depends on what a fingerprint cannot see. An object
that has none of these forms (a lock, a generator, an open file) has no fingerprint.

A value in a `sources` mapping is fingerprinted by its content alone: a version attribute when it
has one, else the cache's own encoding (NumPy arrays by dtype, shape and bytes, hashed with
BLAKE3), else its pickle (protocol 5), else it has none."""

from __future__ import annotations

import copyreg
import functools
import pickle
import struct
import sys
import types
from collections.abc import Callable
from typing import Any

import trellan_core

from . import cache_values

VERSION_ATTRIBUTE = "__trellan_version__"

_LEAVES = (type(None), bool, int, float, complex, str, bytes, type(Ellipsis))
_HEAP_TYPE = 1 << 9  # a type's flag for classes made at run time, Python classes among them
# Bookkeeping a class body leaves in the class's namespace that says nothing about behaviour.
_CLASS_NOISE = frozenset(("__module__", "__qualname__", "__doc__", "__dict__", "__weakref__",
                          "__firstlineno__", "__static_attributes__"))
_U64 = struct.Struct("<Q")
_FLOAT = struct.Struct("<d")
_COMPLEX = struct.Struct("<dd")


class Unfingerprintable(Exception):
    """Raised inside a fingerprint for an object with no stable form; the caller gets None."""


def _hash(encoding: bytes) -> bytes:
    """A digest of an encoding (BLAKE3, in a domain of its own)."""
    return trellan_core.content_digest(b"trellan fingerprint v1\0", encoding)


def _text(s: str) -> bytes:
    data = s.encode("utf-8", "surrogatepass")
    return _U64.pack(len(data)) + data


def _plain(value: Any) -> bool:
    """A number, string, bytes, None, or a tuple of those: what a module-level constant or a
    version may be."""
    if type(value) in _LEAVES:
        return True
    return type(value) is tuple and all(_plain(v) for v in value)


def _qualified(obj: Any) -> str:
    owner = obj if isinstance(obj, (type, types.FunctionType, types.BuiltinFunctionType)) else type(obj)
    return f"{getattr(owner, '__module__', None)}.{getattr(owner, '__qualname__', None)}"


class Fingerprints:
    """One run's fingerprints: each distinct object is fingerprinted once (objects are told
    apart by identity and held until the run ends, so an identity is never reused meanwhile).
    `callable(obj)` and `data(value)` give 32 bytes, or None when there is no fingerprint."""

    def __init__(self) -> None:
        self._memo: dict[tuple[str, int], tuple[Any, bytes]] = {}  # closed objects' digests
        self._roots: dict[tuple[bool, int], tuple[Any, bytes | None]] = {}
        self._versions: dict[str, bytes] = {}
        self._stack: list[int] = []  # ids of the objects being encoded, outermost first
        self._place: dict[int, int] = {}  # id -> its position on the stack
        self._low = 0  # the outermost stack position a back reference reached in this object
        self._home = ""  # the top-level package of the callable being fingerprinted
        # A NumPy value can only exist once NumPy is imported, so this never imports it.
        self._numpy: Any = sys.modules.get("numpy", _NoNumpy)

    def callable(self, obj: Any) -> bytes | None:
        return self._root(False, obj, self._digest_of)

    def data(self, value: Any) -> bytes | None:
        return self._root(True, value, self._content_of)

    def _root(self, data: bool, obj: Any, make: Callable[[Any], bytes]) -> bytes | None:
        key = (data, id(obj))
        found = self._roots.get(key)
        if found is None:
            self._home = _home(obj)
            try:
                digest: bytes | None = make(obj)
            except MemoryError:
                raise
            except Exception:  # whatever reading an object raised: it has no stable form
                digest = None
            finally:
                self._stack.clear()
                self._place.clear()
                self._low = 0
            found = self._roots[key] = (obj, digest)
        return found[1]

    # -- data in a sources mapping ---------------------------------------------------------

    def _content_of(self, value: Any) -> bytes:
        version = self._version_of(value)
        if version is not None:
            return self._digest_of(value)
        encoded = cache_values.encode(value, allow_pickle=False)
        if encoded is not None:
            tag, payload = encoded
            return trellan_core.content_digest(b"trellan data v1 plain", bytes([tag]), *payload)
        buffers: list[pickle.PickleBuffer] = []
        stream = pickle.dumps(value, protocol=5, buffer_callback=buffers.append)
        raws = [b.raw() for b in buffers]
        sizes = _U64.pack(len(stream)) + b"".join(_U64.pack(r.nbytes) for r in raws)
        return trellan_core.content_digest(b"trellan data v1 pickle", _U64.pack(len(raws)), sizes,
                                           stream, *raws)

    # -- callables and the values they hold ------------------------------------------------

    def _digest_of(self, obj: Any) -> bytes:
        out: list[bytes] = []
        self._put(obj, out)
        if len(out) == 1 and out[0][:1] == b"@":  # an object's own digest
            return out[0][1:]
        return _hash(b"".join(out))

    def _put(self, v: Any, out: list[bytes]) -> None:
        """Appends v's encoding: leaves, tuples, containers and arrays inline, other objects as
        their digest; an object already being encoded further out (a cycle) as how far out."""
        t = type(v)
        if t in _LEAVES:
            out.append(_leaf(v))
        elif t is tuple:
            out.append(b"(" + _U64.pack(len(v)))
            for item in v:
                self._put(item, out)
        elif t is list or t is dict or t is set or t is frozenset:
            flat = _flat(v) if t is not set and t is not frozenset else None
            if flat is None:
                self._enter(v, out, False)
            else:
                out.append(flat)
        else:
            np = self._numpy
            if t is np.ndarray and not v.dtype.hasobject:
                out.append(b"A" + _text(str(v.dtype.descr)) + _text(repr(v.shape))
                           + trellan_core.content_digest(np.ascontiguousarray(v).reshape(-1).view(np.uint8)))
            elif isinstance(v, np.generic) and not v.dtype.hasobject:
                out.append(b"a" + _text(str(v.dtype.descr)) + _text(repr(type(v))) + v.tobytes())
            elif t is pickle.PickleBuffer:
                out.append(b"P" + trellan_core.content_digest(v.raw()))
            elif t is types.CodeType:
                out.append(b"@" + _code(v)[0])
            elif t.__flags__ & _HEAP_TYPE and not isinstance(v, type) and self._flat_instance(v, t, out):
                pass
            else:
                self._enter(v, out, True)

    def _enter(self, v: Any, out: list[bytes], hashed: bool) -> None:
        """Encodes an object that may be part of a cycle. A `hashed` one enters as its digest,
        kept for the rest of the run when it reaches nothing further out."""
        key = id(v)
        if hashed:
            memo = self._memo.get((self._home, key))
            if memo is not None:
                out.append(b"@" + memo[1])
                return
        place = self._place.get(key)
        if place is not None:
            self._low = min(self._low, place)
            out.append(b"^" + _U64.pack(len(self._stack) - place))
            return
        depth, outer_low = len(self._stack), self._low
        self._stack.append(key)
        self._place[key] = depth
        self._low = depth
        mine: list[bytes] = [] if hashed else out
        try:
            self._content(v, mine)
        finally:
            self._stack.pop()
            del self._place[key]
        if hashed:
            digest = _hash(b"".join(mine))
            if self._low >= depth:  # reaches nothing further out: the same wherever it is met
                self._memo[self._home, key] = (v, digest)
            out.append(b"@" + digest)
        self._low = min(outer_low, self._low)

    def _content(self, v: Any, out: list[bytes]) -> None:
        t = type(v)
        if t is list:
            out.append(b"[" + _U64.pack(len(v)))
            for item in v:
                self._put(item, out)
            return
        if t is dict:
            out.append(b"{" + _U64.pack(len(v)))
            for k, item in v.items():
                self._put(k, out)
                self._put(item, out)
            return
        if t is set or t is frozenset:
            items = []
            for item in v:
                mine: list[bytes] = []
                self._put(item, mine)
                items.append(b"".join(mine))
            out.append(b"<" + _U64.pack(len(items)) + b"".join(_U64.pack(len(i)) + i for i in sorted(items)))
            return
        version = self._version_of(v)
        if version is not None:
            out.append(b"V" + _text(_qualified(v)))
            self._put(version, out)
        elif (t is types.FunctionType or isinstance(v, type)) and self._elsewhere(v.__module__):
            out.append(b"g" + _text(f"{v.__module__}.{v.__qualname__}") + self._version(v.__module__))
        elif t is types.FunctionType:
            self._function(v, out)
        elif isinstance(v, type):
            self._class(v, out)
        elif t.__flags__ & _HEAP_TYPE:  # an instance of a Python class, most often
            self._reduced(v, out)
        elif t is types.ModuleType:
            out.append(b"M" + _text(v.__name__) + self._version(v.__name__))
        elif t is types.MethodType:
            out.append(b"m")
            self._put(v.__func__, out)
            self._put(v.__self__, out)
        elif t is functools.partial:
            out.append(b"p")
            self._put(v.func, out)
            self._put(v.args, out)
            self._put(v.keywords, out)
        elif t in (staticmethod, classmethod):
            out.append(b"s" if t is staticmethod else b"c")
            self._put(v.__func__, out)
        elif t is property:
            out.append(b"r")
            for part in (v.fget, v.fset, v.fdel):
                self._put(part, out)
        elif t is types.BuiltinFunctionType and (v.__self__ is None or type(v.__self__) is types.ModuleType):
            module = str(getattr(v, "__module__", None) or getattr(v.__self__, "__name__", "builtins"))
            out.append(b"b" + _text(f"{module}.{v.__qualname__}") + self._version(module))
        else:
            self._reduced(v, out)

    def _version_of(self, v: Any) -> Any:
        try:
            version = getattr(v, VERSION_ATTRIBUTE, None)
        except Exception:  # a __getattr__ of its own that fails: no version
            return None
        if version is not None and not _plain(version):
            raise Unfingerprintable(f"{VERSION_ATTRIBUTE} must be a str, int or bytes")
        return version

    def _function(self, f: types.FunctionType, out: list[bytes]) -> None:
        digest, names = _code(f.__code__)
        out.append(b"f" + _CACHE_TAG + digest)
        self._put(f.__defaults__, out)
        self._put(f.__kwdefaults__, out)
        cells = f.__closure__ or ()
        out.append(_U64.pack(len(cells)))
        for cell in cells:
            try:
                value = cell.cell_contents
            except ValueError:  # a cell not yet filled
                out.append(b"e")
                continue
            self._put(value, out)
        known = f.__globals__
        for name in names:
            value = known.get(name, _ABSENT)
            if value is not _ABSENT and _followed(value):
                out.append(_text(name))
                self._put(value, out)
        out.append(b".")

    def _class(self, cls: type, out: list[bytes]) -> None:
        module = getattr(cls, "__module__", None) or ""
        out.append(b"k" + _text(f"{module}.{cls.__qualname__}") + self._version(module))
        if not cls.__flags__ & _HEAP_TYPE:
            return  # compiled: its name and version say it all
        for name, member in vars(cls).items():
            if name not in _CLASS_NOISE and (_plain(member) or isinstance(member, _MEMBERS)):
                out.append(_text(name))
                self._put(member, out)
        out.append(b".")
        self._put(cls.__bases__, out)

    def _flat_instance(self, v: Any, t: type, out: list[bytes]) -> bool:
        """Encodes an instance of a Python class whose state holds only leaves, as `_reduced`
        would but inline: no cycle can run through it. False, writing nothing, for any other."""
        if copyreg.dispatch_table.get(t) is not None or self._version_of(v) is not None:
            return False
        try:
            reduced = v.__reduce_ex__(5)
        except Exception:  # the general way says why
            return False
        if type(reduced) is not tuple or len(reduced) < 3 or reduced[0] is not _NEWOBJ \
                or reduced[1] != (t,) or reduced[3:] not in ((), (None,), (None, None)):
            return False
        # The state: None, a dict, or (dict or None, dict of slots), holding leaves only.
        state = reduced[2]
        pairs = state if type(state) is tuple and len(state) == 2 else (state,)
        parts = [_leaf(None) if p is None else _flat(p) if type(p) is dict else None for p in pairs]
        encoded = [p for p in parts if p is not None]
        if len(encoded) < len(parts):
            return False
        flat = encoded[0] if len(encoded) == 1 else b"(" + _U64.pack(2) + b"".join(encoded)
        out.append(b"O")
        self._put(t, out)
        out.append(flat)
        return True

    def _reduced(self, v: Any, out: list[bytes]) -> None:
        """An object by its class and what pickling takes from it, with code in place of the
        references pickle would write."""
        reducer = copyreg.dispatch_table.get(type(v))
        try:
            reduced = reducer(v) if reducer is not None else v.__reduce_ex__(5)
        except Exception as err:
            raise Unfingerprintable(str(err)) from err
        if isinstance(reduced, str):  # pickles by name
            module = getattr(v, "__module__", None) or type(v).__module__
            out.append(b"g" + _text(f"{module}.{reduced}") + self._version(module))
            return
        if type(reduced) is not tuple or not 2 <= len(reduced) <= 6:
            raise Unfingerprintable(f"{type(v).__qualname__}: unexpected reduce value")
        if reduced[0] is _NEWOBJ and reduced[1] == (type(v),) and reduced[3:] in ((), (None,), (None, None)):
            out.append(b"O")  # the plain object: its class and its state
            self._put(type(v), out)
            self._put(reduced[2] if len(reduced) > 2 else None, out)
            return
        out.append(b"R" + _U64.pack(len(reduced)))
        self._put(type(v), out)
        for k, part in enumerate(reduced):
            self._put(list(part) if k in (3, 4) and part is not None else part, out)

    def _elsewhere(self, module: str | None) -> bool:
        """Whether code of this module is taken by its name and version rather than read: so is
        the standard library's and that of other packages with a version, but never that of the
        package of the callable being fingerprinted."""
        top = _top(module or "")
        return top != self._home and self._version(top) != _NO_VERSION

    def _version(self, module: str) -> bytes:
        """The version of the package that owns a module, as text: Python's for the standard
        library, else the top-level package's `__version__`, else empty."""
        top = _top(module)
        found = self._versions.get(top)
        if found is None:
            if top in sys.stdlib_module_names or top in sys.builtin_module_names:
                version = sys.version
            else:
                version = getattr(sys.modules.get(top), "__version__", "")
            found = self._versions[top] = _text(version if isinstance(version, str) else repr(version))
        return found


_ABSENT = object()
_NEWOBJ = getattr(copyreg, "__newobj__")  # what the default reduction of an instance calls
_NO_VERSION = _text("")
_CACHE_TAG = _text(sys.implementation.cache_tag or "")
# Code objects are immutable and compare equal only when all their parts are: each one's digest
# and global names are kept for the process (dropped wholesale past a bound).
_CODES: dict[types.CodeType, tuple[bytes, tuple[str, ...]]] = {}
_CODES_KEPT = 1 << 14


def _code(code: types.CodeType) -> tuple[bytes, tuple[str, ...]]:
    """The digest of what a code object does, without its line numbers or file name (argument
    counts, flags, bytecode, exception table, the names it uses, and its constants, nested code
    by digest), and the names it and its nested code read, in order of first use."""
    found = _CODES.get(code)
    if found is None:
        out = [b"C" + _U64.pack(code.co_argcount) + _U64.pack(code.co_posonlyargcount)
               + _U64.pack(code.co_kwonlyargcount) + _U64.pack(code.co_flags)
               + _U64.pack(len(code.co_code)) + code.co_code
               + _U64.pack(len(code.co_exceptiontable)) + code.co_exceptiontable]
        for part in (code.co_names, code.co_varnames, code.co_freevars, code.co_cellvars):
            out.append(_text("\0".join(part)) + _U64.pack(len(part)))  # no name holds a NUL
        names = dict.fromkeys(code.co_names)
        for const in code.co_consts:
            _const(const, out, names)
        if len(_CODES) >= _CODES_KEPT:
            _CODES.clear()
        found = _CODES[code] = (_hash(b"".join(out)), tuple(names))
    return found


def _const(const: Any, out: list[bytes], names: dict[str, None]) -> None:
    """A code constant: a leaf, a tuple or frozenset of constants, or nested code, whose global
    names join `names`."""
    t = type(const)
    if t is types.CodeType:
        digest, nested = _code(const)
        out.append(b"@" + digest)
        names.update(dict.fromkeys(nested))
    elif t is tuple or t is frozenset:
        items = []
        for item in const:
            mine: list[bytes] = []
            _const(item, mine, names)
            items.append(b"".join(mine))
        if t is frozenset:
            items.sort()
        out.append((b"(" if t is tuple else b"<") + _U64.pack(len(items))
                   + b"".join(_U64.pack(len(i)) + i for i in items))
    else:
        out.append(_leaf(const))


def _top(module: str) -> str:
    return module.partition(".")[0]


def _home(obj: Any) -> str:
    """The top-level package whose code a callable runs: a partial's or a bound method's is
    that of its function."""
    while True:
        if type(obj) is functools.partial:
            obj = obj.func
        elif type(obj) is types.MethodType:
            obj = obj.__func__
        else:
            break
    owner = obj if isinstance(obj, (type, types.FunctionType, types.BuiltinFunctionType)) else type(obj)
    return _top(getattr(owner, "__module__", None) or "")


# What a class defines that enters its fingerprint, beside plain constants.
_MEMBERS = (types.FunctionType, staticmethod, classmethod, property, type)


def _followed(value: Any) -> bool:
    """Whether a global a function names enters its fingerprint: functions, classes, modules,
    plain constants, and compiled functions that belong to a module (builtins, ufuncs). Other
    objects (a bound method of a global object, say) are state the function reads at run time,
    which a fingerprint does not cover."""
    t = type(value)
    if t is types.FunctionType or t is types.ModuleType or isinstance(value, type) or _plain(value):
        return True
    if t is types.BuiltinFunctionType:
        return value.__self__ is None or type(value.__self__) is types.ModuleType
    return callable(value) and not t.__flags__ & _HEAP_TYPE and t not in (functools.partial, types.MethodType)


class _NoNumpy:
    """Stands for NumPy's module while it is not imported: no value is of these types."""

    class ndarray:  # noqa: N801
        pass

    class generic:  # noqa: N801
        pass


def _flat(v: Any) -> bytes | None:
    """A list or dict of leaves encoded as `_content` would encode it, in one loop; None when it
    holds anything else."""
    parts = [(b"[" if type(v) is list else b"{") + _U64.pack(len(v))]
    for item in (v if type(v) is list else _pairs(v)):
        if type(item) not in _LEAVES:
            return None
        parts.append(_leaf(item))
    return b"".join(parts)


def _pairs(v: dict[Any, Any]) -> Any:
    for k, item in v.items():
        yield k
        yield item


def _leaf(v: Any) -> bytes:
    if v is None:
        return b"N"
    t = type(v)
    if t is str:
        return b"S" + _text(v)
    if v is Ellipsis:
        return b"E"
    if t is bool:
        return b"T" if v else b"F"
    if t is int:
        data: bytes = v.to_bytes((v.bit_length() + 8) // 8, "little", signed=True)
        return b"I" + _U64.pack(len(data)) + data
    if t is float:
        return b"D" + _FLOAT.pack(v)
    if t is complex:
        return b"J" + _COMPLEX.pack(v.real, v.imag)
    return b"B" + _U64.pack(len(v)) + bytes(v)
