// The profile of a run: per operator, how many calls, their total time and
// the slowest call with its step and stage member. Calls are timed in ticks
// of the cheapest clock at hand (the time-stamp counter on x86-64, whose rate
// does not change, else the steady clock), converted to seconds by the ratio
// of ticks to steady-clock time since the timings began.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "python/py_ref.hpp"
#include "store/execution_plan.hpp"

#if defined(__x86_64__)
#include <x86intrin.h>
#endif

namespace trellan::py {

class OpTimings {
 public:
  explicit OpTimings(size_t operators);

  static uint64_t ticks() {
#if defined(__x86_64__)
    return __rdtsc();
#else
    return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
  }

  void add(size_t op, uint64_t took, size_t step, int32_t member) {
    Timing& t = ops_[op];
    ++t.count;
    t.total += took;
    if (took > t.slowest || t.count == 1) {
      t.slowest = took;
      t.step = static_cast<int64_t>(step);
      t.member = member;
    }
  }

  // One (kind, name index, calls, seconds, slowest call's seconds, its step,
  // its member or -1) per distinct kind and name that ran, in order of first
  // operator: a plan may have a hundred thousand operators (a source each),
  // but only a few names.
  PyRef rows(const ExecutionPlan& plan) const;

 private:
  struct Timing {
    uint64_t count = 0;
    uint64_t total = 0;
    uint64_t slowest = 0;
    int64_t step = -1;
    int32_t member = -1;
  };
  std::vector<Timing> ops_;
  uint64_t began_ticks_;
  std::chrono::steady_clock::time_point began_;
};

}  // namespace trellan::py
