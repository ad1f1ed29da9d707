// GraphStore's digest methods: digest and digests (value digests, kept by the
// store) and task_keys (structural keys of one run's tasks). Large
// computations run without the interpreter lock.
#include <algorithm>
#include <cstring>
#include <vector>

#include "python/args.hpp"
#include "python/from_python.hpp"
#include "python/gil.hpp"
#include "python/objects.hpp"
#include "python/to_python.hpp"
#include "store/task_keys.hpp"

namespace trellan::py {

namespace {

constexpr const char* kDigestDoc =
    "digest($self, node_id)\n--\n\n"
    "The node's 32-byte value digest: a name for exactly what it computes, equal across stores,\n"
    "processes and machines, with no rewrite rule applied (version 2; the README defines it).\n"
    "Computed once per node and kept by the store. ValueError for an unknown id or a stage that\n"
    "has no value.";

constexpr const char* kDigestsDoc =
    "digests($self)\n--\n\n"
    "Every node's value digest, concatenated in id order: 32 * node_count() bytes. Only the\n"
    "nodes recorded since the last call are computed.";

constexpr const char* kTaskKeysDoc =
    "task_keys($self, token, ids)\n--\n\n"
    "32-byte task keys of `ids`, concatenated in order. A key hashes the 32-byte `token` (which\n"
    "names the callables of a run), the node's own operator (a stage's members in order) and the\n"
    "keys of its inputs, so equal keys mean identical tasks; no rewrite rule applies.";

// Below this many digests to compute or copy, a call keeps the interpreter lock.
constexpr uint64_t kDetachAbove = 1 << 14;

PyRef new_bytes(size_t size, uint8_t*& data) {
  PyRef bytes = PyRef::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  data = reinterpret_cast<uint8_t*>(PyBytes_AsString(bytes.get()));
  return bytes;
}

// Runs f without the interpreter lock when the work is large. f takes the
// store's digest lock, so a GilRelease scope keeps the lock waits safe.
template <class F>
auto maybe_detached(bool large, F&& f) {
  GilRelease released;
  if (large) released.now();
  return f();
}

void check(const Status<DigestError>& status) {
  if (!status) raise_error(PyExc_ValueError, status.error().message());
}

PyObject* digest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("digest", {Param::required("node_id")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    const NodeId id = a.convert(0, to_id);
    const GraphStore& store = store_of(self);
    if (id >= store.node_count()) raise_bad_node_id(BadNodeId{id});
    uint8_t* data = nullptr;
    PyRef bytes = new_bytes(kDigestSize, data);
    const bool large = id + 1 > store.kept_digests() + kDetachAbove;
    check(maybe_detached(large, [&] { return store.value_digests(std::span<const NodeId>(&id, 1), data); }));
    return bytes;
  });
}

PyObject* digests(PyObject* self, PyObject*) {
  return entry([&] {
    const GraphStore& store = store_of(self);
    const uint64_t count = store.node_count();
    uint8_t* data = nullptr;
    PyRef bytes = new_bytes(count * kDigestSize, data);
    check(maybe_detached(count > kDetachAbove, [&] { return store.value_digests(count, data); }));
    return bytes;
  });
}

Digest to_token(PyObject* o) {
  if (!PyBytes_Check(o)) raise_not_instance(o, "bytes");
  if (PyBytes_Size(o) != static_cast<Py_ssize_t>(kDigestSize)) {
    raise_error(PyExc_ValueError, "token must be 32 bytes, not " + std::to_string(PyBytes_Size(o)));
  }
  Digest token;
  std::memcpy(token.data(), PyBytes_AsString(o), kDigestSize);
  return token;
}

PyObject* task_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("task_keys", {Param::required("token"), Param::required("ids")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    const Digest token = a.convert(0, to_token);
    const std::vector<NodeId> ids = a.convert(1, to_id_list);
    const SharedNodes nodes = store_of(self).shared_nodes();
    for (NodeId id : ids) {
      if (id >= nodes.size()) raise_bad_node_id(BadNodeId{id});
    }
    uint8_t* data = nullptr;
    PyRef bytes = new_bytes(ids.size() * kDigestSize, data);
    detached([&] {
      const std::vector<Digest> keys = trellan::task_keys(nodes, token, ids);
      for (size_t k = 0; k < keys.size(); ++k) std::memcpy(data + k * kDigestSize, keys[k].data(), kDigestSize);
    });
    return bytes;
  });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef kDigestMethods[] = {
    {"digest", as_method(digest), kFastcall, kDigestDoc},
    {"digests", as_method(digests), METH_NOARGS, kDigestsDoc},
    {"task_keys", as_method(task_keys), kFastcall, kTaskKeysDoc},
};

}  // namespace

std::span<const PyMethodDef> graph_store_digest_methods() { return kDigestMethods; }

}  // namespace trellan::py
