#include "optimizer/passes/driver.hpp"

#include <algorithm>
#include <chrono>

#include "common/panic.hpp"
#include "optimizer/passes/cse.hpp"
#include "optimizer/passes/dead_code.hpp"
#include "optimizer/passes/stage_fusion.hpp"
#include "optimizer/passes/token_table.hpp"

namespace trellan {

namespace {

// The survivors of dead-code elimination as the graph a rewrite engine takes:
// one engine node per survivor, named by its operator id (recorded in table
// on the way), children as survivor positions, opaque unless the survivor is
// an op. distinct: no two nodes are equal keys.
engine::OpGraph to_engine_graph(std::span<const NodeKey> nodes, const DeadCode& dead, TokenTable& table,
                                bool distinct) {
  engine::OpGraph graph;
  // Most nodes read one or two others; the children grow as needed.
  graph.reserve(dead.kept.size(), dead.kept.size() + dead.kept.size() / 2);
  for (uint64_t s = 0; s < dead.kept.size(); ++s) {
    const NodeKey& key = at_checked(nodes, dead.kept[s]);
    for (NodeId input : key.inputs()) {
      const uint32_t child = at_checked(dead.map, input);
      // The engine relies on children preceding their users.
      if (child >= s) panic("reduction input lists a node before its inputs");  // LCOV_EXCL_LINE
      graph.children.push_back(child);
    }
    graph.op.push_back(table.record(key, distinct));
    graph.opaque.push_back(key.is_op() ? 0 : 1);
    graph.first.push_back(graph.children.size());
  }
  graph.outputs = dead.outputs;
  return graph;
}

// The engine learns operator texts from the token table, and any text it
// makes up is added there.
class TableNames final : public engine::OpNames {
 public:
  explicit TableNames(TokenTable& table) : table_(table) {}
  std::string_view text(uint32_t id) const override { return table_.text(id); }
  uint32_t intern(std::string_view text) override { return table_.intern(std::string(text)); }
  bool find(std::string_view text, uint32_t& id) const override {
    auto found = table_.find(text);
    if (found) id = *found;
    return found.has_value();
  }

 private:
  TokenTable& table_;
};

// Adds the time since the last lap to one field of the timings, if any, and
// the heap peak since then to another when the timings carry a meter.
class Laps {
 public:
  explicit Laps(PassTimings* timings) : timings_(timings), last_(now()) {
    if (timings_ && timings_->heap) {
      timings_->heap->take_peak();
      base_ = timings_->heap->live();
    }
  }
  void lap(double PassTimings::*field, uint64_t PassTimings::*peak) {
    if (!timings_) return;
    const double at = now();
    timings_->*field += at - last_;
    if (timings_->heap) {
      const uint64_t top = timings_->heap->take_peak();
      timings_->*peak = std::max(timings_->*peak, top > base_ ? top - base_ : 0);
    }
    last_ = now();
  }

 private:
  double now() const {
    if (timings_ && timings_->clock) return timings_->clock();
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  }
  PassTimings* timings_;
  double last_;
  uint64_t base_ = 0;
};

// Frees a table as soon as the passes after it no longer need it, so that the
// reduction never holds the tables of every pass at once.
template <class Table>
void release(Table& table) {
  table = Table();
}

// Follows every entry of map that names a node through table, in place.
template <class Map, class Table>
void follow(Map& map, const Table& table) {
  for (uint32_t& entry : map) {
    if (entry != kDropped) entry = static_cast<uint32_t>(at_checked(table, entry));
  }
}

}  // namespace

Reduced reduce_timed(std::span<const NodeKey> nodes, std::span<const uint64_t> outputs,
                     const engine::RewriteEngine& engine, bool maximal_fusion, bool distinct_keys,
                     PassTimings* timings) {
  // The tables of each pass hand their pages on to the passes after it.
  support::RecycleScope recycle;
  Laps laps(timings);
  DeadCode dead = dead_code_elimination(nodes, outputs);
  const uint64_t reachable = dead.kept.size();
  laps.lap(&PassTimings::dead_code, &PassTimings::dead_code_peak);

  TokenTable table;
  engine::CanonicalOps canonical;
  {
    engine::OpGraph graph = to_engine_graph(nodes, dead, table, distinct_keys);
    release(dead.kept);
    release(dead.outputs);
    laps.lap(&PassTimings::engine_graph, &PassTimings::engine_graph_peak);
    TableNames names(table);
    canonical = engine.canonicalize_ops(std::move(graph), names);
  }
  laps.lap(&PassTimings::engine, &PassTimings::engine_peak);

  // From here on dead.map holds every source node's deduplicated position.
  follow(dead.map, canonical.node_map);
  release(canonical.node_map);
  Deduped deduped;
  if (canonical.closed) {
    deduped.graph = std::move(canonical.graph);
  } else {
    deduped = cse(canonical.graph);
    canonical.graph = {};
    follow(dead.map, deduped.map);
    release(deduped.map);
  }
  laps.lap(&PassTimings::cse, &PassTimings::cse_peak);

  const uint64_t canonical_nodes = deduped.graph.size();
  Fused fused = stage_fusion(std::move(deduped.graph), table, maximal_fusion, dead.map);
  release(dead.map);
  Reduced reduced;
  reduced.report = ReductionReport{
      .input_nodes = nodes.size(),
      .reachable_nodes = reachable,
      .canonical_nodes = canonical_nodes,
      .stages = fused.stages,
      .reduced_nodes = fused.nodes.size(),
      .boundary_nodes = fused.boundary_nodes,
  };
  reduced.node_map = std::move(fused.node_map);
  reduced.nodes = std::move(fused.nodes);
  // Boundary nodes differ from one another, and so do new stages: equal ones
  // would have merged as equal subgraphs. Only a stage that was already in
  // the graph can equal a new one.
  reduced.distinct = !fused.stage_boundary;
  reduced.outputs = std::move(fused.outputs);
  laps.lap(&PassTimings::fusion, &PassTimings::fusion_peak);
  return reduced;
}

Reduced reduce_with_mode(std::span<const NodeKey> nodes, std::span<const uint64_t> outputs,
                         const engine::RewriteEngine& engine, bool maximal_fusion, bool distinct_keys) {
  return reduce_timed(nodes, outputs, engine, maximal_fusion, distinct_keys, nullptr);
}

}  // namespace trellan
