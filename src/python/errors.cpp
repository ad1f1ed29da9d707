#include "python/errors.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>

#include "common/panic.hpp"
#include "python/py_ref.hpp"
#include "store/graph_store.hpp"

namespace trellan::py {

namespace {

// Lives for the whole process: the type is shared by every import of the
// module, and instances of it may outlive any one module object.
PyObject* g_panic_type = nullptr;

constexpr const char* kPanicDoc =
    "A fatal internal error of trellan_core (a poisoned lock or a broken invariant). It derives\n"
    "from BaseException so that `except Exception` does not swallow it.";

void set_panic(const char* message) noexcept {
  PyErr_SetString(g_panic_type != nullptr ? g_panic_type : PyExc_SystemError, message);
}

}  // namespace

void throw_python_error() { throw PythonError{}; }

void raise_error(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

void raise_bad_node_id(const BadNodeId& error) { raise_error(PyExc_ValueError, error.message()); }

void raise_not_instance(PyObject* o, const char* expected) {
  PyRef name = PyRef::check(PyType_GetName(Py_TYPE(o)));
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
  throw PythonError{};
}

// PyErr_Fetch is the only way the 3.11 limited API offers to read the raised
// exception; newer headers mark it deprecated in favour of functions 3.11
// does not have.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void prefix_error(PyObject* as, const char* prefix) noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  // Making the exception object and reading its message run the exception's
  // own code, which may be Python code.
  runs_python(PyErr_NormalizeException, &type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  PyRef message = PyRef::steal(value != nullptr ? runs_python(PyObject_Str, value) : nullptr);
  if (!message) {
    // The original message cannot be read; keep the original error.
    runs_python(PyErr_Clear);
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    return;
  }
  PyErr_Format(as, "%s%U", prefix, message.get());
}

void prefix_row_error(size_t row) noexcept {
  PyObject* type = PyErr_Occurred();
  for (PyObject* plain : {PyExc_TypeError, PyExc_ValueError, PyExc_OverflowError}) {
    if (type != plain) continue;
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "row %zu: ", row);
    prefix_error(plain, prefix);
    return;
  }
}
#pragma GCC diagnostic pop

int init_panic_type() {
  if (g_panic_type != nullptr) return 0;
  g_panic_type = PyErr_NewExceptionWithDoc("trellan_core.PanicException", kPanicDoc,
                                           PyExc_BaseException, nullptr);
  return g_panic_type != nullptr ? 0 : -1;
}

PyObject* panic_type() { return g_panic_type; }

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) set_panic("a Python error was signalled but none is set");
  } catch (const Panic& e) {
    set_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more than it can ever hold, e.g. reserving for a
    // sequence whose __len__ is absurd: out of memory, not a broken invariant.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    // Nothing the core calls throws any other exception: these two guard the
    // interpreter should that ever change.
    set_panic(e.what());  // LCOV_EXCL_LINE
  } catch (...) {
    set_panic("unknown C++ exception");  // LCOV_EXCL_LINE
  }
}

}  // namespace trellan::py
