#include "store/recorded_ids.hpp"

#include <algorithm>

namespace trellan {

RecordedIds recorded_ids(const ExecutionPlan& plan, const NodeMap& map) {
  const size_t steps = plan.ids.size();
  RecordedIds out;
  out.offsets.assign(steps + 1, 0);
  if (steps == 0 || map.empty()) return out;

  // Step s has the slots base(s) (the node itself) and base(s) + 1 + k (member k).
  auto base = [&](size_t s) { return s + static_cast<size_t>(plan.member_offsets[s]); };
  const size_t slots = base(steps);
  const auto last = static_cast<uint64_t>(plan.ids.back());
  std::vector<int32_t> step_of(last + 1, -1);
  for (size_t s = 0; s < steps; ++s) step_of[plan.ids[s]] = static_cast<int32_t>(s);

  std::vector<uint64_t> count(slots, 0);
  std::vector<uint64_t> shown(slots * kShownRecordedIds);
  for (size_t i = 0; i < map.size(); ++i) {
    const NodeMap::Entry entry = map[i];
    if (!entry || entry->node > last || step_of[entry->node] < 0) continue;
    const auto s = static_cast<size_t>(step_of[entry->node]);
    const bool stage = plan.kinds[s] == static_cast<uint8_t>(NodeKind::Stage);
    const auto members = static_cast<uint64_t>(plan.member_offsets[s + 1] - plan.member_offsets[s]);
    if (entry->member ? !stage || *entry->member >= members : stage) continue;
    const size_t slot = base(s) + (entry->member ? 1 + *entry->member : 0);
    if (count[slot] < kShownRecordedIds) shown[slot * kShownRecordedIds + count[slot]] = i;
    ++count[slot];
  }

  for (size_t s = 0; s < steps; ++s) {
    const size_t first = base(s) + (plan.kinds[s] == static_cast<uint8_t>(NodeKind::Stage) ? 1 : 0);
    const size_t end = base(s + 1);
    const size_t mark = out.values.size();
    bool any = false;
    for (size_t slot = first; slot < end; ++slot) {
      const uint64_t* ids = &shown[slot * kShownRecordedIds];
      if (count[slot] != 1) out.values.push_back(~static_cast<int64_t>(count[slot]));
      for (uint64_t k = 0; k < std::min<uint64_t>(count[slot], kShownRecordedIds); ++k) {
        out.values.push_back(static_cast<int64_t>(ids[k]));
      }
      any = any || count[slot] != 0;
    }
    if (!any) out.values.resize(mark);
    out.offsets[s + 1] = out.values.size();
  }
  return out;
}

}  // namespace trellan
