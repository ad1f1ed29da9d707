#include "optimizer/mod/driver.hpp"

#include <gtest/gtest.h>

#include "common/panic.hpp"
#include "optimizer/mod/dead_code.hpp"
#include "optimizer/mod/to_engine_graph.hpp"
#include "optimizer/mod/token_table.hpp"
#include "reduce_fixtures.hpp"

namespace trellan {
namespace {

using namespace reduce_testing;

const PassThroughEngine kPassThrough;
const FoldingEngine kFolding;

Reduced reduce(const std::vector<NodeKey>& nodes, const std::vector<uint64_t>& outputs,
               const engine::RewriteEngine& engine = kPassThrough, bool maximal = false) {
  return reduce_with_mode(nodes, outputs, engine, maximal);
}

TEST(TokenTable, FirstKeyPerOperatorTextWins) {
  TokenTable table;
  OpId a = table.record(op("f", {0}));
  OpId b = table.record(op("f", {1}));
  OpId c = table.record(op("g", {0}));
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(table.first_key(a), op("f", {0}));
  EXPECT_EQ(table.text(c), "op|g");
  EXPECT_THROW(table.first_key(table.intern("op|h")), Panic);
}

TEST(TokenTable, DistinctExternalsAndStagesGetDistinctOperators) {
  // Equal tokens, different nodes: an absent preprocessing_ref against "-",
  // a "|" moved between descriptor fields, stages of one size.
  PayloadDescriptor absent{"model", "h", "fw", "1", "io", std::nullopt};
  PayloadDescriptor dash = absent;
  dash.preprocessing_ref = "-";
  PayloadDescriptor left{"a|b", "c", "fw", "1", "io", std::nullopt};
  PayloadDescriptor right{"a", "b|c", "fw", "1", "io", std::nullopt};
  NodeKey s1 = NodeKey::stage({0}, {StageOp{"op|exp", {StageRef::input(0)}}});
  NodeKey s2 = NodeKey::stage({0}, {StageOp{"op|log", {StageRef::input(0)}}});
  ASSERT_EQ(ext(absent, {0}).token(), ext(dash, {0}).token());
  ASSERT_EQ(ext(left, {0}).token(), ext(right, {0}).token());
  ASSERT_EQ(s1.token(), s2.token());

  TokenTable table;
  EXPECT_NE(table.record(ext(absent, {0})), table.record(ext(dash, {0})));
  EXPECT_NE(table.record(ext(left, {0})), table.record(ext(right, {0})));
  EXPECT_NE(table.record(s1), table.record(s2));
}

TEST(ToEngineGraph, OneNodePerSurvivorWithSurvivorChildren) {
  // 0 a, 1 b (dead), 2 f(a), 3 red(f, a); output 3 twice
  std::vector<NodeKey> nodes{src("a"), src("b"), op("f", {0}, add_zero()), red("r", {2, 0})};
  std::vector<uint64_t> outputs{3, 3};
  DeadCode dead = dead_code_elimination(nodes, outputs);
  TokenTable table;
  auto ops = record_operators(table, nodes, dead.kept);
  engine::EngineGraph g = to_engine_graph(nodes, dead, ops, table);
  engine::EngineGraph expected{{{"src|a", {}, true},
                                {"op|f|scalar=f0000000000000000;side=sr", {0}, false},
                                {"red|r", {1, 0}, true}},
                               {2, 2}};
  EXPECT_EQ(g, expected);
}

TEST(Driver, ChainBecomesSourceAndOneStage) {
  std::vector<NodeKey> nodes{src("x"), op("a", {0}), op("b", {1})};
  for (bool maximal : {false, true}) {
    Reduced r = reduce(nodes, {2}, kPassThrough, maximal);
    ASSERT_EQ(r.nodes.size(), 2u);
    EXPECT_EQ(r.nodes[0], src("x"));
    EXPECT_EQ(r.nodes[1].kind(), NodeKind::Stage);
    EXPECT_EQ(r.outputs, (std::vector<uint64_t>{1}));
    EXPECT_EQ(r.node_map, (NodeMap{Placement{0, std::nullopt}, Placement{1, 0}, Placement{1, 1}}));
    EXPECT_EQ(r.report, (ReductionReport{3, 3, 3, 1, 2, 1}));
  }
}

TEST(Driver, NoOutputsGiveAnEmptyResult) {
  std::vector<NodeKey> nodes{src("x"), op("a", {0})};
  Reduced r = reduce(nodes, {});
  EXPECT_TRUE(r.nodes.empty());
  EXPECT_TRUE(r.outputs.empty());
  EXPECT_EQ(r.node_map, (NodeMap{std::nullopt, std::nullopt}));
  EXPECT_EQ(r.report, (ReductionReport{2, 0, 0, 0, 0, 0}));
}

TEST(Driver, RepeatedOutputsAreKept) {
  std::vector<NodeKey> nodes{src("a"), src("b"), op("f", {0}), op("g", {1}), op("h", {2, 3}),
                             red("r", {4})};
  Reduced r = reduce(nodes, {5, 5});
  EXPECT_EQ(r.outputs, (std::vector<uint64_t>{3, 3}));
}

TEST(Driver, UnreachableNodeIsDroppedEvenWhenTheEngineWouldMergeIt) {
  // add(a, b) marked, add(b, a) unused
  std::vector<NodeKey> nodes{src("a"), src("b"), op("add", {0, 1}), op("add", {1, 0})};
  Reduced r = reduce(nodes, {2}, kFolding);
  EXPECT_EQ(r.node_map[3], std::nullopt);
  EXPECT_EQ(r.report.reachable_nodes, 3u);
}

TEST(Driver, NodesMergedByTheEngineAndCseShareOneEntry) {
  // 0 a, 1 b, 2 add(a, b), 3 add(b, a), 4 join(2, 3): the folding engine
  // orders the second add's children, cse merges it into the first.
  std::vector<NodeKey> nodes{src("a"), src("b"), op("add", {0, 1}), op("add", {1, 0}),
                             NodeKey::join({}, {2, 3})};
  Reduced r = reduce(nodes, {4}, kFolding);
  EXPECT_EQ(r.node_map[2], r.node_map[3]);
  EXPECT_EQ(r.report, (ReductionReport{5, 5, 4, 1, 4, 3}));
  EXPECT_EQ(r.nodes.back(), NodeKey::join({}, {2, 2}));
}

TEST(Driver, IdentityFoldedByTheEngineLandsWhereItsInputLanded) {
  // 0 x, 1 y = x + 0, 2 f(x), 3 f(y), 4 join(2, 3)
  std::vector<NodeKey> nodes{src("x"), op("add", {0}, add_zero()), op("f", {0}), op("f", {1}),
                             NodeKey::join({}, {2, 3})};
  Reduced r = reduce(nodes, {4}, kFolding);
  EXPECT_EQ(r.node_map[1], r.node_map[0]);
  EXPECT_EQ(r.node_map[2], r.node_map[3]);
  EXPECT_EQ(r.report, (ReductionReport{5, 5, 3, 1, 3, 2}));
}

TEST(Driver, SameOperatorOverDifferentInputsKeepsBothNodes) {
  std::vector<NodeKey> nodes{src("a"), src("b"), red("sum", {0}), red("sum", {1}),
                             NodeKey::join({}, {2, 3})};
  Reduced r = reduce(nodes, {4});
  ASSERT_EQ(r.nodes.size(), 5u);
  EXPECT_EQ(r.nodes[2], red("sum", {0}));
  EXPECT_EQ(r.nodes[3], red("sum", {1}));
}

TEST(Driver, ExternalsWithEqualTokensAreNeverMerged) {
  PayloadDescriptor absent{"model", "h", "fw", "1", "io", std::nullopt};
  PayloadDescriptor dash = absent;
  dash.preprocessing_ref = "-";
  std::vector<NodeKey> nodes{src("x"), ext(absent, {0}), ext(dash, {0}), NodeKey::join({}, {1, 2})};
  Reduced r = reduce(nodes, {3});
  ASSERT_EQ(r.nodes.size(), 4u);
  EXPECT_EQ(r.nodes[1], ext(absent, {0}));
  EXPECT_EQ(r.nodes[2], ext(dash, {0}));
  EXPECT_NE(r.node_map[1], r.node_map[2]);
}

TEST(Driver, StagesOfEqualSizeAreNeverMergedAndKeepTheirMembers) {
  NodeKey s1 = NodeKey::stage({0}, {StageOp{"op|exp", {StageRef::input(0)}}});
  NodeKey s2 = NodeKey::stage({0}, {StageOp{"op|log", {StageRef::input(0)}}});
  std::vector<NodeKey> nodes{src("x"), s1, s2, NodeKey::join({}, {1, 2})};
  Reduced r = reduce(nodes, {3});
  ASSERT_EQ(r.nodes.size(), 4u);
  EXPECT_EQ(r.nodes[1], s1);
  EXPECT_EQ(r.nodes[2], s2);
  EXPECT_EQ(r.report.stages, 0u);
  EXPECT_EQ(r.report.boundary_nodes, 4u);
}

TEST(Driver, MaximalFusionMapsFanOutIntoOneStage) {
  std::vector<NodeKey> nodes{src("s"), op("a", {0}), op("b", {1}), op("c", {1}), op("d", {2, 3})};
  Reduced single = reduce(nodes, {4}, kPassThrough, false);
  EXPECT_EQ(single.report, (ReductionReport{5, 5, 5, 2, 3, 1}));
  EXPECT_EQ(single.node_map[1], (Placement{1, 0}));
  EXPECT_EQ(single.node_map[4], (Placement{2, 2}));
  Reduced maximal = reduce(nodes, {4}, kPassThrough, true);
  EXPECT_EQ(maximal.report, (ReductionReport{5, 5, 5, 1, 2, 1}));
  EXPECT_EQ(maximal.node_map[1], (Placement{1, 0}));
  EXPECT_EQ(maximal.node_map[4], (Placement{1, 3}));
}

TEST(Driver, MillionNodeChainIsOneStage) {
  const uint64_t n = 1'000'000;
  std::vector<NodeKey> nodes;
  nodes.reserve(n);
  nodes.push_back(src("x"));
  for (uint64_t i = 1; i < n; ++i) nodes.push_back(op(i % 2 ? "exp" : "log", {i - 1}));
  Reduced r = reduce(nodes, {n - 1});
  EXPECT_EQ(r.report, (ReductionReport{n, n, n, 1, 2, 1}));
  EXPECT_EQ(r.node_map[n - 1], (Placement{1, n - 2}));
}

// Names the first node with a text the graph never had.
class RenamingEngine : public engine::RewriteEngine {
 public:
  engine::Canonical canonicalize(const engine::EngineGraph& graph) const override {
    engine::Canonical out = kPassThrough.canonicalize(graph);
    out.graph.nodes[0].op = "src|invented";
    return out;
  }
};

TEST(Driver, NodeTheEngineRenamedCannotBeRebuilt) {
  std::vector<NodeKey> nodes{src("x"), op("a", {0})};
  try {
    reduce(nodes, {1}, RenamingEngine());
    FAIL() << "expected a panic";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "no entry found for key");
  }
}

}  // namespace
}  // namespace trellan
