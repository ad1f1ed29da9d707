// Shared helpers of the reduction tests: node builders and two small rewrite
// engines that stand in for the saturation engine.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <utility>
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

}  // namespace trellan

namespace trellan::reduce_testing {

inline ParamMap params(std::vector<ParamEntry> entries) { return ParamMap::make(std::move(entries)); }

// An add of the float 0.0 on the right: an identity op.
inline ParamMap add_zero() {
  return params({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")}});
}
inline constexpr const char* kAddZero = "op|add|scalar=f0000000000000000;side=sr";

inline NodeKey src(std::string name) { return NodeKey::source(std::move(name), {}); }
inline NodeKey op(std::string name, IdList inputs, ParamMap p = {}) {
  return NodeKey::op(std::move(name), std::move(p), std::move(inputs));
}
inline NodeKey red(std::string name, IdList inputs) {
  return NodeKey::reduction(std::move(name), {}, std::move(inputs));
}
inline NodeKey ext(PayloadDescriptor d, IdList inputs) {
  return NodeKey::external(std::move(d), {}, std::move(inputs));
}

inline std::unique_ptr<GraphStore> make_store(const std::vector<NodeKey>& keys,
                                              const std::vector<NodeId>& marks = {}) {
  auto store = std::make_unique<GraphStore>();
  for (const NodeKey& k : keys) store->intern(k).value();
  for (NodeId id : marks) (void)store->mark_output(id);
  return store;
}

// Hands the graph back as it came.
class PassThroughEngine : public engine::RewriteEngine {
 public:
  engine::Canonical canonicalize(const engine::EngineGraph& graph) const override {
    engine::Canonical out{graph, {}};
    for (uint64_t i = 0; i < graph.nodes.size(); ++i) out.node_map.push_back(i);
    return out;
  }
};

// Folds one-input "add 0.0 on the right" ops into their input and puts the
// children of a plain two-input add in ascending order; leaves duplicates for
// cse to find.
class FoldingEngine : public engine::RewriteEngine {
 public:
  engine::Canonical canonicalize(const engine::EngineGraph& graph) const override {
    engine::Canonical out;
    for (const engine::EngineNode& node : graph.nodes) {
      if (node.op == kAddZero && node.children.size() == 1) {
        out.node_map.push_back(out.node_map[node.children[0]]);
        continue;
      }
      engine::EngineNode copy = node;
      for (uint64_t& c : copy.children) c = out.node_map[c];
      if (copy.op == "op|add" && copy.children.size() == 2 && copy.children[0] > copy.children[1]) {
        std::swap(copy.children[0], copy.children[1]);
      }
      out.node_map.push_back(out.graph.nodes.size());
      out.graph.nodes.push_back(std::move(copy));
    }
    for (uint64_t o : graph.outputs) out.graph.outputs.push_back(out.node_map[o]);
    return out;
  }
};

}  // namespace trellan::reduce_testing
