// Where each node of a store's source landed in the reduced store.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "node/id_list.hpp"

namespace trellan {

struct Placement {
  NodeId node;                    // id in the reduced store
  std::optional<uint64_t> member; // index among the stage's members, when fused
  bool operator==(const Placement&) const = default;
};

// Indexed by the source store's node ids; nullopt marks a dropped node.
using NodeMap = std::vector<std::optional<Placement>>;

// The six counters of a reduction, in report order.
struct ReductionReport {
  uint64_t input_nodes = 0;
  uint64_t reachable_nodes = 0;
  uint64_t canonical_nodes = 0;
  uint64_t stages = 0;
  uint64_t reduced_nodes = 0;
  uint64_t boundary_nodes = 0;
  bool operator==(const ReductionReport&) const = default;
};

}  // namespace trellan
