#include "optimizer/passes/stage_fusion.hpp"

#include <gtest/gtest.h>

#include "reduce_fixtures.hpp"

namespace trellan {
namespace {

using namespace reduce_testing;

// Fuses the keys as they stand (they are taken as already deduplicated).
Fused fuse(const std::vector<NodeKey>& keys, std::vector<uint64_t> outputs, bool maximal) {
  TokenTable table;
  OpGraph graph;
  for (const NodeKey& k : keys) graph.add(table.record(k), !k.is_op(), k.inputs());
  graph.outputs = std::move(outputs);
  return stage_fusion(graph, table, maximal);
}

StageRef in(uint64_t slot) { return StageRef::input(slot); }
StageRef mem(uint64_t index) { return StageRef::member(index); }
NodeKey stage(IdList inputs, std::vector<StageOp> members) { return NodeKey::stage(inputs, members); }

TEST(StageFusion, ChainBecomesOneStageUnderBothRules) {
  for (bool maximal : {false, true}) {
    Fused f = fuse({src("x"), op("a", {0}), op("add", {1}, add_zero())}, {2}, maximal);
    EXPECT_EQ(f.nodes, (std::vector<NodeKey>{
                           src("x"), stage({0}, {{"op|a", {in(0)}},
                                                 {"op|add|scalar=f0000000000000000;side=sr", {mem(0)}}})}));
    EXPECT_EQ(f.outputs, (std::vector<uint64_t>{1}));
    EXPECT_EQ(f.placement, (NodeMap{Placement{0, std::nullopt}, Placement{1, 0}, Placement{1, 1}}));
    EXPECT_EQ(f.stages, 1u);
    EXPECT_EQ(f.boundary_nodes, 1u);
  }
}

TEST(StageFusion, FanOutJoinsItsConsumersOnlyUnderTheMaximalRule) {
  // 0 s, 1 a(s), 2 b(a), 3 c(a), 4 d(b, c)
  std::vector<NodeKey> keys{src("s"), op("a", {0}), op("b", {1}), op("c", {1}), op("d", {2, 3})};
  Fused single = fuse(keys, {4}, false);
  EXPECT_EQ(single.nodes, (std::vector<NodeKey>{
                              src("s"), stage({0}, {{"op|a", {in(0)}}}),
                              stage({1}, {{"op|b", {in(0)}}, {"op|c", {in(0)}}, {"op|d", {mem(0), mem(1)}}})}));
  Fused maximal = fuse(keys, {4}, true);
  EXPECT_EQ(maximal.nodes, (std::vector<NodeKey>{
                               src("s"), stage({0}, {{"op|a", {in(0)}}, {"op|b", {mem(0)}},
                                                     {"op|c", {mem(0)}}, {"op|d", {mem(1), mem(2)}}})}));
  EXPECT_EQ(maximal.placement[4], (Placement{1, 3}));
}

TEST(StageFusion, OpReadTwiceByOneOpJoinsItOnlyUnderTheMaximalRule) {
  std::vector<NodeKey> keys{src("s"), op("x", {0}), op("mul", {1, 1})};
  EXPECT_EQ(fuse(keys, {2}, false).nodes.back(), stage({1}, {{"op|mul", {in(0), in(0)}}}));
  EXPECT_EQ(fuse(keys, {2}, true).nodes.back(),
            stage({0}, {{"op|x", {in(0)}}, {"op|mul", {mem(0), mem(0)}}}));
}

TEST(StageFusion, NeitherRuleFusesIntoANonOpOrPastAnOutput) {
  // a feeds a reduction; e is read by an op and by the reduction; c is an
  // output that d reads.
  // 0 s, 1 a(s), 2 e(s), 3 r(a, e), 4 c(s), 5 d(c), 6 f(e)
  std::vector<NodeKey> keys{src("s"), op("a", {0}), op("e", {0}), red("r", {1, 2}), op("c", {0}),
                            op("d", {4}), op("f", {2})};
  for (bool maximal : {false, true}) {
    Fused f = fuse(keys, {3, 4, 5, 6}, maximal);
    EXPECT_EQ(f.stages, 5u);
    EXPECT_EQ(f.boundary_nodes, 2u);
    EXPECT_EQ(f.nodes[3], red("r", {1, 2}));
  }
}

TEST(StageFusion, OutsideNodesGetOneSlotEachInOrderOfFirstUse) {
  // 0 x, 1 y, 2 a(y, x), 3 b(a, x, y)
  Fused f = fuse({src("x"), src("y"), op("a", {1, 0}), op("b", {2, 0, 1})}, {3}, false);
  EXPECT_EQ(f.nodes.back(), stage({1, 0}, {{"op|a", {in(0), in(1)}}, {"op|b", {mem(0), in(1), in(0)}}}));
}

TEST(StageFusion, GroupsAreEmittedInTheOrderOfTheirLargestMember) {
  // Groups {a, d} and {b, c}: the second ends first, so it is emitted first.
  // 0 s, 1 a(s), 2 b(s), 3 c(b) output, 4 d(a, c) output
  Fused f = fuse({src("s"), op("a", {0}), op("b", {0}), op("c", {2}), op("d", {1, 3})}, {4, 3}, false);
  EXPECT_EQ(f.nodes, (std::vector<NodeKey>{src("s"), stage({0}, {{"op|b", {in(0)}}, {"op|c", {mem(0)}}}),
                                           stage({0, 1}, {{"op|a", {in(0)}}, {"op|d", {mem(0), in(1)}}})}));
  EXPECT_EQ(f.outputs, (std::vector<uint64_t>{2, 1}));
}

TEST(StageFusion, NonOpsSharingAnOperatorAreRebuiltWithTheirOwnInputs) {
  ParamMap p = ParamMap::make({{"scheme", ParamValue::Str("hash")}});
  Fused f = fuse({src("s"), src("t"), NodeKey::exchange(p, {0}), NodeKey::exchange(p, {1}), join({2, 3})},
                 {4}, false);
  EXPECT_EQ(f.nodes[3], NodeKey::exchange(p, {1}));
  EXPECT_EQ(f.boundary_nodes, 5u);
}

}  // namespace
}  // namespace trellan
