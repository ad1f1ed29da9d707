// The module's Python classes as the rest of the binding sees them: their
// type objects (created once, by module initialization) and the C++ objects
// their instances own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <span>

#include "node/node_key.hpp"
#include "optimizer/passes/store_reduce.hpp"
#include "python/py_ref.hpp"
#include "store/execution_plan.hpp"
#include "store/graph_store.hpp"

namespace trellan::py {

// ---- GraphStore (graph_store_type.cpp)

struct GraphStoreObject {
  PyObject_HEAD
  std::unique_ptr<GraphStore> store;  // never null once the object is built
};

// Each *_type() creates its type on the first call and returns the same
// (borrowed) type ever after; a failed creation throws PythonError.
PyTypeObject* graph_store_type();
// The store of a GraphStore instance; `self` must be one.
inline GraphStore& store_of(PyObject* self) {
  return *reinterpret_cast<GraphStoreObject*>(self)->store;
}
// A new GraphStore instance that owns `store`.
PyRef wrap_store(std::unique_ptr<GraphStore> store);
// Converts the `store` argument of reducer methods: a GraphStore instance.
GraphStore& to_store(PyObject* o);

// The (new GraphStore, report dict) pair every reducing method returns.
PyRef reduction_result(StoreAndReport result);

// Method tables kept beside their implementations; graph_store_type.cpp
// joins them into the class's one table.
std::span<const PyMethodDef> graph_store_view_methods();
std::span<const PyMethodDef> graph_store_reduce_methods();
std::span<const PyMethodDef> graph_store_batch_methods();
std::span<const PyMethodDef> graph_store_digest_methods();
std::span<const PyMethodDef> graph_store_plan_methods();
std::span<const PyMethodDef> graph_store_pickle_methods();
// The module function that unpickles a GraphStore (graph_store_pickle.cpp).
PyRef restore_store_function(PyObject* module);

// ---- ExecutionPlan (execution_plan_type.cpp)

PyTypeObject* execution_plan_type();
// The plan an ExecutionPlan instance holds; `self` must be one.
const ExecutionPlan& plan_of(PyObject* self);
// The GraphStore instance the plan was built from (borrowed).
PyObject* plan_store(PyObject* self);
// Method tables kept beside their implementations; execution_plan_type.cpp
// joins them into the class's one table.
std::span<const PyMethodDef> execution_plan_salted_methods();
std::span<const PyMethodDef> execution_plan_task_methods();
std::span<const PyMethodDef> execution_plan_graph_methods();

// ---- _PlanRunner (plan_runner_type.cpp)

PyTypeObject* plan_runner_type();

// ---- Module functions

// content_digest, bound to the module (content_digest.cpp).
PyRef content_digest_function(PyObject* module);

// ---- PayloadDescriptor (payload_descriptor_type.cpp)

PyTypeObject* payload_descriptor_type();
// The `descriptor` argument of add_external: an instance or a dict.
PayloadDescriptor to_descriptor(PyObject* o);

// ---- IncrementalReducer (incremental_reducer_type.cpp)

PyTypeObject* incremental_reducer_type();

// ---- Shared by the three type files

// A METH_FASTCALL | METH_KEYWORDS or METH_NOARGS function as a method-table entry.
template <class F>
PyCFunction as_method(F* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// Creates a heap type from its PyType_Spec; throws PythonError on failure.
inline PyTypeObject* create_type(PyType_Spec& spec) {
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) throw_python_error();  // LCOV_EXCL_LINE
  return reinterpret_cast<PyTypeObject*>(type);
}

// A zeroed instance of `type`; its C++ part is then constructed in place.
inline PyRef alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return PyRef::check(alloc(type, 0));
}

// Releases an instance whose C++ part is already destroyed.
inline void free_instance(PyObject* self) noexcept {
  // Instances of heap types hold a reference to their type.
  PyTypeObject* type = Py_TYPE(self);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

}  // namespace trellan::py
