// Calling Python callables with the vectorcall protocol: the arguments as a C
// array and the keyword names as a tuple, so that a call builds no argument
// tuple or keyword dict of its own. The module is built for the stable ABI of
// 3.11, whose headers declare PyObject_Vectorcall only from 3.12 on; every
// CPython from 3.9 exports the function with this very signature, and 3.12
// made it part of the stable ABI, so the declaration below is the one the
// later headers give.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030C0000
extern "C" {
PyAPI_FUNC(PyObject*) PyObject_Vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                          PyObject* kwnames);
}
#endif

#ifndef PY_VECTORCALL_ARGUMENTS_OFFSET
// Set in nargsf: the callee may use args[-1] for a moment (a bound method
// puts its self there instead of copying the arguments).
#define PY_VECTORCALL_ARGUMENTS_OFFSET (static_cast<size_t>(1) << (8 * sizeof(size_t) - 1))
#endif
