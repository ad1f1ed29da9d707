// The callables of an execution plan's operators, ready to be called from
// native code: for each operator a callable, the arguments that come before
// the input values, and the params as keyword arguments. A dict among the
// leading arguments (a source's params, an external's descriptor) is passed as
// a fresh copy on every call, so no call sees what another did to it; keyword
// arguments reach a callable's **params as a dict of its own anyway.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <vector>

#include "python/py_ref.hpp"

namespace trellan::py {

class PlanCalls {
 public:
  // No operator has more leading arguments than this.
  static constexpr size_t kMaxHead = 2;

  // `operators`: a list or tuple of `count` (callable or None, leading
  // arguments tuple, params dict or None). None stands for a value: the
  // operator gives its one leading argument, the same object on every call.
  PlanCalls(PyObject* operators, size_t count);

  size_t head_size(size_t op) const { return ops_[op].head.size(); }
  // The most keyword arguments any operator passes.
  size_t max_keywords() const { return max_keywords_; }

  // Calls operator op on the n input values at args[head_size(op)], ...;
  // args[-1] and args[0] up to the keyword arguments after the inputs are the
  // caller's scratch room. Returns a new reference, or null with the error set.
  PyObject* call(size_t op, PyObject** args, size_t n) const;

 private:
  struct Operator {
    PyRef fn;  // null: the value is head[0]
    std::vector<PyRef> head;
    std::vector<bool> copied;  // per leading argument: a dict, copied for each call
    PyRef kwnames;             // null without params
    std::vector<PyRef> keywords;
  };
  std::vector<Operator> ops_;
  size_t max_keywords_ = 0;
};

}  // namespace trellan::py
