// The deduplicated graph between common-subexpression elimination and stage
// fusion: the id form of the engine graph, operators by id (see TokenTable),
// children in one flat array.
#pragma once

#include "optimizer/engine/engine_graph.hpp"
#include "optimizer/mod/token_table.hpp"

namespace trellan {

using OpGraph = engine::OpGraph;

}  // namespace trellan
