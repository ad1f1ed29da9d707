#include "optimizer/engine/engine_graph.hpp"

namespace trellan::engine {

EngineGraph to_text_form(const OpGraph& graph, const OpNames& names) {
  EngineGraph out;
  out.nodes.reserve(graph.size());
  for (size_t i = 0; i < graph.size(); ++i) {
    auto kids = graph.children_of(i);
    out.nodes.push_back({std::string(names.text(graph.op[i])), {kids.begin(), kids.end()}, graph.opaque[i] != 0});
  }
  out.outputs = graph.outputs;
  return out;
}

OpGraph to_op_form(const EngineGraph& graph, OpNames& names) {
  OpGraph out;
  out.reserve(graph.nodes.size(), 0);
  for (const EngineNode& node : graph.nodes) {
    out.add(names.intern(node.op), node.opaque, std::span<const uint64_t>(node.children));
  }
  out.outputs = graph.outputs;
  return out;
}

CanonicalOps RewriteEngine::canonicalize_ops(OpGraph graph, OpNames& names) const {
  Canonical c = canonicalize(to_text_form(graph, names));
  CanonicalOps out{to_op_form(c.graph, names), {}};
  out.node_map.assign(c.node_map.begin(), c.node_map.end());
  return out;
}

}  // namespace trellan::engine
