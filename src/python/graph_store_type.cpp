// The GraphStore class: the type, its constructor and the six builder methods.
// Batch builders, inspection, persistence, reduction and digest methods live in
// graph_store_batch.cpp, graph_store_views.cpp, graph_store_reduce.cpp and
// graph_store_digests.cpp.
#include <iterator>
#include <vector>

#include "common/panic.hpp"
#include "python/args.hpp"
#include "python/from_python.hpp"
#include "python/objects.hpp"
#include "python/to_python.hpp"

namespace trellan::py {

namespace {

constexpr const char* kClassDoc =
    "GraphStore()\n--\n\n"
    "Thread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
    "share across threads under the GIL and free-threaded 3.14t).";

constexpr const char* kAddExchangeDoc =
    "add_exchange($self, inputs, params=None)\n--\n\n"
    "Record an `Exchange` boundary (plan M39 §2.1). No `name` — an Exchange's identity is its\n"
    "`scheme` ParamMap (`params`) + its one logical input; `nodes()[i][\"kind\"] == \"exchange\"`.";

constexpr const char* kAddJoinDoc =
    "add_join($self, inputs, params=None)\n--\n\n"
    "Record a `Join` boundary (plan M40 §2.1). Two inputs `[left, right]`; identity is its\n"
    "`scheme` ParamMap (`params`) + its ordered inputs; `nodes()[i][\"kind\"] == \"join\"`.";

PyRef wrap_store_as(PyTypeObject* type, std::unique_ptr<GraphStore> store) {
  PyRef self = alloc_instance(type);
  new (&reinterpret_cast<GraphStoreObject*>(self.get())->store)
      std::unique_ptr<GraphStore>(std::move(store));
  return self;
}

PyObject* graph_store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    static const Signature sig("GraphStore", {});
    sig.bind(args, kwargs);
    return wrap_store_as(type, std::make_unique<GraphStore>());
  });
}

void graph_store_dealloc(PyObject* self) {
  using Owner = std::unique_ptr<GraphStore>;
  reinterpret_cast<GraphStoreObject*>(self)->store.~Owner();
  free_instance(self);
}

// Interning is the only step that takes the store lock; every conversion has
// already succeeded, so a failed call records nothing.
PyRef intern(PyObject* self, NodeKey key) {
  auto id = store_of(self).intern(std::move(key));
  if (!id) raise_bad_node_id(id.error());
  return new_int(id.value());
}

using NamedFactory = NodeKey (*)(std::string_view, ParamMap, IdList);
using BoundaryFactory = NodeKey (*)(ParamMap, IdList);

// (name, inputs, params=None)
PyRef record_named(PyObject* self, const Signature& sig, NamedFactory make, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) {
  BoundArgs a = sig.bind(args, nargs, kwnames);
  std::string_view name = a.convert(0, to_utf8_view);  // the argument outlives the call
  IdList inputs = a.convert(1, to_inputs);
  ParamMap params = to_param_map(a[2]);
  return intern(self, make(name, std::move(params), std::move(inputs)));
}

// (inputs, params=None)
PyRef record_boundary(PyObject* self, const Signature& sig, BoundaryFactory make,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BoundArgs a = sig.bind(args, nargs, kwnames);
  IdList inputs = a.convert(0, to_inputs);
  ParamMap params = to_param_map(a[1]);
  return intern(self, make(std::move(params), std::move(inputs)));
}

PyObject* add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("add_source", {Param::required("name"), Param::optional("params")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    std::string_view name = a.convert(0, to_utf8_view);  // the argument outlives the call
    ParamMap params = to_param_map(a[1]);
    auto id = store_of(self).intern(NodeKey::source(name, std::move(params)));
    if (!id) panic("source has no inputs");
    return new_int(id.value());
  });
}

PyObject* add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("add_op", {Param::required("name"), Param::required("inputs"),
                                          Param::optional("params")});
    return record_named(self, sig, &NodeKey::op, args, nargs, kwnames);
  });
}

PyObject* add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("add_reduction", {Param::required("name"),
                                                 Param::required("inputs"),
                                                 Param::optional("params")});
    return record_named(self, sig, &NodeKey::reduction, args, nargs, kwnames);
  });
}

PyObject* add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("add_external", {Param::required("descriptor"),
                                                Param::required("inputs"),
                                                Param::optional("params")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    // inputs before the descriptor, whatever their order in the signature
    IdList inputs = a.convert(1, to_inputs);
    PayloadDescriptor descriptor = to_descriptor(a[0]);
    ParamMap params = to_param_map(a[2]);
    return intern(self,
                  NodeKey::external(std::move(descriptor), std::move(params), std::move(inputs)));
  });
}

PyObject* add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("add_exchange",
                               {Param::required("inputs"), Param::optional("params")});
    return record_boundary(self, sig, &NodeKey::exchange, args, nargs, kwnames);
  });
}

PyObject* add_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("add_join", {Param::required("inputs"), Param::optional("params")});
    return record_boundary(self, sig, &NodeKey::join, args, nargs, kwnames);
  });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef kBuilderMethods[] = {
    {"add_source", as_method(add_source), kFastcall,
     "add_source($self, name, params=None)\n--\n\n"},
    {"add_op", as_method(add_op), kFastcall, "add_op($self, name, inputs, params=None)\n--\n\n"},
    {"add_reduction", as_method(add_reduction), kFastcall,
     "add_reduction($self, name, inputs, params=None)\n--\n\n"},
    {"add_external", as_method(add_external), kFastcall,
     "add_external($self, descriptor, inputs, params=None)\n--\n\n"},
    {"add_exchange", as_method(add_exchange), kFastcall, kAddExchangeDoc},
    {"add_join", as_method(add_join), kFastcall, kAddJoinDoc},
};

}  // namespace

PyTypeObject* graph_store_type() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  // The type keeps pointers into these tables for as long as it lives.
  static std::vector<PyMethodDef> methods;
  methods.assign(std::begin(kBuilderMethods), std::end(kBuilderMethods));
  for (auto part : {graph_store_batch_methods(), graph_store_view_methods(), graph_store_reduce_methods(),
                    graph_store_digest_methods(), graph_store_plan_methods(), graph_store_pickle_methods()}) {
    methods.insert(methods.end(), part.begin(), part.end());
  }
  methods.push_back({nullptr, nullptr, 0, nullptr});
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_new, reinterpret_cast<void*>(graph_store_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(graph_store_dealloc)},
      {Py_tp_methods, methods.data()},
      {0, nullptr},
  };
  static PyType_Spec spec = {"trellan_core.GraphStore", sizeof(GraphStoreObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  type = create_type(spec);
  return type;
}

PyRef wrap_store(std::unique_ptr<GraphStore> store) {
  return wrap_store_as(graph_store_type(), std::move(store));
}

GraphStore& to_store(PyObject* o) {
  if (!PyObject_TypeCheck(o, graph_store_type())) raise_not_instance(o, "GraphStore");
  return store_of(o);
}

}  // namespace trellan::py
