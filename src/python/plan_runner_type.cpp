// The _PlanRunner class, trellan.evaluate's engine: runs an ExecutionPlan's
// steps in order, stage members one after another, each a native call of the
// operator's callable, and drops every value after its last reader. It holds
// the interpreter lock all along but lets other threads in once the
// interpreter's switch interval has passed and checks for signals after every
// step, as the interpreter's own loop would. Every call that may run Python code (a callable, a value's
// release, a signal handler, the progress callback) goes through runs_python.
//
// When a callable raises, the runner remembers which step and which stage
// member it was and hands the exception back untouched: the Python side adds
// the note that names the node. With `profile`, each call is timed and the
// times are summed per kind and name of operator, with the slowest call of each.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "python/args.hpp"
#include "python/from_python.hpp"
#include "python/gil.hpp"
#include "python/objects.hpp"
#include "python/op_timings.hpp"
#include "python/plan_calls.hpp"
#include "python/runs_python.hpp"
#include "python/to_python.hpp"
#include "python/vectorcall.hpp"

namespace trellan::py {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kRunnerDoc =
    "_PlanRunner(plan, operators, profile=False)\n--\n\n"
    "Runs an ExecutionPlan natively (trellan.evaluate's engine). `operators` has one (callable or\n"
    "None, leading arguments, params dict or None) per operator of the plan.";

// How often the runner looks at the clock, in steps, to let other threads in
// once the interpreter's switch interval has passed.
constexpr size_t kSwitchCheckSteps = 4;

// sys.getswitchinterval(): how long the interpreter lets a thread keep its
// lock while others wait.
Clock::duration switch_interval() {
  PyObject* get = PySys_GetObject("getswitchinterval");  // borrowed; null when sys lacks it
  if (get == nullptr) return std::chrono::milliseconds(5);  // the interpreter's default
  PyRef seconds = PyRef::check(runs_python(PyObject_CallNoArgs, get));
  const double value = PyFloat_AsDouble(seconds.get());
  if (value == -1 && PyErr_Occurred()) throw_python_error();
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

// Drops a reference the runner owns, leaving the slot empty.
void drop(PyObject*& slot) {
  if (slot == nullptr) return;
  PyObject* value = std::exchange(slot, nullptr);
  runs_python([value] { Py_DECREF(value); });
}

// Values the runner owns, one slot each, empty until set; the slots still set
// are dropped when it goes. Allocated by the interpreter's allocator, so that
// tracemalloc sees them as it saw the list they replace.
class Slots {
 public:
  explicit Slots(size_t count) : count_(count) {
    slots_ = static_cast<PyObject**>(PyMem_Calloc(count == 0 ? 1 : count, sizeof(PyObject*)));
    if (slots_ == nullptr) throw std::bad_alloc();
  }
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;
  ~Slots() {
    clear();
    PyMem_Free(slots_);
  }
  PyObject*& operator[](size_t i) { return slots_[i]; }
  void clear() {
    for (size_t i = 0; i < count_; ++i) drop(slots_[i]);
  }

 private:
  PyObject** slots_ = nullptr;
  size_t count_;
};

// A byte per step, by the interpreter's allocator as well.
class Flags {
 public:
  explicit Flags(size_t count) {
    flags_ = static_cast<uint8_t*>(PyMem_Calloc(count == 0 ? 1 : count, 1));
    if (flags_ == nullptr) throw std::bad_alloc();
  }
  Flags(const Flags&) = delete;
  Flags& operator=(const Flags&) = delete;
  ~Flags() { PyMem_Free(flags_); }
  uint8_t& operator[](size_t i) { return flags_[i]; }

 private:
  uint8_t* flags_ = nullptr;
};

class Runner {
 public:
  Runner(PyRef plan_object, PyObject* operators, bool profile)
      : plan_object_(std::move(plan_object)),
        plan_(plan_of(plan_object_.get())),
        calls_(operators, plan_.operators.size()),
        timings_(profile ? std::make_unique<OpTimings>(plan_.operators.size()) : nullptr) {
    size_t inputs = 0;
    for (size_t s = 0; s + 1 < plan_.input_offsets.size(); ++s) {
      inputs = std::max<size_t>(inputs, plan_.input_offsets[s + 1] - plan_.input_offsets[s]);
    }
    for (size_t m = 0; m + 1 < plan_.ref_offsets.size(); ++m) {
      inputs = std::max<size_t>(inputs, plan_.ref_offsets[m + 1] - plan_.ref_offsets[m]);
    }
    size_t members = 0;
    for (size_t s = 0; s + 1 < plan_.member_offsets.size(); ++s) {
      members = std::max<size_t>(members, plan_.member_offsets[s + 1] - plan_.member_offsets[s]);
    }
    args_.resize(1 + PlanCalls::kMaxHead + inputs + calls_.max_keywords());
    step_in_.resize(inputs);
    member_in_.resize(inputs);
    member_values_.resize(members);
  }

  // Runs every step; returns the outputs' values in order.
  PyRef run(PyObject* report, double interval) {
    const size_t n = plan_.ids.size();
    Slots values(n);
    Flags keep(n);  // outputs outlive their last reader
    for (int32_t o : plan_.outputs) keep[static_cast<size_t>(o)] = 1;
    const auto every = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
    const Clock::duration switch_every = switch_interval();
    Clock::time_point reported = Clock::now(), switched = reported;
    for (size_t s = 0; s < n; ++s) {
      if (runs_python(PyErr_CheckSignals) < 0) throw_python_error();
      const size_t lo = static_cast<size_t>(plan_.input_offsets[s]);
      const size_t hi = static_cast<size_t>(plan_.input_offsets[s + 1]);
      for (size_t i = lo; i < hi; ++i) step_in_[i - lo] = values[static_cast<size_t>(plan_.inputs[i])];
      PyObject* value = compute(s, step_in_.data());
      if (value == nullptr) throw_python_error();
      values[s] = value;
      for (size_t i = lo; i < hi; ++i) {
        const auto j = static_cast<size_t>(plan_.inputs[i]);
        if (plan_.last_use[j] == static_cast<int32_t>(s) && !keep[j]) drop(values[j]);
      }
      if (report != nullptr) {
        const Clock::time_point now = Clock::now();
        if (now - reported >= every) {
          reported = now;
          call_report(report, s + 1);
        }
      }
      if (s % kSwitchCheckSteps == kSwitchCheckSteps - 1) {
        const Clock::time_point now = Clock::now();
        if (now - switched >= switch_every) {
          switched = now;
          GilRelease released;  // other threads run for a moment; the lock comes back at its end
          released.now();
        }
      }
    }
    PyRef out = new_list(plan_.outputs.size());
    for (size_t k = 0; k < plan_.outputs.size(); ++k) {
      list_set(out, k, PyRef::borrow(values[static_cast<size_t>(plan_.outputs[k])]));
    }
    return out;
  }

  // Runs one step on the given input values.
  PyRef step(size_t s, PyObject* inputs) {
    if (s >= plan_.ids.size()) raise_error(PyExc_IndexError, "no such step");
    if (!PyList_Check(inputs)) raise_not_instance(inputs, "list");
    const size_t count = static_cast<size_t>(plan_.input_offsets[s + 1] - plan_.input_offsets[s]);
    if (static_cast<size_t>(PyList_Size(inputs)) != count) {
      raise_error(PyExc_ValueError, "step " + std::to_string(s) + " reads " + std::to_string(count) + " values");
    }
    std::vector<PyRef> held;  // the caller's list could change while a callable runs
    held.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      held.push_back(PyRef::borrow(PyList_GetItem(inputs, static_cast<Py_ssize_t>(i))));
      step_in_[i] = held.back().get();
    }
    return PyRef::check(compute(s, step_in_.data()));
  }

  PyRef failed() const {
    if (failed_step_ < 0) return PyRef::borrow(Py_None);
    return make_tuple({PyRef::check(PyLong_FromLongLong(failed_step_)),
                       PyRef::check(PyLong_FromLong(failed_member_))});
  }

  // Per kind and name of operator: (kind, name index, calls, seconds, slowest
  // call's seconds, its step, its member or -1); None without profile.
  PyRef timings() const { return timings_ ? timings_->rows(plan_) : PyRef::borrow(Py_None); }

 private:
  // The value of step s from its input values; a new reference, or null.
  PyObject* compute(size_t s, PyObject* const* in) {
    const int32_t op = plan_.operator_index[s];
    const size_t n = static_cast<size_t>(plan_.input_offsets[s + 1] - plan_.input_offsets[s]);
    if (op >= 0) return call(static_cast<size_t>(op), in, n, s, -1);
    return run_stage(s, in);
  }

  // Runs the members of stage s in order and returns the last one's value.
  // Member r's value is kept until member_last_use[r] has run.
  PyObject* run_stage(size_t s, PyObject* const* in) {
    const size_t first = static_cast<size_t>(plan_.member_offsets[s]);
    const size_t end = static_cast<size_t>(plan_.member_offsets[s + 1]);
    struct Release {  // the members' values, on every way out
      std::vector<PyObject*>& values;
      size_t count;
      ~Release() {
        for (size_t k = 0; k < count; ++k) drop(values[k]);
      }
    } release{member_values_, end - first};
    for (size_t m = first; m < end; ++m) {
      const size_t k = m - first;
      const size_t lo = static_cast<size_t>(plan_.ref_offsets[m]);
      const size_t hi = static_cast<size_t>(plan_.ref_offsets[m + 1]);
      for (size_t i = lo; i < hi; ++i) {
        const int32_t r = plan_.refs[i];
        member_in_[i - lo] = r < 0 ? in[~r] : member_values_[static_cast<size_t>(r)];
      }
      PyObject* value = call(static_cast<size_t>(plan_.member_operator_index[m]), member_in_.data(), hi - lo, s,
                             static_cast<int32_t>(k));
      if (value == nullptr) return nullptr;
      member_values_[k] = value;
      for (size_t i = lo; i < hi; ++i) {
        const int32_t r = plan_.refs[i];
        if (r >= 0 && plan_.member_last_use[first + static_cast<size_t>(r)] == static_cast<int32_t>(k)) {
          drop(member_values_[static_cast<size_t>(r)]);
        }
      }
    }
    return std::exchange(member_values_[end - first - 1], nullptr);
  }

  // Calls operator op on n input values, for step s (and stage member).
  PyObject* call(size_t op, PyObject* const* in, size_t n, size_t s, int32_t member) {
    PyObject** args = args_.data() + 1;  // args_[0] is the callee's to use
    if (n != 0) std::memcpy(args + calls_.head_size(op), in, n * sizeof(PyObject*));
    PyObject* value;
    if (!timings_) {
      value = calls_.call(op, args, n);
    } else {
      const uint64_t began = OpTimings::ticks();
      value = calls_.call(op, args, n);
      timings_->add(op, OpTimings::ticks() - began, s, member);
    }
    if (value == nullptr) {
      failed_step_ = static_cast<int64_t>(s);
      failed_member_ = member;
    }
    return value;
  }

  void call_report(PyObject* report, size_t done) {
    PyRef count = new_int(done);
    PyObject* args[2] = {nullptr, count.get()};
    PyRef::check(runs_python(PyObject_Vectorcall, report, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }

  PyRef plan_object_;  // keeps the plan alive
  const ExecutionPlan& plan_;
  PlanCalls calls_;
  std::vector<PyObject*> args_;           // scratch: [callee's slot][leading][inputs][keywords]
  std::vector<PyObject*> step_in_;        // the input values of the step being run
  std::vector<PyObject*> member_in_;      // the input values of the member being run
  std::vector<PyObject*> member_values_;  // owned while a stage runs
  std::unique_ptr<OpTimings> timings_;  // null unless profiling
  int64_t failed_step_ = -1;
  int32_t failed_member_ = -1;
};

struct RunnerObject {
  PyObject_HEAD
  std::unique_ptr<Runner> runner;  // never null once built
  bool busy;                       // a run or step is under way
};

using Owner = std::unique_ptr<Runner>;

PyObject* runner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    static const Signature sig("_PlanRunner",
                               {Param::required("plan"), Param::required("operators"), Param::optional("profile")});
    BoundArgs a = sig.bind(args, kwargs);
    if (!PyObject_TypeCheck(a[0], execution_plan_type())) raise_not_instance(a[0], "ExecutionPlan");
    const bool profile = a.convert(2, to_flag);
    auto runner = std::make_unique<Runner>(PyRef::borrow(a[0]), a[1], profile);
    PyRef self = alloc_instance(type);
    auto* object = reinterpret_cast<RunnerObject*>(self.get());
    new (&object->runner) Owner(std::move(runner));
    object->busy = false;
    return self;
  });
}

void runner_dealloc(PyObject* self) {
  reinterpret_cast<RunnerObject*>(self)->runner.~Owner();
  free_instance(self);
}

// Runs body with the runner marked busy: a callable that reached the runner
// itself cannot start it again while its scratch room is in use.
template <class F>
PyObject* exclusive(PyObject* self, F&& body) {
  return entry([&] {
    auto* object = reinterpret_cast<RunnerObject*>(self);
    if (object->busy) raise_error(PyExc_RuntimeError, "the runner is already running");
    object->busy = true;
    struct Done {
      bool& busy;
      ~Done() { busy = false; }
    } done{object->busy};
    return body(*object->runner);
  });
}

PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig("run", {Param::optional("report"), Param::optional("interval")});
  return exclusive(self, [&](Runner& r) {
    BoundArgs a = sig.bind(args, nargs, kwnames);
    PyObject* report = a.given(0) && a[0] != Py_None ? a[0] : nullptr;
    const double interval = a.given(1) ? a.convert(1, [](PyObject* o) {
      const double seconds = PyFloat_AsDouble(o);
      if (seconds == -1 && PyErr_Occurred()) throw_python_error();
      return seconds;
    }) : 0.0;
    return r.run(report, interval);
  });
}

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig("step", {Param::required("step"), Param::required("inputs")});
  return exclusive(self, [&](Runner& r) {
    BoundArgs a = sig.bind(args, nargs, kwnames);
    const size_t s = a.convert(0, [](PyObject* o) { return static_cast<size_t>(to_id(o)); });
    return r.step(s, a[1]);
  });
}

PyObject* failed(PyObject* self, void*) {
  return entry([&] { return reinterpret_cast<RunnerObject*>(self)->runner->failed(); });
}

PyObject* timings(PyObject* self, PyObject*) {
  return entry([&] { return reinterpret_cast<RunnerObject*>(self)->runner->timings(); });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"run", as_method(run), kFastcall,
     "run($self, report=None, interval=0.0)\n--\n\n"
     "Runs every step; returns the outputs' values in order. `report(done)` is called after a\n"
     "step when `interval` seconds have passed since the last call."},
    {"step", as_method(step), kFastcall,
     "step($self, step, inputs)\n--\n\nThe value of one step, given the list of its input values."},
    {"timings", as_method(timings), METH_NOARGS,
     "timings($self)\n--\n\n"
     "Per kind and name that ran: (kind, name index, calls, seconds, slowest call's seconds, its\n"
     "step, its member or -1); None unless made with profile=True."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kFields[] = {
    {"failed", failed, nullptr, "(step, member or -1) of the call that raised last, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* plan_runner_type() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kRunnerDoc)},
      {Py_tp_new, reinterpret_cast<void*>(runner_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(runner_dealloc)},
      {Py_tp_methods, kMethods},
      {Py_tp_getset, kFields},
      {0, nullptr},
  };
  static PyType_Spec spec = {"trellan_core._PlanRunner", sizeof(RunnerObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  type = create_type(spec);
  return type;
}

}  // namespace trellan::py
