// Binding call arguments to parameters, and converting them.
//
// Every function of the module describes its parameters once in a Signature
// and binds its call through it, so every missing / surplus / duplicate /
// unknown argument message comes from one place, worded as the interpreter
// words them for its own functions. Converting a bound argument goes through
// BoundArgs::convert, the one place that prefixes a conversion TypeError with
// "argument '<name>': ".
//
//   static const Signature sig("add_op", {Param::required("name"),
//                                          Param::required("inputs"),
//                                          Param::optional("params")});
//   BoundArgs a = sig.bind(args, nargs, kwnames);
//   std::string name = a.convert(0, to_utf8);
//   PyObject* params = a[2];  // nullptr when not given
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <initializer_list>
#include <vector>

#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace trellan::py {

struct Param {
  const char* name;
  bool is_required;
  bool is_keyword_only;

  static constexpr Param required(const char* name) { return {name, true, false}; }
  static constexpr Param optional(const char* name) { return {name, false, false}; }
  static constexpr Param required_keyword(const char* name) { return {name, true, true}; }
  static constexpr Param optional_keyword(const char* name) { return {name, false, true}; }
};

// When the set Python error is a TypeError, replaces it by a TypeError whose
// message is "argument '<name>': " + the original message; any other error is
// left as it is.
void prefix_type_error(const char* name) noexcept;

// Runs convert() so that a TypeError it raises names the argument; other
// errors (OverflowError, ...) pass unchanged.
template <class F>
auto convert_argument(const char* name, F&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (const PythonError&) {
    prefix_type_error(name);
    throw;
  }
}

class Signature;

// No function of the module has more parameters than this.
inline constexpr size_t kMaxParams = 8;

// The arguments of one call, one slot per parameter in signature order. The
// slots live inline: binding runs on every builder call and allocates nothing.
class BoundArgs {
 public:
  // The argument bound to parameter i (borrowed), or nullptr when not given.
  PyObject* operator[](size_t i) const { return values_[i].get(); }
  bool given(size_t i) const { return static_cast<bool>(values_[i]); }

  // Runs convert(argument i) with the argument-name prefix for TypeErrors.
  template <class F>
  auto convert(size_t i, F&& fn) const -> decltype(fn(static_cast<PyObject*>(nullptr))) {
    return convert_argument(name(i), [&]() -> decltype(auto) { return fn(values_[i].get()); });
  }

 private:
  friend class Signature;
  const char* name(size_t i) const;
  const Signature* sig_ = nullptr;
  std::array<PyRef, kMaxParams> values_;
};

class Signature {
 public:
  // Parameters that are not keyword-only come first, in positional order.
  Signature(const char* function, std::initializer_list<Param> params);

  // METH_FASTCALL | METH_KEYWORDS calling convention.
  BoundArgs bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const;
  // tp_new calling convention: a tuple and a dict (or nullptr).
  BoundArgs bind(PyObject* args, PyObject* kwargs) const;

  const char* function() const { return function_; }
  const Param& param(size_t i) const { return params_[i]; }

 private:
  BoundArgs bind_positional(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nkw) const;
  void bind_keyword(BoundArgs& bound, PyObject* key, PyObject* value) const;
  void check_required(const BoundArgs& bound) const;

  const char* function_;
  std::vector<Param> params_;
  size_t positional_ = 0;           // parameters that may be passed by position
  size_t required_positional_ = 0;  // of those, the required ones
};

}  // namespace trellan::py
