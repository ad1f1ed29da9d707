#include "python/from_python.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "python/runs_python.hpp"
#include "store/graph_store.hpp"

namespace trellan::py {

namespace {

// A failed optional conversion step: ordinary errors mean "try the next rule",
// anything outside Exception (KeyboardInterrupt, ...) still propagates. The
// error may be the last reference to a user's exception object.
void clear_conversion_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
  runs_python(PyErr_Clear);
}

// The text an out-of-range int is shown by: the value itself when it is short,
// else its size (CPython refuses to spell out very long ints, and nobody
// wants to read them in a message).
std::string describe_int(PyObject* index) {
  PyRef bits = PyRef::check(runs_python([index] { return PyObject_CallMethod(index, "bit_length", nullptr); }));
  const long long n = PyLong_AsLongLong(bits.get());
  if (n == -1 && PyErr_Occurred()) throw_python_error();
  if (n > 128) return "int of " + std::to_string(n) + " bits";
  PyRef text = PyRef::check(runs_python(PyObject_Str, index));
  return "int " + to_utf8(text.get());
}

// An int (an object with an integer index) that does not fit 64 bits has no
// value to intern: a float would merge it with its neighbours.
[[noreturn]] void raise_int_overflow(std::string_view key, PyObject* index) {
  raise_error(PyExc_OverflowError, "param '" + std::string(key) + "': " + describe_int(index) +
                                       " does not fit in a signed 64-bit integer");
}

// An Int, or nothing for an object without an integer index.
std::optional<int64_t> try_int64(std::string_view key, PyObject* v) {
  PyRef index = PyRef::steal(runs_python(PyNumber_Index, v));
  if (!index) {
    clear_conversion_error();
    return std::nullopt;
  }
  long long x = PyLong_AsLongLong(index.get());
  if (x == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_python_error();
    PyErr_Clear();
    raise_int_overflow(key, index.get());
  }
  return static_cast<int64_t>(x);
}

std::optional<double> try_double(PyObject* v) {
  double x = runs_python(PyFloat_AsDouble, v);
  if (x == -1.0 && PyErr_Occurred()) {
    clear_conversion_error();
    return std::nullopt;
  }
  return x;
}

bool str_equals(PyObject* s, const char* text) {
  return PyUnicode_Check(s) && PyUnicode_CompareWithASCIIString(s, text) == 0;
}

// NumPy's bool scalar, recognized by its type's module and name so that NumPy
// is not needed to use the module: "numpy.bool" (NumPy 2) or "numpy.bool_".
bool is_numpy_bool(PyObject* o) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
  PyRef module = PyRef::steal(runs_python(PyObject_GetAttrString, type, "__module__"));  // a metaclass's code
  if (!module) {
    clear_conversion_error();
    return false;
  }
  if (!str_equals(module.get(), "numpy")) return false;
  PyRef name = PyRef::check(PyType_GetName(Py_TYPE(o)));
  return str_equals(name.get(), "bool") || str_equals(name.get(), "bool_");
}

// The truth of a NumPy bool scalar.
bool numpy_truth(PyObject* o) {
  int truth = runs_python(PyObject_IsTrue, o);
  if (truth < 0) throw_python_error();
  return truth != 0;
}

// bool first: bool is an int subtype and must not become Int. A NumPy bool
// (neither an int nor a float subtype, which are not asked its type's name)
// is a Bool too, before the rules that would read it as the number 0 or 1.
ParamValue to_param_value(std::string_view key, PyObject* v) {
  if (PyBool_Check(v)) return ParamValue::Bool(v == Py_True);
  // The exact built-in types take the rule that the steps below would reach
  // for them, without raising and clearing an error on the way.
  if (PyFloat_CheckExact(v)) return ParamValue::Float(PyFloat_AsDouble(v));
  if (PyUnicode_CheckExact(v)) return ParamValue::Str(to_utf8(v));
  if (!PyLong_Check(v) && !PyFloat_Check(v) && is_numpy_bool(v)) return ParamValue::Bool(numpy_truth(v));
  if (auto i = try_int64(key, v)) return ParamValue::Int(*i);
  if (auto f = try_double(v)) return ParamValue::Float(*f);
  if (PyUnicode_Check(v)) return ParamValue::Str(to_utf8(v));
  raise_error(PyExc_TypeError, "param values must be int, float, bool, or str");
}

}  // namespace

std::string to_utf8(PyObject* o) { return std::string(to_utf8_view(o)); }

std::string_view to_utf8_view(PyObject* o) {
  if (!PyUnicode_Check(o)) raise_not_instance(o, "str");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (data == nullptr) throw_python_error();
  return std::string_view(data, static_cast<size_t>(size));
}

// An exact int is read in place; anything else goes through its integer
// index, which may run Python code, so the item is held by a reference of its
// own meanwhile.
NodeId to_id(PyObject* item) {
  if (PyLong_CheckExact(item)) {
    unsigned long long id = PyLong_AsUnsignedLongLong(item);
    if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
    return id;
  }
  PyRef held = PyRef::borrow(item);
  PyRef index = PyRef::check(runs_python(PyNumber_Index, held.get()));
  unsigned long long id = PyLong_AsUnsignedLongLong(index.get());
  if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
  return id;
}

void append_ids(PyObject* o, std::vector<NodeId>& out) {
  if (PyUnicode_Check(o)) raise_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(o)) raise_not_instance(o, "Sequence");
  // Lists and tuples (the usual inputs) are read item by item in place; the
  // size is read once, as the general sequence path reads it, and a list
  // that an item's index conversion shrinks fails the same way there.
  const bool list = PyList_CheckExact(o);
  const bool in_place = list || PyTuple_CheckExact(o);
  Py_ssize_t n = runs_python(PySequence_Size, o);
  if (n < 0) throw_python_error();
  // Rows of a batch append one after another: grow geometrically.
  const size_t need = out.size() + static_cast<size_t>(n);
  if (need > out.capacity()) out.reserve(std::max(need, 2 * out.capacity()));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (in_place) {
      PyObject* item = list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i);
      if (item == nullptr) throw_python_error();
      out.push_back(to_id(item));
    } else {
      PyRef item = PyRef::check(runs_python(PySequence_GetItem, o, i));
      out.push_back(to_id(item.get()));
    }
  }
}

std::vector<NodeId> to_id_list(PyObject* o) {
  std::vector<NodeId> ids;
  append_ids(o, ids);
  return ids;
}

IdList to_inputs(PyObject* o) {
  // As append_ids reads them; a short list or tuple goes into an inline array.
  const bool list = PyList_CheckExact(o);
  if (!list && !PyTuple_CheckExact(o)) return IdList(to_id_list(o));
  const Py_ssize_t n = list ? PyList_Size(o) : PyTuple_Size(o);
  if (n < 0) throw_python_error();
  constexpr Py_ssize_t kInline = 8;
  if (n > kInline) return IdList(to_id_list(o));
  NodeId ids[kInline];
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i);
    if (item == nullptr) throw_python_error();
    ids[i] = to_id(item);
  }
  return IdList(std::span<const NodeId>(ids, static_cast<size_t>(n)));
}

std::span<const uint8_t> to_bytes_view(PyObject* o) {
  if (!PyBytes_Check(o)) raise_not_instance(o, "bytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(o, &data, &size) < 0) throw_python_error();
  return {reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size)};
}

const uint8_t* to_sized_bytes(PyObject* o, size_t size, const char* what) {
  const std::span<const uint8_t> bytes = to_bytes_view(o);
  if (bytes.size() != size) {
    raise_error(PyExc_ValueError, std::string(what) + " must be " + std::to_string(size) + " bytes, not " +
                                      std::to_string(bytes.size()));
  }
  return bytes.data();
}

std::optional<std::vector<NodeId>> to_optional_id_list(PyObject* o) {
  if (o == nullptr || o == Py_None) return std::nullopt;
  return to_id_list(o);
}

namespace {

// The common case, read in place: str keys and values of the exact types bool,
// int (within 64 bits), float and str, whose conversion runs no Python code
// and so cannot change the dict while it is being walked. Anything else, or a
// failure, gives false with no error set and nothing kept; the general path
// then converts the whole dict again and raises what it raises.
bool read_plain_params(PyObject* dict, std::vector<ParamEntry>& entries) {
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) {
      PyErr_Clear();
      return false;
    }
    std::string k(data, static_cast<size_t>(size));
    if (PyBool_Check(value)) {
      entries.emplace_back(std::move(k), ParamValue::Bool(value == Py_True));
    } else if (PyFloat_CheckExact(value)) {
      entries.emplace_back(std::move(k), ParamValue::Float(PyFloat_AsDouble(value)));
    } else if (PyUnicode_CheckExact(value)) {
      const char* text = PyUnicode_AsUTF8AndSize(value, &size);
      if (text == nullptr) {
        PyErr_Clear();
        return false;
      }
      entries.emplace_back(std::move(k), ParamValue::Str(std::string(text, static_cast<size_t>(size))));
    } else if (PyLong_CheckExact(value)) {
      long long x = PyLong_AsLongLong(value);
      if (x == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
      }
      entries.emplace_back(std::move(k), ParamValue::Int(x));
    } else {
      return false;
    }
  }
  return true;
}

// The bytes of a str, or nothing (with no error set) when it has none.
std::optional<std::string_view> utf8_view(PyObject* s) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(data, static_cast<size_t>(size));
}

// Whether read_plain_params would read exactly `given` (in the dict's order,
// floats bit for bit) from dict. Reads in place and runs no Python code.
bool reads_as(PyObject* dict, const std::vector<ParamEntry>& given) {
  if (static_cast<size_t>(PyDict_Size(dict)) != given.size()) return false;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (const ParamEntry& entry : given) {
    if (!PyDict_Next(dict, &pos, &key, &value) || !PyUnicode_Check(key)) return false;
    auto k = utf8_view(key);
    if (!k || *k != entry.first) return false;
    const ParamValue& v = entry.second;
    switch (v.tag()) {
      case ParamValue::Tag::Bool:
        if (!PyBool_Check(value) || (value == Py_True) != v.as_bool()) return false;
        break;
      case ParamValue::Tag::Float:
        if (!PyFloat_CheckExact(value) ||
            std::bit_cast<uint64_t>(PyFloat_AsDouble(value)) != std::bit_cast<uint64_t>(v.as_float())) {
          return false;
        }
        break;
      case ParamValue::Tag::Str: {
        if (!PyUnicode_CheckExact(value)) return false;
        auto text = utf8_view(value);
        if (!text || *text != v.as_str()) return false;
        break;
      }
      case ParamValue::Tag::Int: {
        if (!PyLong_CheckExact(value)) return false;
        long long x = PyLong_AsLongLong(value);
        if (x == -1 && PyErr_Occurred()) {
          PyErr_Clear();
          return false;
        }
        if (x != v.as_int()) return false;
        break;
      }
    }
  }
  return true;
}

// The last few params dicts this thread converted, as read and as made. A
// front end passes the same few dicts (or equal ones) again and again; when
// a dict reads as one of these, its map is reused instead of built, sorted
// and hashed anew, and the store finds it already pooled.
struct RecentParams {
  std::vector<ParamEntry> as_read;
  ParamMap map;
};
constexpr size_t kRecent = 4;
thread_local std::array<RecentParams, kRecent> t_recent;
thread_local size_t t_recent_next = 0;

}  // namespace

ParamMap to_param_map(PyObject* o) {
  if (o == nullptr || o == Py_None) return ParamMap();
  if (!PyDict_Check(o)) raise_error(PyExc_TypeError, "params must be a dict or None");
  if (PyDict_Size(o) == 0) return ParamMap();
  for (const RecentParams& recent : t_recent) {
    if (!recent.as_read.empty() && reads_as(o, recent.as_read)) return recent.map;
  }
  {
    std::vector<ParamEntry> entries;
    entries.reserve(static_cast<size_t>(PyDict_Size(o)));
    if (read_plain_params(o, entries)) {
      // Built aside and moved in whole, so a failed allocation cannot leave a
      // slot pairing one dict's entries with another's map.
      RecentParams fresh{entries, ParamMap::make(std::move(entries))};
      RecentParams& slot = t_recent[t_recent_next++ % kRecent];
      slot = std::move(fresh);
      return slot.map;
    }
  }
  // A copy of the items: converting a value may run Python code that changes
  // the dict, which must neither break the iteration nor free an item.
  PyRef items = PyRef::check(runs_python(PyDict_Items, o));  // allocates: see new_list
  Py_ssize_t n = PyList_Size(items.get());
  if (n < 0) throw_python_error();
  std::vector<ParamEntry> entries;
  entries.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    PyObject* key = PyTuple_GetItem(item, 0);
    PyObject* value = PyTuple_GetItem(item, 1);
    if (key == nullptr || value == nullptr) throw_python_error();
    std::string k = to_utf8(key);
    ParamValue v = to_param_value(k, value);
    entries.emplace_back(std::move(k), std::move(v));
  }
  return ParamMap::make(std::move(entries));
}

bool to_flag(PyObject* o) {
  if (o == nullptr) return false;
  if (PyBool_Check(o)) return o == Py_True;
  if (!is_numpy_bool(o)) raise_not_instance(o, "bool");
  return numpy_truth(o);
}

std::vector<NodeId> outputs_or_marks(const GraphStore& store, std::optional<std::vector<NodeId>> requested) {
  auto snap = store.snapshot_for(std::move(requested));
  if (!snap) raise_bad_node_id(snap.error());
  return std::move(snap.value().outputs);
}

}  // namespace trellan::py
