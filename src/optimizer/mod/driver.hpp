// The reduction pipeline: dead-code elimination, the token table, the rewrite
// engine, common-subexpression elimination and stage fusion.
#pragma once

#include <span>

#include "optimizer/engine/engine_graph.hpp"
#include "optimizer/mod/reduced.hpp"

namespace trellan {

// nodes: position i is node id i and every input is smaller than i.
// outputs: ids into nodes (validated by the caller).
Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const uint64_t> outputs,
                         const engine::RewriteEngine& engine, bool maximal_fusion);

}  // namespace trellan
