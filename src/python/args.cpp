#include "python/args.hpp"

#include <cstdio>

#include "common/panic.hpp"

namespace trellan::py {

namespace {
// Parameter names are short identifiers.
constexpr size_t kMaxPrefix = 64;
}  // namespace

void prefix_type_error(const char* name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  char prefix[kMaxPrefix];
  std::snprintf(prefix, sizeof prefix, "argument '%s': ", name);
  prefix_error(PyExc_TypeError, prefix);
}

const char* BoundArgs::name(size_t i) const { return sig_->param(i).name; }

Signature::Signature(const char* function, std::initializer_list<Param> params)
    : function_(function), params_(params) {
  if (params_.size() > kMaxParams) panic("a signature with more parameters than kMaxParams");
  for (const Param& p : params_) {
    if (p.is_keyword_only) continue;
    ++positional_;
    if (p.is_required) ++required_positional_;
  }
}

BoundArgs Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
  Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  if (nkw < 0) throw_python_error();
  BoundArgs bound = bind_positional(args, nargs, nkw);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    bind_keyword(bound, PyTuple_GetItem(kwnames, i), args[nargs + i]);
  }
  check_required(bound);
  return bound;
}

BoundArgs Signature::bind(PyObject* args, PyObject* kwargs) const {
  Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  if (nargs < 0) throw_python_error();
  Py_ssize_t nkw = kwargs != nullptr ? PyDict_Size(kwargs) : 0;
  if (nkw < 0) throw_python_error();
  std::vector<PyObject*> positional(static_cast<size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    positional[static_cast<size_t>(i)] = PyTuple_GetItem(args, i);
  }
  BoundArgs bound = bind_positional(positional.data(), nargs, nkw);
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (nkw > 0 && PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(bound, key, value);
  check_required(bound);
  return bound;
}

BoundArgs Signature::bind_positional(PyObject* const* args, Py_ssize_t nargs,
                                     Py_ssize_t nkw) const {
  if (params_.empty() && nargs + nkw > 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", function_);
    throw_python_error();
  }
  if (static_cast<size_t>(nargs) > positional_) {
    if (positional_ == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", function_);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() takes %s %zu positional argument%s (%zd given)",
                   function_, required_positional_ == positional_ ? "exactly" : "at most",
                   positional_, positional_ == 1 ? "" : "s", nargs);
    }
    throw_python_error();
  }
  BoundArgs bound;
  bound.sig_ = this;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    bound.values_[static_cast<size_t>(i)] = PyRef::borrow(args[i]);
  }
  return bound;
}

void Signature::bind_keyword(BoundArgs& bound, PyObject* key, PyObject* value) const {
  if (!PyUnicode_Check(key)) raise_error(PyExc_TypeError, "keywords must be strings");
  for (size_t i = 0; i < params_.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, params_[i].name) != 0) continue;
    if (bound.given(i)) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_,
                   params_[i].name);
      throw_python_error();
    }
    bound.values_[i] = PyRef::borrow(value);
    return;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_, key);
  throw_python_error();
}

void Signature::check_required(const BoundArgs& bound) const {
  for (size_t i = 0; i < params_.size(); ++i) {
    const Param& p = params_[i];
    if (!p.is_required || bound.given(i)) continue;
    if (p.is_keyword_only) {
      PyErr_Format(PyExc_TypeError, "%s() missing required keyword-only argument '%s'", function_,
                   p.name);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function_,
                   p.name, i + 1);
    }
    throw_python_error();
  }
}

}  // namespace trellan::py
