#include "python/op_timings.hpp"

#include <map>
#include <utility>

#include "python/to_python.hpp"

namespace trellan::py {

OpTimings::OpTimings(size_t operators)
    : ops_(operators), began_ticks_(ticks()), began_(std::chrono::steady_clock::now()) {}

PyRef OpTimings::rows(const ExecutionPlan& plan) const {
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
  const uint64_t spent = ticks() - began_ticks_;
  const double seconds_per_tick = spent > 0 ? elapsed / static_cast<double>(spent) : 0.0;
  // (kind, name index) -> the row, which keeps the first operator's order.
  std::map<std::pair<int32_t, int32_t>, size_t> at;
  std::vector<std::pair<std::pair<int32_t, int32_t>, Timing>> rows;
  for (size_t op = 0; op < ops_.size(); ++op) {
    const Timing& t = ops_[op];
    if (t.count == 0) continue;
    const std::pair<int32_t, int32_t> key{plan.operators[op][0], plan.operators[op][1]};
    auto [it, added] = at.emplace(key, rows.size());
    if (added) {
      rows.push_back({key, t});
      continue;
    }
    Timing& row = rows[it->second].second;
    row.count += t.count;
    row.total += t.total;
    if (t.slowest > row.slowest) {
      row.slowest = t.slowest;
      row.step = t.step;
      row.member = t.member;
    }
  }
  PyRef out = new_list(rows.size());
  for (size_t k = 0; k < rows.size(); ++k) {
    const auto& [key, t] = rows[k];
    list_set(out, k, make_tuple({new_int(static_cast<uint64_t>(key.first)), new_int(static_cast<uint64_t>(key.second)),
                                 new_int(t.count), PyRef::check(PyFloat_FromDouble(t.total * seconds_per_tick)),
                                 PyRef::check(PyFloat_FromDouble(t.slowest * seconds_per_tick)),
                                 PyRef::check(PyLong_FromLongLong(t.step)), PyRef::check(PyLong_FromLong(t.member))}));
  }
  return out;
}

}  // namespace trellan::py
