#include "python/to_python.hpp"

#include <algorithm>

#include "optimizer/passes/driver.hpp"
#include "python/runs_python.hpp"

namespace trellan::py {

PyRef new_int(uint64_t v) { return PyRef::check(PyLong_FromUnsignedLongLong(v)); }

PyRef new_str(std::string_view s) {
  return PyRef::check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

PyRef new_bytes(std::span<const uint8_t> bytes) {
  return PyRef::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<Py_ssize_t>(bytes.size())));
}

// Making a container the collector tracks can start a collection on 3.11,
// and the finalizers it runs may be Python code.
PyRef new_dict() { return PyRef::check(runs_python(PyDict_New)); }

PyRef new_list(size_t size) { return PyRef::check(runs_python(PyList_New, static_cast<Py_ssize_t>(size))); }

PyRef new_tuple(size_t size) { return PyRef::check(runs_python(PyTuple_New, static_cast<Py_ssize_t>(size))); }

void list_set(const PyRef& list, size_t i, PyRef item) {
  if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()) < 0) {
    throw_python_error();  // LCOV_EXCL_LINE: a new list takes every item
  }
}

PyRef id_list_to_list(std::span<const NodeId> ids) {
  PyRef list = new_list(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) list_set(list, i, new_int(ids[i]));
  return list;
}

PyRef KeyStrings::get(std::string_view key) {
  const size_t kept = std::min(count_, kKept);
  for (size_t k = 0; k < kept; ++k) {
    if (keys_[k] == key) return strs_[k];
  }
  PyRef str = new_str(key);
  keys_[count_ % kKept] = key;
  strs_[count_ % kKept] = str;
  ++count_;
  return str;
}

PyRef param_map_to_dict(const ParamMap& params, KeyStrings* keys) {
  PyRef dict = new_dict();
  for (const auto& [key, value] : params.entries()) {
    PyRef v;
    switch (value.tag()) {
      case ParamValue::Tag::Int: v = PyRef::check(PyLong_FromLongLong(value.as_int())); break;
      case ParamValue::Tag::Float: v = PyRef::check(PyFloat_FromDouble(value.as_float())); break;
      case ParamValue::Tag::Bool: v = PyRef::check(PyBool_FromLong(value.as_bool())); break;
      case ParamValue::Tag::Str: v = new_str(value.as_str()); break;
    }
    PyRef k = keys ? keys->get(key) : new_str(key);
    set_item(dict.get(), k.get(), v);
  }
  return dict;
}

PyRef descriptor_to_dict(const PayloadDescriptor& d) {
  PyRef dict = new_dict();
  auto put = [&](const char* key, PyRef value) {
    if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) throw_python_error();
  };
  put("kind", new_str(d.kind));
  put("content_hash", new_str(d.content_hash));
  put("framework", new_str(d.framework));
  put("version", new_str(d.version));
  put("io_schema", new_str(d.io_schema));
  put("preprocessing_ref",
      d.preprocessing_ref ? new_str(*d.preprocessing_ref) : PyRef::borrow(Py_None));
  return dict;
}

PyRef node_map_entry(const NodeMap::Entry& placement) {
  if (!placement) return PyRef::borrow(Py_None);
  const Placement& p = *placement;
  return make_tuple({new_int(p.node), p.member ? new_int(*p.member) : PyRef::borrow(Py_None)});
}

PyRef node_map_to_list(const NodeMap& map) {
  PyRef list = new_list(map.size());
  for (size_t i = 0; i < map.size(); ++i) list_set(list, i, node_map_entry(map[i]));
  return list;
}

PyRef report_to_dict(const ReductionReport& report) {
  const std::pair<const char*, uint64_t> counters[] = {
      {"input_nodes", report.input_nodes},         {"reachable_nodes", report.reachable_nodes},
      {"canonical_nodes", report.canonical_nodes}, {"stages", report.stages},
      {"reduced_nodes", report.reduced_nodes},     {"boundary_nodes", report.boundary_nodes},
  };
  PyRef dict = new_dict();
  for (const auto& [key, count] : counters) {
    if (PyDict_SetItemString(dict.get(), key, new_int(count).get()) < 0) throw_python_error();
  }
  return dict;
}

PyRef untracked(PyRef container) {
  if (tracked(container.get())) PyObject_GC_UnTrack(container.get());
  return container;
}

PyRef make_tuple(std::initializer_list<PyRef> items) {
  PyRef tuple = new_tuple(items.size());
  Py_ssize_t i = 0;
  for (const PyRef& item : items) {
    Py_INCREF(item.get());
    if (PyTuple_SetItem(tuple.get(), i++, item.get()) < 0) throw_python_error();
  }
  return tuple;
}

void set_item(PyObject* dict, PyObject* key, const PyRef& value) {
  if (PyDict_SetItem(dict, key, value.get()) < 0) throw_python_error();
}

}  // namespace trellan::py
