// ExecutionPlan.task_graph: a scheduler's task for every step of a plan, in
// one native pass. A graph of a million steps makes a few million small
// objects; made here, none of them passes through an interpreted loop, and
// with `fill` the task classes' constructors are not called either: an
// instance gets its slots set directly, as the constructor would set them.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "python/args.hpp"
#include "python/objects.hpp"
#include "python/to_python.hpp"
#include "python/vectorcall.hpp"

namespace trellan::py {

namespace {

constexpr const char* kTaskGraphDoc =
    "task_graph($self, keys, calls, sole_calls, shape_calls, recorded, task=None, ref=None, fill=None)\n"
    "--\n\n"
    "A dict from keys[s] to the task of step s, for every step. What a step calls is calls[o],\n"
    "o its operator; sole_calls[o] for a stage of one member that reads the stage's inputs in\n"
    "order; shape_calls[h] for any other stage, h its shape. It is called with the step's node\n"
    "id, recorded[s] and its inputs' values. With task None, a task is the tuple\n"
    "(callable, node, recorded[s], *input keys); otherwise task(keys[s], callable, node,\n"
    "recorded[s], *refs), refs[j] being ref(keys[j]).\n\n"
    "fill, a tuple (ref_slot, key_slot, func_slot, args_slot, deps_slot, no_deps, template,\n"
    "copied), makes the same objects without calling task or ref: each is a new instance with\n"
    "its slots set, the key, the callable, the arguments after it as a tuple, and deps_slot\n"
    "the frozenset of the input keys (no_deps for a step without inputs); then, for each name\n"
    "in copied, template's value of it (a dict as a copy of its own). The caller vouches that\n"
    "the classes' constructors do exactly that.";

constexpr const char* kStageShapesDoc =
    "stage_shapes($self, calls, labels)\n"
    "--\n\n"
    "Per stage shape h, what runs a stage of it, read from its first stage (step shape_first[h]):\n"
    "the tuple (callables, ref_offsets, refs, last, labels), a tuple each. Member m calls\n"
    "callables[m], which is calls[o], o its operator, and its note names labels[m], labels[o];\n"
    "it reads refs[ref_offsets[m]:ref_offsets[m + 1]] (ref_offsets counted from the stage's first\n"
    "ref, refs as in the plan), and last[m] is its member_last_use. calls and labels have one\n"
    "entry per operator.";

// A slot of a class, set as an attribute assignment would set it: through
// the class's data descriptor for it, found once rather than per instance.
class Slot {
 public:
  Slot() = default;
  Slot(PyObject* type, PyRef name) : name_(std::move(name)) {
    descr_ = PyRef::steal(runs_python(PyObject_GetAttr, type, name_.get()));
    if (!descr_) {
      PyErr_Clear();  // an instance-only name: every assignment looks it up
      return;
    }
    set_ = reinterpret_cast<descrsetfunc>(PyType_GetSlot(Py_TYPE(descr_.get()), Py_tp_descr_set));
  }
  void set(PyObject* object, PyObject* value) const {
    const int done = set_ != nullptr ? runs_python(set_, descr_.get(), object, value)
                                     : runs_python(PyObject_GenericSetAttr, object, name_.get(), value);
    if (done < 0) throw_python_error();
  }

 private:
  PyRef name_;
  PyRef descr_;
  descrsetfunc set_ = nullptr;
};

// What `fill` says, with its slots found on the classes.
struct Fill {
  Slot ref_key, key, func, args, deps;
  PyRef no_deps;
  std::vector<std::pair<Slot, PyRef>> copied;  // (slot, template's value)
};

PyRef str_item(PyObject* tuple, Py_ssize_t i) {
  PyRef item = PyRef::borrow(PyTuple_GetItem(tuple, i));
  if (!item) throw_python_error();
  if (!PyUnicode_Check(item.get())) raise_not_instance(item.get(), "str");
  return item;
}

Fill to_fill(PyObject* o, PyObject* task, PyObject* ref) {
  if (!PyTuple_Check(o) || PyTuple_Size(o) != 8) raise_error(PyExc_TypeError, "fill must be a tuple of 8 items");
  Fill fill{Slot(ref, str_item(o, 0)), Slot(task, str_item(o, 1)), Slot(task, str_item(o, 2)),
            Slot(task, str_item(o, 3)), Slot(task, str_item(o, 4)), PyRef::borrow(PyTuple_GetItem(o, 5)), {}};
  PyObject* templ = PyTuple_GetItem(o, 6);
  PyObject* copied = PyTuple_GetItem(o, 7);
  if (!PyTuple_Check(copied)) raise_not_instance(copied, "tuple");
  for (Py_ssize_t i = 0; i < PyTuple_Size(copied); ++i) {
    PyRef name = str_item(copied, i);
    PyRef value = PyRef::check(runs_python(PyObject_GetAttr, templ, name.get()));
    fill.copied.emplace_back(Slot(task, std::move(name)), std::move(value));
  }
  return fill;
}

// The items of a list or tuple of exactly `count` entries, held, so that
// Python code a constructor runs cannot pull them from under the pass.
std::vector<PyRef> held_items(PyObject* o, size_t count, const char* what) {
  const bool list = PyList_Check(o);
  if (!list && !PyTuple_Check(o)) raise_not_instance(o, "list");
  const Py_ssize_t n = list ? PyList_Size(o) : PyTuple_Size(o);
  if (n < 0) throw_python_error();
  if (static_cast<size_t>(n) != count) {
    raise_error(PyExc_ValueError, std::string(what) + " must have " + std::to_string(count) + " entries, not " +
                                      std::to_string(n));
  }
  std::vector<PyRef> items;
  items.reserve(count);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::borrow(list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i));
    if (!item) throw_python_error();
    items.push_back(std::move(item));
  }
  return items;
}

// A new instance of the heap type `type`, made as object.__new__ makes it.
PyRef bare_instance(PyObject* type) { return alloc_instance(reinterpret_cast<PyTypeObject*>(type)); }

PyRef call(PyObject* callable, std::vector<PyObject*>& args) {
  return PyRef::check(runs_python(PyObject_Vectorcall, callable, args.data(), args.size(), nullptr));
}

// Whether instances of `type` have only their slots: no __dict__ that could
// later take a tracked object.
bool slots_only(PyObject* type) {
  PyRef offset = PyRef::check(runs_python(PyObject_GetAttrString, type, "__dictoffset__"));
  const long value = PyLong_AsLong(offset.get());
  if (value == -1 && PyErr_Occurred()) throw_python_error();
  return value == 0;
}

class Builder {
 public:
  Builder(PyObject* task, PyObject* ref, std::optional<Fill> fill)
      : task_(task), ref_(ref), fill_(std::move(fill)), refs_untrackable_(fill_ && slots_only(ref)) {}

  // What names step `s` to its readers: its key itself for tuples.
  PyRef ref(const PyRef& key) {
    if (task_ == nullptr) return key;
    if (!fill_) {
      args_.assign({key.get()});
      return call(ref_, args_);
    }
    PyRef made = bare_instance(ref_);
    fill_->ref_key.set(made.get(), key.get());
    // A reference of slots alone, holding a text.
    return refs_untrackable_ && !tracked(key.get()) ? untracked(std::move(made)) : made;
  }

  PyRef task(const PyRef& key, PyObject* fn, PyObject* node, PyObject* recorded, std::span<const int32_t> inputs,
             const std::vector<PyRef>& keys, const std::vector<PyRef>& refs) {
    if (task_ != nullptr && !fill_) {
      args_.assign({key.get(), fn, node, recorded});
      for (int32_t j : inputs) args_.push_back(refs[j].get());
      return call(task_, args_);
    }
    const size_t head = task_ == nullptr ? 3 : 2;  // a tuple starts with the callable, a task's arguments after it
    PyRef args = new_tuple(head + inputs.size());
    size_t at = 0;
    bool holds_tracked = false;
    auto put = [&](PyObject* item) {
      holds_tracked = holds_tracked || tracked(item);
      PyTuple_SetItem(args.get(), static_cast<Py_ssize_t>(at++), Py_NewRef(item));
    };
    if (task_ == nullptr) put(fn);
    put(node);
    put(recorded);
    for (int32_t j : inputs) put(refs[j].get());
    if (task_ == nullptr) return args;
    if (!holds_tracked) args = untracked(std::move(args));
    PyRef made = bare_instance(task_);
    fill_->key.set(made.get(), key.get());
    fill_->func.set(made.get(), fn);
    fill_->args.set(made.get(), args.get());
    if (inputs.empty()) {
      fill_->deps.set(made.get(), fill_->no_deps.get());
    } else {
      PyRef input_keys = new_tuple(inputs.size());
      bool keys_tracked = false;
      for (size_t k = 0; k < inputs.size(); ++k) {
        PyObject* input_key = keys[inputs[k]].get();
        keys_tracked = keys_tracked || tracked(input_key);
        PyTuple_SetItem(input_keys.get(), static_cast<Py_ssize_t>(k), Py_NewRef(input_key));
      }
      PyRef deps = PyRef::check(runs_python(PyFrozenSet_New, input_keys.get()));  // hashes the keys
      if (!keys_tracked) deps = untracked(std::move(deps));
      fill_->deps.set(made.get(), deps.get());
    }
    for (const auto& [slot, value] : fill_->copied) {
      if (PyDict_Check(value.get())) {
        slot.set(made.get(), PyRef::check(PyDict_Copy(value.get())).get());
      } else {
        slot.set(made.get(), value.get());
      }
    }
    return made;
  }

 private:
  PyObject* task_;
  PyObject* ref_;
  std::optional<Fill> fill_;
  bool refs_untrackable_;
  std::vector<PyObject*> args_;  // a constructor call's arguments, reused
};

void check_heap_type(PyObject* o, const char* what) {
  if (!PyType_Check(o) || !(PyType_GetFlags(reinterpret_cast<PyTypeObject*>(o)) & Py_TPFLAGS_HEAPTYPE)) {
    raise_error(PyExc_TypeError, std::string(what) + " must be a class defined in Python when fill is given");
  }
}

PyObject* task_graph(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("task_graph", {Param::required("keys"), Param::required("calls"),
                                              Param::required("sole_calls"), Param::required("shape_calls"),
                                              Param::required("recorded"), Param::optional("task"),
                                              Param::optional("ref"), Param::optional("fill")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    const ExecutionPlan& plan = plan_of(self);
    const size_t steps = plan.ids.size(), ops = plan.operators.size();
    const auto keys = a.convert(0, [&](PyObject* o) { return held_items(o, steps, "keys"); });
    const auto calls = a.convert(1, [&](PyObject* o) { return held_items(o, ops, "calls"); });
    const auto sole = a.convert(2, [&](PyObject* o) { return held_items(o, ops, "sole_calls"); });
    const auto shapes = a.convert(3, [&](PyObject* o) { return held_items(o, plan.shape_first.size(), "shape_calls"); });
    const auto recorded = a.convert(4, [&](PyObject* o) { return held_items(o, steps, "recorded"); });
    PyObject* task = a[5] == Py_None ? nullptr : a[5];
    PyObject* ref = a[6] == Py_None ? nullptr : a[6];
    if (task != nullptr && ref == nullptr) raise_error(PyExc_TypeError, "task_graph() needs ref when task is given");
    std::optional<Fill> fill;
    if (task != nullptr && a[7] != nullptr && a[7] != Py_None) {
      check_heap_type(task, "task");
      check_heap_type(ref, "ref");
      fill = a.convert(7, [&](PyObject* o) { return to_fill(o, task, ref); });
    }
    Builder builder(task, ref, std::move(fill));
    PyRef graph = new_dict();
    std::vector<PyRef> refs;
    refs.reserve(steps);
    for (size_t s = 0; s < steps; ++s) {
      const int32_t op = plan.operator_index[s];
      const bool stage = static_cast<NodeKind>(plan.kinds[s]) == NodeKind::Stage;
      PyObject* fn = op < 0 ? shapes[plan.stage_shape[s]].get() : (stage ? sole : calls)[op].get();
      const PyRef node = PyRef::check(PyLong_FromLongLong(plan.ids[s]));
      const std::span<const int32_t> inputs(plan.inputs.data() + plan.input_offsets[s],
                                            plan.input_offsets[s + 1] - plan.input_offsets[s]);
      PyRef made = builder.task(keys[s], fn, node.get(), recorded[s].get(), inputs, keys, refs);
      if (runs_python(PyDict_SetItem, graph.get(), keys[s].get(), made.get()) < 0) throw_python_error();
      refs.push_back(plan.last_use[s] < 0 ? PyRef() : builder.ref(keys[s]));  // only what a step reads
    }
    return graph;
  });
}

// A tuple of the ints values[i] - base, i in [lo, hi).
PyRef int_tuple(const std::vector<int32_t>& values, size_t lo, size_t hi, int32_t base = 0) {
  PyRef t = new_tuple(hi - lo);
  for (size_t i = lo; i < hi; ++i) {
    PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(i - lo), PyRef::check(PyLong_FromLong(values[i] - base)).release());
  }
  return untracked(std::move(t));
}

// A tuple of items[o], o running over ops[lo, hi).
PyRef picked(const std::vector<PyRef>& items, const std::vector<int32_t>& ops, size_t lo, size_t hi) {
  PyRef t = new_tuple(hi - lo);
  bool holds_tracked = false;
  for (size_t i = lo; i < hi; ++i) {
    PyObject* item = items[static_cast<size_t>(ops[i])].get();
    holds_tracked = holds_tracked || tracked(item);
    PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(i - lo), Py_NewRef(item));
  }
  return holds_tracked ? t : untracked(std::move(t));
}

PyObject* stage_shapes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("stage_shapes", {Param::required("calls"), Param::required("labels")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    const ExecutionPlan& plan = plan_of(self);
    const size_t ops = plan.operators.size();
    const auto calls = a.convert(0, [&](PyObject* o) { return held_items(o, ops, "calls"); });
    const auto labels = a.convert(1, [&](PyObject* o) { return held_items(o, ops, "labels"); });
    PyRef shapes = new_list(plan.shape_first.size());
    for (size_t h = 0; h < plan.shape_first.size(); ++h) {
      const auto step = static_cast<size_t>(plan.shape_first[h]);
      const auto first = static_cast<size_t>(plan.member_offsets[step]);
      const auto end = static_cast<size_t>(plan.member_offsets[step + 1]);
      const int32_t base = plan.ref_offsets[first];
      list_set(shapes, h,
               make_tuple({picked(calls, plan.member_operator_index, first, end),
                           int_tuple(plan.ref_offsets, first, end + 1, base),
                           int_tuple(plan.refs, static_cast<size_t>(base), static_cast<size_t>(plan.ref_offsets[end])),
                           int_tuple(plan.member_last_use, first, end),
                           picked(labels, plan.member_operator_index, first, end)}));
    }
    return shapes;
  });
}

const PyMethodDef kGraphMethods[] = {
    {"task_graph", as_method(task_graph), METH_FASTCALL | METH_KEYWORDS, kTaskGraphDoc},
    {"stage_shapes", as_method(stage_shapes), METH_FASTCALL | METH_KEYWORDS, kStageShapesDoc},
};

}  // namespace

std::span<const PyMethodDef> execution_plan_graph_methods() { return kGraphMethods; }

}  // namespace trellan::py
