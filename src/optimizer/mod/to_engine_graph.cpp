#include "optimizer/mod/to_engine_graph.hpp"

#include "common/panic.hpp"

namespace trellan {

engine::EngineGraph to_engine_graph(std::span<const NodeKey> nodes, const DeadCode& dead,
                                    std::span<const OpId> ops, const TokenTable& table) {
  engine::EngineGraph graph;
  graph.nodes.reserve(dead.kept.size());
  for (uint64_t s = 0; s < dead.kept.size(); ++s) {
    const NodeKey& key = nodes[dead.kept[s]];
    auto inputs = key.inputs();
    std::vector<uint64_t> children;
    children.reserve(inputs.size());
    for (NodeId input : inputs) {
      uint64_t child = at_checked(dead.map, input);
      // The engine relies on children preceding their users.
      if (child >= s) panic("reduction input lists a node before its inputs");
      children.push_back(child);
    }
    graph.nodes.push_back({table.text(at_checked(ops, s)), std::move(children), !key.is_op()});
  }
  graph.outputs = dead.outputs;
  return graph;
}

}  // namespace trellan
