#include "optimizer/mod/to_engine_graph.hpp"

#include "common/panic.hpp"

namespace trellan {

engine::OpGraph to_engine_graph(std::span<const NodeKey> nodes, const DeadCode& dead, std::span<const OpId> ops) {
  engine::OpGraph graph;
  size_t kids = 0;
  for (uint64_t id : dead.kept) kids += at_checked(nodes, id).inputs().size();
  graph.reserve(dead.kept.size(), kids);
  for (uint64_t s = 0; s < dead.kept.size(); ++s) {
    const NodeKey& key = nodes[dead.kept[s]];
    for (NodeId input : key.inputs()) {
      uint64_t child = at_checked(dead.map, input);
      // The engine relies on children preceding their users.
      if (child >= s) panic("reduction input lists a node before its inputs");
      graph.children.push_back(child);
    }
    graph.op.push_back(at_checked(ops, s));
    graph.opaque.push_back(key.is_op() ? 0 : 1);
    graph.first.push_back(graph.children.size());
  }
  graph.outputs = dead.outputs;
  return graph;
}

namespace {

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

}  // namespace

engine::CanonicalOps canonicalize_with(const engine::RewriteEngine& engine, const engine::OpGraph& graph,
                                       TokenTable& table) {
  TableNames names(table);
  return engine.canonicalize_ops(graph, names);
}

}  // namespace trellan
