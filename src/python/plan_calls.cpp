#include "python/plan_calls.hpp"

#include <algorithm>
#include <string>

#include "python/errors.hpp"
#include "python/runs_python.hpp"
#include "python/vectorcall.hpp"

namespace trellan::py {

namespace {

[[noreturn]] void bad_operator(size_t op, const char* what) {
  raise_error(PyExc_TypeError, "operator " + std::to_string(op) + ": " + what);
}

}  // namespace

PlanCalls::PlanCalls(PyObject* operators, size_t count) {
  if (!PyList_Check(operators) && !PyTuple_Check(operators)) raise_not_instance(operators, "list");
  if (static_cast<size_t>(PyObject_Length(operators)) != count) {
    raise_error(PyExc_ValueError, "expected " + std::to_string(count) + " operators, one per operator of the plan");
  }
  ops_.reserve(count);
  for (size_t k = 0; k < count; ++k) {
    PyRef item = PyRef::check(runs_python(PySequence_GetItem, operators, static_cast<Py_ssize_t>(k)));
    if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 3) bad_operator(k, "not a 3-tuple");
    Operator op;
    PyObject* fn = PyTuple_GetItem(item.get(), 0);
    PyObject* head = PyTuple_GetItem(item.get(), 1);
    PyObject* params = PyTuple_GetItem(item.get(), 2);
    if (fn != Py_None && !PyCallable_Check(fn)) bad_operator(k, "the callable is not callable");
    if (!PyTuple_Check(head) || static_cast<size_t>(PyTuple_Size(head)) > kMaxHead) {
      bad_operator(k, "the leading arguments are not a short tuple");
    }
    if (fn == Py_None && PyTuple_Size(head) != 1) bad_operator(k, "a value needs exactly one leading argument");
    if (fn != Py_None) op.fn = PyRef::borrow(fn);
    for (Py_ssize_t i = 0; i < PyTuple_Size(head); ++i) {
      PyObject* arg = PyTuple_GetItem(head, i);
      op.head.push_back(PyRef::borrow(arg));
      op.copied.push_back(fn != Py_None && PyDict_CheckExact(arg));
    }
    if (params != Py_None) {
      if (!PyDict_Check(params)) bad_operator(k, "the params are not a dict");
      op.kwnames = PyRef::check(runs_python(PyTuple_New, PyDict_Size(params)));
      Py_ssize_t at = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      for (Py_ssize_t i = 0; PyDict_Next(params, &at, &key, &value); ++i) {
        if (!PyUnicode_Check(key)) bad_operator(k, "a param name is not a str");
        PyTuple_SetItem(op.kwnames.get(), i, Py_NewRef(key));
        op.keywords.push_back(PyRef::borrow(value));
      }
      if (op.keywords.empty()) op.kwnames = PyRef();
      max_keywords_ = std::max(max_keywords_, op.keywords.size());
    }
    ops_.push_back(std::move(op));
  }
}

PyObject* PlanCalls::call(size_t op, PyObject** args, size_t n) const {
  const Operator& o = ops_[op];
  if (!o.fn) return Py_NewRef(o.head[0].get());
  PyRef copies[kMaxHead];
  for (size_t i = 0; i < o.head.size(); ++i) {
    args[i] = o.head[i].get();
    if (!o.copied[i]) continue;
    copies[i] = PyRef::steal(runs_python(PyDict_Copy, args[i]));
    if (!copies[i]) return nullptr;
    args[i] = copies[i].get();
  }
  const size_t positional = o.head.size() + n;
  for (size_t k = 0; k < o.keywords.size(); ++k) args[positional + k] = o.keywords[k].get();
  return runs_python(PyObject_Vectorcall, o.fn.get(), args, positional | PY_VECTORCALL_ARGUMENTS_OFFSET,
                     o.kwnames.get());
}

}  // namespace trellan::py
