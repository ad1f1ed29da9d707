// Pickling a GraphStore (and so copy.copy and copy.deepcopy): the store's blob,
// which keeps ids and marks, with its node map beside it, since blobs carry
// none. The map travels as two little-endian 64-bit words per entry, node and
// member, all ones for "dropped" and "no member".
#include <vector>

#include "python/from_python.hpp"
#include "python/gil.hpp"
#include "python/objects.hpp"
#include "python/runs_python.hpp"
#include "python/to_python.hpp"
#include "serialize/blob.hpp"

namespace trellan::py {

namespace {

constexpr uint64_t kNone = ~uint64_t{0};

void put_word(std::vector<uint8_t>& out, uint64_t w) {
  for (int b = 0; b < 8; ++b) out.push_back(static_cast<uint8_t>(w >> (8 * b)));
}

uint64_t get_word(const uint8_t* p) {
  uint64_t w = 0;
  for (int b = 7; b >= 0; --b) w = (w << 8) | p[b];
  return w;
}

std::vector<uint8_t> encode_node_map(const NodeMap& map) {
  std::vector<uint8_t> out;
  out.reserve(16 * map.size());
  for (const NodeMap::Entry entry : map) {
    put_word(out, entry ? entry->node : kNone);
    put_word(out, entry && entry->member ? *entry->member : kNone);
  }
  return out;
}

std::optional<NodeMap> decode_node_map(std::span<const uint8_t> bytes) {
  if (bytes.size() % 16 != 0) return std::nullopt;
  NodeMap map;
  map.reserve(bytes.size() / 16);
  for (size_t at = 0; at < bytes.size(); at += 16) {
    const uint64_t node = get_word(&bytes[at]);
    const uint64_t member = get_word(&bytes[at + 8]);
    if (node == kNone) {
      if (member != kNone) return std::nullopt;
      map.push_back(std::nullopt);
    } else {
      map.push_back(Placement{node, member == kNone ? std::nullopt : std::optional<uint64_t>(member)});
    }
  }
  return map;
}

PyObject* restore_store(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&] {
    if (nargs != 2) raise_error(PyExc_TypeError, "_restore_store takes a blob and a node map");
    std::span<const uint8_t> blob = to_bytes_view(args[0]);
    std::span<const uint8_t> map_bytes = to_bytes_view(args[1]);
    auto store = detached([&] { return trellan::deserialize(blob); });
    if (!store) raise_error(PyExc_ValueError, store.error().message());
    std::optional<NodeMap> map = decode_node_map(map_bytes);
    if (!map) raise_error(PyExc_ValueError, "a node map is 16 bytes per entry");
    auto restored = store.value()->restore_node_map(std::move(*map));
    if (!restored) raise_error(PyExc_ValueError, restored.error().message());
    return wrap_store(std::move(store).value());
  });
}

PyMethodDef kRestoreDef = {"_restore_store", as_method(restore_store), METH_FASTCALL,
                           "_restore_store(blob, node_map)\n--\n\nA pickled GraphStore, back."};

PyObject* reduce_store(PyObject* self, PyObject*) {
  return entry([&] {
    const GraphStore& store = store_of(self);
    // The marks, in order, are the blob's outputs.
    const std::vector<NodeId> marks = store.outputs();
    auto blob = detached([&] { return serialize_with(store, marks); });
    if (!blob) raise_error(PyExc_OverflowError, blob.error().message());
    PyRef blob_bytes = new_bytes(blob.value());
    PyRef map_bytes = new_bytes(encode_node_map(store.node_map()));
    // Importing runs the import machinery, and sys.modules may hold anything.
    PyRef module = PyRef::check(runs_python(PyImport_ImportModule, "trellan_core"));
    PyRef restore = PyRef::check(runs_python(PyObject_GetAttrString, module.get(), "_restore_store"));
    return make_tuple({restore, make_tuple({blob_bytes, map_bytes})});
  });
}

const PyMethodDef kPickleMethods[] = {
    {"__reduce__", as_method(reduce_store), METH_NOARGS, "__reduce__($self)\n--\n\n"},
};

}  // namespace

std::span<const PyMethodDef> graph_store_pickle_methods() { return kPickleMethods; }

PyRef restore_store_function(PyObject* module) {
  PyRef module_name = PyRef::check(PyModule_GetNameObject(module));
  return PyRef::check(PyCFunction_NewEx(&kRestoreDef, module, module_name.get()));
}

}  // namespace trellan::py
