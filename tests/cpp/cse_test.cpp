#include "optimizer/mod/cse.hpp"

#include <gtest/gtest.h>

namespace trellan {
namespace {

struct Graph {
  TokenTable table;
  engine::EngineGraph graph;
  std::vector<OpId> ops;
  uint64_t add(const std::string& op, std::vector<uint64_t> children) {
    graph.nodes.push_back({op, std::move(children), op.rfind("op|", 0) != 0});
    ops.push_back(table.intern(op));
    return graph.nodes.size() - 1;
  }
};

TEST(Cse, MergesEqualOperatorsOverEqualChildrenKeepingTheFirst) {
  // Two equal sources (as an engine may hand them back) make f over each one
  // node, and so their users too.
  Graph g;
  uint64_t x1 = g.add("src|x", {}), x2 = g.add("src|x", {});
  uint64_t f1 = g.add("op|f", {x1}), y = g.add("src|y", {}), f2 = g.add("op|f", {x2});
  uint64_t r1 = g.add("red|sum", {f1, y}), r2 = g.add("red|sum", {f2, y});
  g.graph.outputs = {r2, f2, r1};
  Deduped d = cse(g.graph, g.ops);
  EXPECT_EQ(d.map, (std::vector<uint64_t>{0, 0, 1, 2, 1, 3, 3}));
  EXPECT_EQ(d.graph.opaque, (std::vector<uint8_t>{1, 0, 1, 1}));
  EXPECT_EQ(g.table.text(d.graph.op[2]), "src|y");
  EXPECT_EQ(d.graph.outputs, (std::vector<uint64_t>{3, 1, 3}));
}

TEST(Cse, ChildOrderRepeatsAndOperatorTextKeepNodesApart) {
  Graph g;
  uint64_t a = g.add("src|a", {}), b = g.add("src|b", {});
  g.add("op|sub", {a, b});
  g.add("op|sub", {b, a});
  g.add("op|mul", {a, a});
  g.add("op|mul", {a});
  g.add("op|add|scalar=i1", {a});
  g.add("op|add|scalar=i2", {a});
  EXPECT_EQ(cse(g.graph, g.ops).graph.size(), 8u);
}

}  // namespace
}  // namespace trellan
