// Module initialization. Multi-phase: PyInit returns the definition, and the
// exec step adds the members in their fixed order. The module has no state of
// its own; the types and the panic exception are created on the first exec
// and shared by every later import.
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/objects.hpp"

namespace trellan::py {

namespace {

constexpr const char* kVersion = "0.0.3";

PyObject* version(PyObject*, PyObject*) {
  return PyUnicode_FromString(kVersion);
}

PyMethodDef kVersionDef = {"version", version, METH_NOARGS, "version()\n--\n\n"};

void add_member(PyObject* module, const char* name, PyObject* value) {
  if (PyModule_AddObjectRef(module, name, value) < 0) throw_python_error();
}

int module_exec(PyObject* module) {
  return entry_status([&] {
    if (init_panic_type() < 0) throw_python_error();
    install_thread_support();
    add_member(module, "GraphStore", reinterpret_cast<PyObject*>(graph_store_type()));
    add_member(module, "PayloadDescriptor", reinterpret_cast<PyObject*>(payload_descriptor_type()));
    add_member(module, "IncrementalReducer",
               reinterpret_cast<PyObject*>(incremental_reducer_type()));
    add_member(module, "ExecutionPlan", reinterpret_cast<PyObject*>(execution_plan_type()));
    // Created here rather than listed in m_methods, which would add it before
    // the classes.
    PyRef module_name = PyRef::check(PyModule_GetNameObject(module));
    PyRef fn = PyRef::check(PyCFunction_NewEx(&kVersionDef, module, module_name.get()));
    add_member(module, "version", fn.get());
    add_member(module, "content_digest", content_digest_function(module).get());
    add_member(module, "_restore_store", restore_store_function(module).get());
    add_member(module, "_PlanRunner", reinterpret_cast<PyObject*>(plan_runner_type()));
  });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "trellan_core",
    "",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace trellan::py

PyMODINIT_FUNC PyInit_trellan_core(void) { return PyModuleDef_Init(&trellan::py::kModule); }
