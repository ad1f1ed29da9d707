// How failures travel through the binding and how they leave it.
//
// Inside the binding a failure is a C++ exception: PythonError when a Python
// exception is already set (a C API call failed, or raise_error set one), or
// whatever the core threw (trellan::Panic, std::bad_alloc, ...). Every entry
// point the interpreter calls wraps its body in `entry`, which catches
// everything and turns it into a set Python exception plus the NULL / -1
// return the C API expects, so no C++ exception ever reaches the interpreter.
// The one exception is the interpreter's own unwinding of a thread it ends at
// teardown (see runs_python.hpp), which entry lets go on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>

#include "python/runs_python.hpp"

namespace trellan {
struct BadNodeId;
}

namespace trellan::py {

// Thrown after a Python exception has been set; carries nothing itself.
struct PythonError {};

[[noreturn]] void throw_python_error();
// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise_error(PyObject* type, const std::string& message);
// ValueError "no node with id N".
[[noreturn]] void raise_bad_node_id(const BadNodeId& error);
// Replaces the set error by one of type `as` whose message is prefix + the
// original message. When that message cannot be read, the original error stays.
void prefix_error(PyObject* as, const char* prefix) noexcept;
// Puts "row N: " before the message of a set TypeError, ValueError or
// OverflowError (exactly these types, which carry nothing but their message);
// any other error is left as it is.
void prefix_row_error(size_t row) noexcept;
// TypeError "'<type of o>' object is not an instance of '<expected>'": the
// binding's standard conversion error.
[[noreturn]] void raise_not_instance(PyObject* o, const char* expected);

// The exception fatal internal errors become. Derives from BaseException, so
// `except Exception` does not swallow it. Created once, by module
// initialization; not a member of the module.
int init_panic_type();
PyObject* panic_type();

// Sets the Python exception for the C++ exception being handled. Call only
// from inside a catch block.
void set_error_from_current_exception() noexcept;

// Runs the body of an entry point that returns an object. `body` returns a
// PyRef (the new reference handed to the interpreter) or throws.
template <class F>
PyObject* entry(F&& body) {
  try {
    return body().release();
  } catch (const ForcedUnwind&) {
    throw;
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// Runs the body of an entry point that returns a status (0 or -1).
template <class F>
int entry_status(F&& body) {
  try {
    body();
    return 0;
  } catch (const ForcedUnwind&) {
    throw;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

}  // namespace trellan::py
