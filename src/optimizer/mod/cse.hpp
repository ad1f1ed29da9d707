// Common-subexpression elimination over the canonical engine graph: nodes with
// the same operator and the same children (order and repeats included) become
// one, the first occurrence representing them all.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "optimizer/engine/engine_graph.hpp"
#include "optimizer/mod/op_graph.hpp"
#include "optimizer/mod/token_table.hpp"

namespace trellan {

struct Deduped {
  OpGraph graph;
  std::vector<uint64_t> map;  // per canonical node: its deduplicated position
};

// The operator id of every canonical node. engine_ops holds the ids of the
// graph that went into the engine; a canonical node normally keeps the text
// of the first node mapped onto it, which settles it with one comparison.
// Any other text is looked up (or added) by text.
std::vector<OpId> canonical_operators(const engine::Canonical& canonical,
                                      std::span<const OpId> engine_ops, TokenTable& table);

// ops: the operator id of every node of graph (equal ids exactly for equal texts).
Deduped cse(const engine::EngineGraph& graph, std::span<const OpId> ops);
// The same on the id form.
Deduped cse(const OpGraph& graph);

}  // namespace trellan
