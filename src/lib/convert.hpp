// Conversions between Python objects and the core's values. Each from-Python
// conversion throws PythonError with the exception set; callers that convert
// a call argument run it through BoundArgs::convert so that TypeErrors name
// the argument.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/py_ref.hpp"
#include "node/node_key.hpp"
#include "param/param.hpp"
#include "store/node_map.hpp"

namespace trellan {
class GraphStore;
}

namespace trellan::py {

// ---- from Python

// A str (or str subclass) as UTF-8.
std::string to_utf8(PyObject* o);
// The same, as a view of the str's own UTF-8 buffer: valid while o lives.
std::string_view to_utf8_view(PyObject* o);
// Node ids: any sequence but str, each item an integer in the uint64 range.
std::vector<NodeId> to_id_list(PyObject* o);
// The inputs of a builder: to_id_list, straight into an IdList.
IdList to_inputs(PyObject* o);
// None (or not given) -> nothing; otherwise to_id_list.
std::optional<std::vector<NodeId>> to_optional_id_list(PyObject* o);
// None (or not given) -> empty map; a dict -> its items sorted by key.
ParamMap to_param_map(PyObject* o);
// A Python bool or a NumPy bool scalar; not given -> false. An int is refused.
bool to_flag(PyObject* o);

// Raises the unknown-node error for the first id that is not below the
// store's node count, read once.
void check_node_ids(const GraphStore& store, std::span<const NodeId> ids);

// ---- to Python

PyRef new_int(uint64_t v);
PyRef new_str(std::string_view s);
PyRef id_list_to_list(std::span<const NodeId> ids);
PyRef param_map_to_dict(const ParamMap& params);
PyRef descriptor_to_dict(const PayloadDescriptor& d);
PyRef node_map_to_list(const NodeMap& map);
// The six counters, keys always in report order.
PyRef report_to_dict(const ReductionReport& report);

// Builds a tuple from owned references.
PyRef make_tuple(std::initializer_list<PyRef> items);
// d[key] = value, with an interned key.
void set_item(PyObject* dict, PyObject* key, const PyRef& value);

}  // namespace trellan::py
