#include "optimizer/mod/driver.hpp"

#include <chrono>

#include "common/panic.hpp"
#include "optimizer/mod/cse.hpp"
#include "optimizer/mod/dead_code.hpp"
#include "optimizer/mod/pass_timings.hpp"
#include "optimizer/mod/stage_fusion.hpp"
#include "optimizer/mod/to_engine_graph.hpp"
#include "optimizer/mod/token_table.hpp"

namespace trellan {

namespace {

// Adds the time since the last lap to one field of the timings, if any.
class Laps {
 public:
  explicit Laps(PassTimings* timings) : timings_(timings), last_(Clock::now()) {}
  void lap(double PassTimings::*field) {
    if (!timings_) return;
    auto now = Clock::now();
    timings_->*field += std::chrono::duration<double>(now - last_).count();
    last_ = now;
  }

 private:
  using Clock = std::chrono::steady_clock;
  PassTimings* timings_;
  Clock::time_point last_;
};

// Where every source node landed: through dead-code elimination, the engine's
// mapping and cse to a deduplicated position, then to its placement.
NodeMap compose_node_map(const DeadCode& dead, const engine::CanonicalOps& canonical,
                         const Deduped& deduped, const std::vector<Placement>& placement) {
  NodeMap map;
  map.reserve(dead.map.size());
  for (uint64_t survivor : dead.map) {
    if (survivor == kDropped) {
      map.emplace_back(std::nullopt);
      continue;
    }
    uint64_t position = at_checked(canonical.node_map, survivor);
    map.emplace_back(at_checked(placement, at_checked(deduped.map, position)));
  }
  return map;
}

}  // namespace

Reduced reduce_timed(std::span<const NodeKey> nodes, std::span<const uint64_t> outputs,
                     const engine::RewriteEngine& engine, bool maximal_fusion,
                     PassTimings* timings) {
  Laps laps(timings);
  DeadCode dead = dead_code_elimination(nodes, outputs);
  laps.lap(&PassTimings::dead_code);

  TokenTable table;
  engine::CanonicalOps canonical;
  {
    std::vector<OpId> engine_ops = record_operators(table, nodes, dead.kept);
    engine::OpGraph graph = to_engine_graph(nodes, dead, engine_ops);
    laps.lap(&PassTimings::engine_graph);
    canonical = canonicalize_with(engine, graph, table);
  }
  laps.lap(&PassTimings::engine);

  Deduped deduped = cse(canonical.graph);
  canonical.graph = {};  // only its node mapping is still needed
  laps.lap(&PassTimings::cse);

  Fused fused = stage_fusion(deduped.graph, table, maximal_fusion);
  Reduced reduced;
  reduced.node_map = compose_node_map(dead, canonical, deduped, fused.placement);
  reduced.report = ReductionReport{
      .input_nodes = nodes.size(),
      .reachable_nodes = dead.kept.size(),
      .canonical_nodes = deduped.graph.size(),
      .stages = fused.stages,
      .reduced_nodes = fused.nodes.size(),
      .boundary_nodes = fused.boundary_nodes,
  };
  reduced.nodes = std::move(fused.nodes);
  reduced.outputs = std::move(fused.outputs);
  laps.lap(&PassTimings::fusion);
  return reduced;
}

Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const uint64_t> outputs,
                         const engine::RewriteEngine& engine, bool maximal_fusion) {
  return reduce_timed(nodes, outputs, engine, maximal_fusion, nullptr);
}

}  // namespace trellan
