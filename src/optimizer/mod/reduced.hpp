// The result record of one reduction.
#pragma once

#include <cstdint>
#include <vector>

#include "node/node_key.hpp"
#include "store/node_map.hpp"

namespace trellan {

struct Reduced {
  std::vector<NodeKey> nodes;     // emission order; inputs are earlier positions
  std::vector<uint64_t> outputs;  // one per requested output, order and repeats kept
  NodeMap node_map;               // one entry per source node
  ReductionReport report;
};

}  // namespace trellan
