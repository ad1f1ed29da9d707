// The batch builders of GraphStore: one call records a whole layer, one node
// per row, as the loop of single builder calls would, but converting the
// name and the params once and taking the store lock once.
#include <vector>

#include "common/panic.hpp"
#include "python/args.hpp"
#include "python/from_python.hpp"
#include "python/gil.hpp"
#include "python/id_rows.hpp"
#include "python/objects.hpp"
#include "python/runs_python.hpp"
#include "python/to_python.hpp"

namespace trellan::py {

namespace {

PyRef id_list(const std::vector<NodeId>& ids) {
  PyRef list = new_list(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    // Ids are far below 2^63; the signed conversion has the quicker path for
    // ids that fit one digit.
    PyObject* id = PyLong_FromLongLong(static_cast<long long>(ids[i]));
    if (id == nullptr) throw_python_error();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), id);  // steals id
  }
  return list;
}

// Every conversion has succeeded before the store is touched, and the store
// records the whole batch or nothing of it.
PyRef batch_result(const Result<std::vector<NodeId>, BadRow>& ids) {
  if (!ids) raise_error(PyExc_ValueError, ids.error().message());
  return id_list(ids.value());
}

using NamedFactory = NodeKey (*)(std::string_view, ParamMap, IdList);

// (name, inputs, params=None), inputs one row per node
PyRef record_rows(PyObject* self, const Signature& sig, NamedFactory make, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames) {
  BoundArgs a = sig.bind(args, nargs, kwnames);
  std::string_view name = a.convert(0, to_utf8_view);  // the argument outlives the call
  const IdRows rows = to_id_rows(a[1], "inputs");
  NodeKey proto = make(name, to_param_map(a[2]), IdList());
  GraphStore& store = store_of(self);
  return batch_result(detached([&] { return store.intern_rows(std::move(proto), rows.ids, rows.ends); }));
}

PyObject* add_sources(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("add_sources", {Param::required("name"), Param::required("params")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    std::string_view name = a.convert(0, to_utf8_view);  // the argument outlives the call
    PyObject* rows = a[1];
    const Py_ssize_t n = a.convert(1, [](PyObject* o) {
      if (!PySequence_Check(o)) raise_not_instance(o, "Sequence");
      const Py_ssize_t size = runs_python(PySequence_Size, o);
      if (size < 0) throw_python_error();
      return size;
    });
    std::vector<NodeKey> keys;
    keys.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      try {
        PyRef row = PyRef::check(runs_python(PySequence_GetItem, rows, i));
        keys.push_back(NodeKey::source(name, to_param_map(row.get())));
      } catch (const PythonError&) {
        prefix_row_error(static_cast<size_t>(i));
        throw;
      }
    }
    GraphStore& store = store_of(self);
    return batch_result(detached([&] { return store.intern_batch(keys); }));
  });
}

PyObject* add_ops(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("add_ops", {Param::required("name"), Param::required("inputs"),
                                           Param::optional("params")});
    return record_rows(self, sig, &NodeKey::op, args, nargs, kwnames);
  });
}

PyObject* add_reductions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("add_reductions", {Param::required("name"), Param::required("inputs"),
                                                  Param::optional("params")});
    return record_rows(self, sig, &NodeKey::reduction, args, nargs, kwnames);
  });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef kBatchMethods[] = {
    {"add_sources", as_method(add_sources), kFastcall,
     "add_sources($self, name, params)\n--\n\n"
     "Record one source per params dict, as the loop of add_source calls would; returns their ids in order."},
    {"add_ops", as_method(add_ops), kFastcall,
     "add_ops($self, name, inputs, params=None)\n--\n\n"
     "Record one op per row of inputs (a sequence of id sequences, or a 2-D integer array), as the loop of\n"
     "add_op calls would; returns their ids in order. Every input must exist before the call, and a bad\n"
     "row records nothing of the batch."},
    {"add_reductions", as_method(add_reductions), kFastcall,
     "add_reductions($self, name, inputs, params=None)\n--\n\n"
     "Record one reduction per row of inputs, as add_ops records ops."},
};

}  // namespace

std::span<const PyMethodDef> graph_store_batch_methods() { return kBatchMethods; }

}  // namespace trellan::py
