// Conversions of Python objects to the core's values. Each conversion throws
// PythonError with the exception set; callers that convert a call argument
// run it through BoundArgs::convert so that TypeErrors name the argument.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "node/node_key.hpp"
#include "param/param.hpp"
#include "python/py_ref.hpp"

namespace trellan {
class GraphStore;
}

namespace trellan::py {

// A str (or str subclass) as UTF-8.
std::string to_utf8(PyObject* o);
// The same, as a view of the str's own UTF-8 buffer: valid while o lives.
std::string_view to_utf8_view(PyObject* o);
// One node id: an integer in the uint64 range.
NodeId to_id(PyObject* o);
// Node ids: any sequence but str, each item an integer in the uint64 range.
std::vector<NodeId> to_id_list(PyObject* o);
// The same, appended to out.
void append_ids(PyObject* o, std::vector<NodeId>& out);
// The inputs of a builder: to_id_list, straight into an IdList.
IdList to_inputs(PyObject* o);
// None (or not given) -> nothing; otherwise to_id_list.
std::optional<std::vector<NodeId>> to_optional_id_list(PyObject* o);
// None (or not given) -> empty map; a dict -> its items sorted by key.
ParamMap to_param_map(PyObject* o);
// A Python bool or a NumPy bool scalar; not given -> false. An int is refused.
bool to_flag(PyObject* o);
// A bytes object's contents, valid while o lives (bytes are immutable).
std::span<const uint8_t> to_bytes_view(PyObject* o);
// The same for a bytes object of exactly `size` bytes; ValueError "<what> must be <size>
// bytes, not <n>" for another size.
const uint8_t* to_sized_bytes(PyObject* o, size_t size, const char* what);

// The outputs a call works against: the requested ids, each checked to name
// a node of store (else the unknown-node error for the first that does not),
// or, when none are requested, the store's marks.
std::vector<NodeId> outputs_or_marks(const GraphStore& store, std::optional<std::vector<NodeId>> requested);

}  // namespace trellan::py
