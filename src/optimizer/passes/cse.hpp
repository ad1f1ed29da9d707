// Common-subexpression elimination over the canonical engine graph: nodes with
// the same operator and the same children (order and repeats included) become
// one, the first occurrence representing them all.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "optimizer/engine/engine_graph.hpp"
#include "optimizer/passes/token_table.hpp"

namespace trellan {

// The deduplicated graph between common-subexpression elimination and stage
// fusion is the id form of the engine graph: operators by id (see
// TokenTable), children in one flat array.
using engine::OpGraph;

struct Deduped {
  OpGraph graph;
  std::vector<uint64_t> map;  // per canonical node: its deduplicated position
};

Deduped cse(const OpGraph& graph);

}  // namespace trellan
