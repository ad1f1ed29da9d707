// The recorded ids behind each step of a plan of a reduced store, read from
// the store's node map, so that an executor whose tasks run far from the
// store (a thread pool, a cluster's workers) can name in an error what the
// user recorded, as the interpreter does. Built in one pass over the map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "store/execution_plan.hpp"
#include "store/node_map.hpp"

namespace trellan {

// Ids shown per node or member; the count says how many there are in all.
constexpr size_t kShownRecordedIds = 3;

struct RecordedIds {
  // Step s owns values[offsets[s], offsets[s + 1]): for a stage, one entry
  // per member in order, otherwise one for the step itself. An entry is the
  // recorded id, when exactly one became it; otherwise ~count (negative as a
  // signed integer), followed by the first kShownRecordedIds of them,
  // ascending. A step that no recorded id became owns nothing.
  std::vector<size_t> offsets;
  std::vector<int64_t> values;
};

// The map is the store's: indexed by recorded id, naming a node of the store
// (and a member of it). Entries that name no step of the plan are skipped.
RecordedIds recorded_ids(const ExecutionPlan& plan, const NodeMap& map);

}  // namespace trellan
