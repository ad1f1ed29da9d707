#include "optimizer/passes/driver.hpp"

#include <gtest/gtest.h>

#include "optimizer/engine/saturation_engine.hpp"
#include "reduce_fixtures.hpp"

namespace trellan {
namespace {

using namespace reduce_testing;

const PassThroughEngine kPassThrough;

Reduced reduce(const std::vector<NodeKey>& nodes, const std::vector<uint64_t>& outputs,
               const engine::RewriteEngine& engine = kPassThrough, bool maximal = false) {
  return reduce_with_mode(nodes, outputs, engine, maximal);
}

TEST(Driver, RepeatedOutputsAreKept) {
  std::vector<NodeKey> nodes{src("a"), src("b"), op("f", {0}), op("g", {1}), op("h", {2, 3}), red("r", {4})};
  EXPECT_EQ(reduce(nodes, {5, 5}).outputs, (std::vector<uint64_t>{3, 3}));
}

TEST(Driver, UnreachableNodeIsDroppedEvenWhenTheEngineWouldMergeIt) {
  std::vector<NodeKey> nodes{src("a"), src("b"), op("add", {0, 1}), op("add", {1, 0})};
  Reduced r = reduce(nodes, {2}, engine::SaturationEngine());
  EXPECT_EQ(r.node_map[3], std::nullopt);
  EXPECT_EQ(r.report.reachable_nodes, 3u);
}

// Tokens name an external by fields joined with "|" and a stage by its size,
// so equal tokens do not mean equal operators; the engine and cse must see
// them apart and every node must come back with its own fields.
TEST(Driver, NodesWithEqualTokensButDifferentFieldsStayApart) {
  PayloadDescriptor absent{"model", "h", "fw", "1", "io", std::nullopt};
  PayloadDescriptor dash = absent;
  dash.preprocessing_ref = "-";
  PayloadDescriptor left{"a|b", "c", "fw", "1", "io", std::nullopt};
  PayloadDescriptor right{"a", "b|c", "fw", "1", "io", std::nullopt};
  NodeKey exp = NodeKey::stage({0}, {StageOp{"op|exp", {StageRef::input(0)}}});
  NodeKey log = NodeKey::stage({0}, {StageOp{"op|log", {StageRef::input(0)}}});
  std::vector<NodeKey> nodes{src("x"),
                             NodeKey::external(absent, {}, {0}),
                             NodeKey::external(dash, {}, {0}),
                             NodeKey::external(left, {}, {0}),
                             NodeKey::external(right, {}, {0}),
                             exp,
                             log,
                             join({1, 2, 3, 4, 5, 6})};
  ASSERT_EQ(nodes[1].token(), nodes[2].token());
  ASSERT_EQ(nodes[3].token(), nodes[4].token());
  ASSERT_EQ(exp.token(), log.token());
  const engine::SaturationEngine saturation;
  for (const engine::RewriteEngine* e : std::vector<const engine::RewriteEngine*>{&kPassThrough, &saturation}) {
    Reduced r = reduce(nodes, {7}, *e);
    EXPECT_EQ(r.nodes, nodes);
    EXPECT_EQ(r.report, (ReductionReport{8, 8, 8, 0, 8, 8}));
  }
}

TEST(Driver, MillionNodeChainWithEveryStepRecordedTwice) {
  // Not through a store, so the twins survive until cse; a chain this deep
  // would exhaust the call stack of any recursive pass.
  // Each step: a = exp(v), b = exp(v), v = add(a, b).
  const uint64_t steps = 333'333;
  std::vector<NodeKey> nodes{src("x")};
  nodes.reserve(3 * steps + 1);
  for (uint64_t i = 0; i < steps; ++i) {
    uint64_t v = nodes.size() - 1;
    nodes.push_back(op("exp", {v}));
    nodes.push_back(op("exp", {v}));
    nodes.push_back(op("add", {v + 1, v + 2}));
  }
  const uint64_t n = nodes.size();
  Reduced r = reduce(nodes, {n - 1}, kPassThrough, true);
  EXPECT_EQ(r.report, (ReductionReport{n, n, 2 * steps + 1, 1, 2, 1}));
  EXPECT_EQ(r.node_map[n - 3], r.node_map[n - 2]);
  EXPECT_EQ(r.node_map[n - 1], (Placement{1, 2 * steps - 1}));
}

}  // namespace
}  // namespace trellan
