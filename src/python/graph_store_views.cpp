// GraphStore's read-only and persistence methods: nodes, outputs, node_map,
// node_count, to_dot, serialize and deserialize. Each copies what it needs
// out of the store (the store locks itself for that copy only) and builds the
// Python objects afterwards, so no store lock is ever held while Python runs.
// Rendering, encoding and decoding run without the interpreter lock.
#include <vector>

#include "python/args.hpp"
#include "python/from_python.hpp"
#include "python/gil.hpp"
#include "python/objects.hpp"
#include "python/to_python.hpp"
#include "serialize/blob.hpp"

namespace trellan::py {

namespace {

constexpr const char* kNodesDoc =
    "nodes($self)\n--\n\n"
    "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n"
    "`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
    "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
    "`descriptor` dict for external nodes and `n_members` for stage nodes.";

constexpr const char* kOutputsDoc =
    "outputs($self)\n--\n\n"
    "The marked output node ids, in mark order (what an IR evaluator returns, in order).";

constexpr const char* kNodeMapDoc =
    "node_map($self)\n--\n\n"
    "§8.2(i): for each node of the arena this store was REDUCED FROM, where it landed here —\n"
    "`(reduced_node_id, member_index | None)`, or `None` if DCE dropped it. Indexed by that\n"
    "arena's node id. Empty for a store that did not come out of a reduction.";

constexpr const char* kNodeMapOfDoc =
    "node_map_of($self, ids)\n--\n\n"
    "The node_map() entries of the given ids of the store this one was reduced from, in order,\n"
    "repeats kept, read in one pass without building the whole map. ValueError for an id the map\n"
    "does not cover.";

constexpr const char* kSerializeDoc =
    "serialize($self, outputs=None)\n--\n\n"
    "Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:\n"
    "the serializable IR — not cloudpickle — is the canonical durable representation). With\n"
    "`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\n"
    "property of the compile request); the default keeps the marks-based behavior.";

constexpr const char* kDeserializeDoc =
    "deserialize(data)\n--\n\n"
    "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n"
    "`serialize` of the result is byte-identical to the input (plan M8 determinism gate).";

PyRef interned(const char* text) { return PyRef::check(PyUnicode_InternFromString(text)); }

// Views hold only strings, numbers and other views, and are made untracked
// (a caller that puts a tracked object into one may leave a cycle for good).

// Key and tag strings made once per nodes() call instead of once per node.
struct ViewKeys {
  PyRef id = interned("id");
  PyRef output = interned("output");
  PyRef inputs = interned("inputs");
  PyRef kind = interned("kind");
  PyRef name = interned("name");
  PyRef params = interned("params");
  PyRef descriptor = interned("descriptor");
  PyRef n_members = interned("n_members");
  PyRef members = interned("members");
  PyRef input_ref = interned("input");
  PyRef member_ref = interned("member");
  PyRef kinds[7] = {
      interned(kind_name(NodeKind::Source)),   interned(kind_name(NodeKind::Op)),
      interned(kind_name(NodeKind::Reduction)), interned(kind_name(NodeKind::External)),
      interned(kind_name(NodeKind::Stage)),    interned(kind_name(NodeKind::Exchange)),
      interned(kind_name(NodeKind::Join)),
  };
};


PyRef member_view(const StageOp& member, const ViewKeys& k) {
  std::optional<ParsedOpToken> parsed = parse_op_token(member.token);
  if (!parsed) {
    raise_error(PyExc_ValueError, "unparseable stage member token " + display_str(member.token));
  }
  PyRef refs = new_list(member.inputs.size());
  for (size_t i = 0; i < member.inputs.size(); ++i) {
    const StageRef& ref = member.inputs[i];
    const PyRef& tag = ref.kind == StageRef::Kind::Input ? k.input_ref : k.member_ref;
    list_set(refs, i, untracked(make_tuple({tag, new_int(ref.value)})));
  }
  PyRef d = new_dict();
  set_item(d.get(), k.kind.get(), new_str(parsed->head));
  set_item(d.get(), k.name.get(), new_str(parsed->name));
  set_item(d.get(), k.params.get(), param_map_to_dict(parsed->params));
  set_item(d.get(), k.inputs.get(), untracked(refs));
  return untracked(d);
}

PyRef node_view(const NodeKey& key, NodeId id, bool output, const ViewKeys& k) {
  PyRef d = new_dict();
  set_item(d.get(), k.id.get(), new_int(id));
  set_item(d.get(), k.output.get(), PyRef::borrow(output ? Py_True : Py_False));
  set_item(d.get(), k.inputs.get(), untracked(id_list_to_list(key.inputs())));
  set_item(d.get(), k.kind.get(), k.kinds[static_cast<size_t>(key.kind())]);
  set_item(d.get(), k.name.get(), new_str(key.name()));
  set_item(d.get(), k.params.get(), param_map_to_dict(key.params()));
  if (key.kind() == NodeKind::External) {
    set_item(d.get(), k.descriptor.get(), descriptor_to_dict(key.descriptor()));
  } else if (key.kind() == NodeKind::Stage) {
    const std::span<const StageOp> members = key.members();
    set_item(d.get(), k.n_members.get(), new_int(members.size()));
    PyRef list = new_list(members.size());
    for (size_t i = 0; i < members.size(); ++i) list_set(list, i, member_view(members[i], k));
    set_item(d.get(), k.members.get(), untracked(list));
  }
  return untracked(d);
}

PyObject* nodes(PyObject* self, PyObject*) {
  return entry([&] {
    SharedSnapshot snap = store_of(self).shared_snapshot();
    std::vector<bool> is_output(snap.nodes.size(), false);
    for (NodeId id : snap.outputs) {
      if (id < is_output.size()) is_output[id] = true;
    }
    ViewKeys keys;
    PyRef list = new_list(snap.nodes.size());
    for (size_t i = 0; i < snap.nodes.size(); ++i) {
      list_set(list, i, node_view(snap.nodes[i], i, is_output[i], keys));
    }
    return list;
  });
}

PyObject* outputs(PyObject* self, PyObject*) {
  return entry([&] { return id_list_to_list(store_of(self).outputs()); });
}

PyObject* node_map(PyObject* self, PyObject*) {
  return entry([&] { return node_map_to_list(store_of(self).node_map()); });
}

PyObject* node_map_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("node_map_of", {Param::required("ids")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    const std::vector<NodeId> ids = a.convert(0, to_id_list);
    auto entries = store_of(self).node_map_entries(ids);
    if (!entries) raise_bad_node_id(entries.error());
    PyRef list = new_list(entries.value().size());
    for (size_t i = 0; i < entries.value().size(); ++i) list_set(list, i, node_map_entry(entries.value()[i]));
    return list;
  });
}

PyObject* node_count(PyObject* self, PyObject*) {
  return entry([&] { return new_int(store_of(self).node_count()); });
}

PyObject* to_dot(PyObject* self, PyObject*) {
  return entry([&] {
    const GraphStore& store = store_of(self);
    return new_str(detached([&] { return store.to_dot(); }));
  });
}

PyObject* serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("serialize", {Param::optional("outputs")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    std::optional<std::vector<NodeId>> requested = a.convert(0, to_optional_id_list);
    const GraphStore& store = store_of(self);
    const std::vector<NodeId> flagged = outputs_or_marks(store, std::move(requested));
    auto blob = detached([&] { return serialize_with(store, flagged); });
    if (!blob) raise_error(PyExc_OverflowError, blob.error().message());
    return new_bytes(blob.value());
  });
}

PyObject* deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("deserialize", {Param::required("data")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    std::span<const uint8_t> data = a.convert(0, to_bytes_view);
    // bytes are immutable, and the caller keeps `data` alive for the call.
    auto store = detached([&] { return trellan::deserialize(data); });
    if (!store) raise_error(PyExc_ValueError, store.error().message());
    return wrap_store(std::move(store).value());
  });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef kViewMethods[] = {
    {"node_count", as_method(node_count), METH_NOARGS, "node_count($self)\n--\n\n"},
    {"nodes", as_method(nodes), METH_NOARGS, kNodesDoc},
    {"outputs", as_method(outputs), METH_NOARGS, kOutputsDoc},
    {"node_map", as_method(node_map), METH_NOARGS, kNodeMapDoc},
    {"node_map_of", as_method(node_map_of), kFastcall, kNodeMapOfDoc},
    {"to_dot", as_method(to_dot), METH_NOARGS, "to_dot($self)\n--\n\n"},
    {"serialize", as_method(serialize), kFastcall, kSerializeDoc},
    {"deserialize", as_method(deserialize), kFastcall | METH_STATIC, kDeserializeDoc},
};

}  // namespace

std::span<const PyMethodDef> graph_store_view_methods() { return kViewMethods; }

}  // namespace trellan::py
