// Shared helpers of the reduction tests: node builders, a store builder and a
// rewrite engine that hands its graph back unchanged.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "optimizer/engine/engine_graph.hpp"
#include "store/graph_store.hpp"

namespace trellan {

// Readable failure messages for key comparisons.
inline void PrintTo(const NodeKey& key, std::ostream* os) {
  *os << key.operator_text() << " (";
  for (NodeId id : key.inputs()) *os << ' ' << id;
  *os << " )";
}

namespace reduce_testing {

// An add of the float 0.0 on the right: an identity op.
inline ParamMap add_zero() {
  return ParamMap::make({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")}});
}

inline NodeKey src(std::string name) { return NodeKey::source(std::move(name), {}); }
inline NodeKey op(std::string name, IdList inputs, ParamMap p = {}) {
  return NodeKey::op(std::move(name), std::move(p), std::move(inputs));
}
inline NodeKey red(std::string name, IdList inputs) {
  return NodeKey::reduction(std::move(name), {}, std::move(inputs));
}
inline NodeKey join(IdList inputs) { return NodeKey::join({}, std::move(inputs)); }

inline std::unique_ptr<GraphStore> make_store(const std::vector<NodeKey>& keys,
                                              const std::vector<NodeId>& marks = {}) {
  auto store = std::make_unique<GraphStore>();
  for (const NodeKey& k : keys) store->intern(k).value();
  for (NodeId id : marks) (void)store->mark_output(id);
  return store;
}

class PassThroughEngine : public engine::RewriteEngine {
 public:
  engine::Canonical canonicalize(const engine::EngineGraph& graph) const override {
    engine::Canonical out{graph, {}};
    for (uint64_t i = 0; i < graph.nodes.size(); ++i) out.node_map.push_back(i);
    return out;
  }
};

}  // namespace reduce_testing
}  // namespace trellan
