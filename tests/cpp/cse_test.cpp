#include "optimizer/mod/cse.hpp"

#include <gtest/gtest.h>

#include "common/panic.hpp"

namespace trellan {
namespace {

using engine::EngineGraph;
using engine::EngineNode;

struct Graph {
  TokenTable table;
  EngineGraph graph;
  std::vector<OpId> ops;

  uint64_t add(const std::string& op, std::vector<uint64_t> children) {
    graph.nodes.push_back(EngineNode{op, std::move(children), op.rfind("op|", 0) != 0});
    ops.push_back(table.intern(op));
    return graph.nodes.size() - 1;
  }
};

std::vector<uint64_t> children(const OpGraph& g, uint64_t i) {
  auto c = g.children_of(i);
  return {c.begin(), c.end()};
}

TEST(Cse, MergesEqualOperatorsOverEqualChildrenKeepingFirstOccurrences) {
  Graph g;
  uint64_t x = g.add("src|x", {});
  uint64_t f1 = g.add("op|f", {x});
  uint64_t y = g.add("src|y", {});
  uint64_t f2 = g.add("op|f", {x});
  uint64_t h = g.add("op|h", {f1, f2});
  g.graph.outputs = {h, f2, h};
  Deduped d = cse(g.graph, g.ops);

  EXPECT_EQ(d.map, (std::vector<uint64_t>{0, 1, 2, 1, 3}));
  ASSERT_EQ(d.graph.size(), 4u);
  EXPECT_EQ(g.table.text(d.graph.op[2]), "src|y");
  EXPECT_EQ(children(d.graph, 3), (std::vector<uint64_t>{1, 1}));
  EXPECT_EQ(d.graph.opaque, (std::vector<uint8_t>{1, 0, 1, 0}));
  EXPECT_EQ(d.graph.outputs, (std::vector<uint64_t>{3, 1, 3}));
  (void)y;
}

TEST(Cse, ChildOrderRepeatsAndParamsKeepNodesApart) {
  Graph g;
  uint64_t a = g.add("src|a", {});
  uint64_t b = g.add("src|b", {});
  g.add("op|sub", {a, b});
  g.add("op|sub", {b, a});
  g.add("op|mul", {a, a});
  g.add("op|mul", {a});
  g.add("op|add|scalar=i1", {a});
  g.add("op|add|scalar=i2", {a});
  Deduped d = cse(g.graph, g.ops);
  EXPECT_EQ(d.graph.size(), 8u);
}

TEST(Cse, MergedChildrenMakeTheirUsersEqual) {
  // Two equal sources (as an engine may hand back after merging inputs) make
  // f over each of them one node, and so their users too.
  Graph g;
  uint64_t x1 = g.add("src|x", {});
  uint64_t x2 = g.add("src|x", {});
  uint64_t f1 = g.add("op|f", {x1});
  uint64_t f2 = g.add("op|f", {x2});
  uint64_t r1 = g.add("red|sum", {f1});
  uint64_t r2 = g.add("red|sum", {f2});
  g.graph.outputs = {r2, r1};
  Deduped d = cse(g.graph, g.ops);
  EXPECT_EQ(d.map, (std::vector<uint64_t>{0, 0, 1, 1, 2, 2}));
  EXPECT_EQ(d.graph.outputs, (std::vector<uint64_t>{2, 2}));
}

TEST(Cse, ManyNodesSharingOneOperator) {
  // Enough entries to spread over many probe chains.
  Graph g;
  uint64_t s = g.add("src|s", {});
  for (int round = 0; round < 2; ++round) {
    for (uint64_t i = 0; i < 5000; ++i) g.add("op|f", {s, i % 97, i});
  }
  Deduped d = cse(g.graph, g.ops);
  // Round two repeats the keys of round one, so each of its nodes is merged.
  EXPECT_EQ(d.graph.size(), 5001u);
  for (uint64_t i = 0; i < 5000; ++i) EXPECT_EQ(d.map[5001 + i], d.map[1 + i]);
}

TEST(Cse, EmptyGraph) {
  Graph g;
  Deduped d = cse(g.graph, g.ops);
  EXPECT_EQ(d.graph.size(), 0u);
  EXPECT_TRUE(d.map.empty());
}

TEST(Cse, ChildNotBeforeItsUserIsFatal) {
  Graph g;
  g.add("src|x", {});
  g.add("op|f", {1});
  EXPECT_THROW(cse(g.graph, g.ops), Panic);
}

TEST(CanonicalOperators, KnownTextsKeepTheirIdsAndNewTextsGetFreshOnes) {
  TokenTable table;
  OpId x = table.intern("src|x");
  OpId f = table.intern("op|f");
  std::vector<OpId> engine_ops{x, f, f};
  engine::Canonical canonical;
  // The engine merged 1 and 2 and renamed the result; position 0 kept its text.
  canonical.graph.nodes = {EngineNode{"src|x", {}, true}, EngineNode{"op|g", {0}, false}};
  canonical.node_map = {0, 1, 1};
  std::vector<OpId> ops = canonical_operators(canonical, engine_ops, table);
  ASSERT_EQ(ops.size(), 2u);
  EXPECT_EQ(ops[0], x);
  EXPECT_EQ(table.text(ops[1]), "op|g");
  EXPECT_EQ(table.size(), 3u);
}

}  // namespace
}  // namespace trellan
