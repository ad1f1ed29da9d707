// Where the time of one reduction goes, pass by pass; filled in on request by
// the benchmark and left out of every ordinary call.
#pragma once

#include <span>

#include "optimizer/engine/engine_graph.hpp"
#include "optimizer/mod/reduced.hpp"

namespace trellan {

struct PassTimings {
  double dead_code = 0;     // seconds
  double engine_graph = 0;  // token table and to_engine_graph
  double engine = 0;        // RewriteEngine::canonicalize
  double cse = 0;           // operator ids of the canonical graph and cse
  double fusion = 0;        // stage fusion and the node map
};

// reduce_with_mode, recording the time of each pass into timings when it is
// not null. The result does not depend on timings.
Reduced reduce_timed(std::span<const NodeKey> nodes, std::span<const uint64_t> outputs,
                     const engine::RewriteEngine& engine, bool maximal_fusion,
                     PassTimings* timings);

}  // namespace trellan
