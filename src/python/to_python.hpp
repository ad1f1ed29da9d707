// Conversions of the core's values to new Python objects. Each throws
// PythonError with the exception set when the interpreter cannot make one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "node/node_key.hpp"
#include "param/param.hpp"
#include "python/py_ref.hpp"
#include "store/node_map.hpp"

namespace trellan {
struct ReductionReport;
}

namespace trellan::py {

PyRef new_int(uint64_t v);
PyRef new_dict();
PyRef new_list(size_t size);
PyRef new_tuple(size_t size);
// list[i] = item, for a new list of room enough.
void list_set(const PyRef& list, size_t i, PyRef item);
PyRef new_str(std::string_view s);
PyRef new_bytes(std::span<const uint8_t> bytes);
PyRef id_list_to_list(std::span<const NodeId> ids);
// The str of each param key a batch of maps has, made once: a plan's or a
// graph's maps mostly share a few keys. Keys are held as views, so the maps
// must outlive the batch.
class KeyStrings {
 public:
  PyRef get(std::string_view key);

 private:
  static constexpr size_t kKept = 8;
  std::string_view keys_[kKept];
  PyRef strs_[kKept];
  size_t count_ = 0;
};
PyRef param_map_to_dict(const ParamMap& params, KeyStrings* keys = nullptr);
PyRef descriptor_to_dict(const PayloadDescriptor& d);
// None, or (reduced id, member index or None).
PyRef node_map_entry(const NodeMap::Entry& placement);
PyRef node_map_to_list(const NodeMap& map);
// The six counters, keys always in report order.
PyRef report_to_dict(const ReductionReport& report);

// Keeps a container made here from the cyclic collector. Only for one that
// holds nothing the collector tracks (texts, numbers, other such
// containers) and that nothing will put a tracked object into: it can never
// be part of a cycle, as the interpreter itself decides for a tuple of such
// items once its collector meets it. Left tracked, the hundreds of thousands
// a view or a task graph makes are walked again by every collection that
// reaches their generation.
PyRef untracked(PyRef container);
// Whether the collector tracks `o`.
inline bool tracked(PyObject* o) { return PyObject_GC_IsTracked(o) != 0; }

// Builds a tuple from owned references.
PyRef make_tuple(std::initializer_list<PyRef> items);
// d[key] = value, with an interned key.
void set_item(PyObject* dict, PyObject* key, const PyRef& value);

}  // namespace trellan::py
