// Stage fusion, the last pass of a reduction: groups the ops of the
// deduplicated graph, turns every group into one Stage node (a lone op too),
// re-emits every other node as itself, and numbers the result topologically.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "node/node_key.hpp"
#include "optimizer/passes/cse.hpp"
#include "optimizer/passes/token_table.hpp"
#include "store/node_arena.hpp"
#include "store/node_map.hpp"

namespace trellan {

struct Fused {
  NodeArena nodes{false};            // inputs are earlier positions of this list
  std::vector<uint64_t> outputs;     // one per output of the graph, order and repeats kept
  NodeMap node_map;                  // per source node (see stage_fusion)
  uint64_t stages = 0;
  uint64_t boundary_nodes = 0;
  bool stage_boundary = false;       // a stage of the graph was emitted as a boundary node
};

// table must hold a key for the operator of every node that is not an op.
// origin: per node of the source the graph was made from, its position in
// graph, or kDropped; node_map tells where each landed. The graph is taken
// over and its tables freed as soon as they are no longer read.
Fused stage_fusion(OpGraph graph, const TokenTable& table, bool maximal_fusion, std::span<const uint32_t> origin);

}  // namespace trellan
