#include "lib/objects.hpp"

namespace trellan::py {

PyTypeObject* create_type(PyType_Spec& spec) {
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) throw_python_error();
  return reinterpret_cast<PyTypeObject*>(type);
}

PyRef alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return PyRef::check(alloc(type, 0));
}

void free_instance(PyObject* self) noexcept {
  // Instances of heap types hold a reference to their type.
  PyTypeObject* type = Py_TYPE(self);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

}  // namespace trellan::py
