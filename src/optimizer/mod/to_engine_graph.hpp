// The survivors of dead-code elimination as the graph a rewrite engine takes:
// one engine node per survivor, named by its operator id, children as
// survivor positions, opaque unless the survivor is an op.
#pragma once

#include <span>

#include "optimizer/engine/engine_graph.hpp"
#include "optimizer/mod/dead_code.hpp"
#include "optimizer/mod/token_table.hpp"

namespace trellan {

// ops: the operator id of every survivor, as record_operators returns them.
engine::OpGraph to_engine_graph(std::span<const NodeKey> nodes, const DeadCode& dead, std::span<const OpId> ops);

// Canonicalizes graph with engine; the engine learns operator texts from
// table, and any text it makes up is added there.
engine::CanonicalOps canonicalize_with(const engine::RewriteEngine& engine, const engine::OpGraph& graph,
                                       TokenTable& table);

}  // namespace trellan
