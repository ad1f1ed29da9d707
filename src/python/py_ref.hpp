// An owned reference to a Python object. Every new reference the binding
// receives goes into a PyRef at once, so an early return or a C++ exception
// can neither leak it nor release it twice. Releasing the last reference may
// run Python code (a user's __del__), so it goes through runs_python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "python/errors.hpp"
#include "python/runs_python.hpp"

namespace trellan::py {

class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef& o) : p_(o.p_) { Py_XINCREF(p_); }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~PyRef() {
    if (p_ != nullptr) runs_python([p = p_] { Py_DECREF(p); });
  }

  // Takes over a new reference (which may be null).
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  // Takes over a new reference returned by the C API; null means a Python
  // error is set, and is thrown on as PythonError.
  static PyRef check(PyObject* o) {
    if (o == nullptr) throw_python_error();
    return PyRef(o);
  }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (e.g. back to the interpreter).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

}  // namespace trellan::py
