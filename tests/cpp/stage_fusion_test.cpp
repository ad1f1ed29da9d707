#include "optimizer/mod/stage_fusion.hpp"

#include <gtest/gtest.h>

#include "common/panic.hpp"
#include "reduce_fixtures.hpp"

namespace trellan {
namespace {

using namespace reduce_testing;

// The keys as a deduplicated graph, every operator recorded in the table.
struct Input {
  TokenTable table;
  OpGraph graph;
  Input(const std::vector<NodeKey>& keys, std::vector<uint64_t> outputs) {
    for (const NodeKey& k : keys) graph.add(table.record(k), !k.is_op(), k.inputs());
    graph.outputs = std::move(outputs);
  }
  Fused fuse(bool maximal) const { return stage_fusion(graph, table, maximal); }
};

StageOp member(const std::string& token, std::vector<StageRef> refs) { return StageOp{token, refs}; }
StageRef in(uint64_t slot) { return StageRef::input(slot); }
StageRef mem(uint64_t index) { return StageRef::member(index); }

TEST(StageFusion, ChainBecomesOneStage) {
  Input in_({src("x"), op("a", {0}), op("b", {1})}, {2});
  for (bool maximal : {false, true}) {
    Fused f = in_.fuse(maximal);
    ASSERT_EQ(f.nodes.size(), 2u);
    EXPECT_EQ(f.nodes[0], src("x"));
    EXPECT_EQ(f.nodes[1], NodeKey::stage({0}, {member("op|a", {in(0)}), member("op|b", {mem(0)})}));
    EXPECT_EQ(f.outputs, (std::vector<uint64_t>{1}));
    EXPECT_EQ(f.placement, (std::vector<Placement>{{0, std::nullopt}, {1, 0}, {1, 1}}));
    EXPECT_EQ(f.stages, 1u);
    EXPECT_EQ(f.boundary_nodes, 1u);
  }
}

TEST(StageFusion, LoneOutputOpIsAStageOfOneMember) {
  Input in_({src("x"), op("add", {0}, add_zero())}, {1});
  Fused f = in_.fuse(false);
  ASSERT_EQ(f.nodes.size(), 2u);
  EXPECT_EQ(f.nodes[1], NodeKey::stage({0}, {member(kAddZero, {in(0)})}));
}

// 0 src, 1 a(0), 2 b(1), 3 c(1), 4 d(2, 3); output d.
std::vector<NodeKey> fan_out() {
  return {src("s"), op("a", {0}), op("b", {1}), op("c", {1}), op("d", {2, 3})};
}

TEST(StageFusion, FanOutStaysApartUnderTheSingleUseRule) {
  Input in_(fan_out(), {4});
  Fused f = in_.fuse(false);
  ASSERT_EQ(f.nodes.size(), 3u);
  EXPECT_EQ(f.nodes[1], NodeKey::stage({0}, {member("op|a", {in(0)})}));
  EXPECT_EQ(f.nodes[2], NodeKey::stage({1}, {member("op|b", {in(0)}), member("op|c", {in(0)}),
                                            member("op|d", {mem(0), mem(1)})}));
  EXPECT_EQ(f.stages, 2u);
  EXPECT_EQ(f.placement[1], (Placement{1, 0}));
  EXPECT_EQ(f.placement[3], (Placement{2, 1}));
}

TEST(StageFusion, FanOutJoinsItsConsumersUnderTheMaximalRule) {
  Input in_(fan_out(), {4});
  Fused f = in_.fuse(true);
  ASSERT_EQ(f.nodes.size(), 2u);
  EXPECT_EQ(f.nodes[1],
            NodeKey::stage({0}, {member("op|a", {in(0)}), member("op|b", {mem(0)}),
                                 member("op|c", {mem(0)}), member("op|d", {mem(1), mem(2)})}));
  EXPECT_EQ(f.stages, 1u);
  EXPECT_EQ(f.boundary_nodes, 1u);
}

TEST(StageFusion, OpReadTwiceByOneConsumer) {
  // 0 src, 1 x(0), 2 mul(1, 1)
  Input in_({src("s"), op("x", {0}), op("mul", {1, 1})}, {2});
  Fused single = in_.fuse(false);
  ASSERT_EQ(single.nodes.size(), 3u);
  EXPECT_EQ(single.nodes[2], NodeKey::stage({1}, {member("op|mul", {in(0), in(0)})}));
  Fused maximal = in_.fuse(true);
  ASSERT_EQ(maximal.nodes.size(), 2u);
  EXPECT_EQ(maximal.nodes[1],
            NodeKey::stage({0}, {member("op|x", {in(0)}), member("op|mul", {mem(0), mem(0)})}));
}

TEST(StageFusion, OpFeedingAReductionIsNotFusedIntoIt) {
  Input in_({src("s"), op("a", {0}), red("sum", {1})}, {2});
  for (bool maximal : {false, true}) {
    Fused f = in_.fuse(maximal);
    ASSERT_EQ(f.nodes.size(), 3u);
    EXPECT_EQ(f.nodes[1], NodeKey::stage({0}, {member("op|a", {in(0)})}));
    EXPECT_EQ(f.nodes[2], red("sum", {1}));
    EXPECT_EQ(f.stages, 1u);
    EXPECT_EQ(f.boundary_nodes, 2u);
  }
}

TEST(StageFusion, OutputOpReadByAnotherOpIsNotFused) {
  Input in_({src("s"), op("a", {0}), op("b", {1})}, {2, 1});
  for (bool maximal : {false, true}) {
    Fused f = in_.fuse(maximal);
    ASSERT_EQ(f.nodes.size(), 3u);
    EXPECT_EQ(f.nodes[2], NodeKey::stage({1}, {member("op|b", {in(0)})}));
    EXPECT_EQ(f.outputs, (std::vector<uint64_t>{2, 1}));
  }
}

TEST(StageFusion, MaximalRuleNeedsAllConsumersInOneOpGroup) {
  // a is read by b and c, which end in different stages (both are outputs);
  // e is read by an op and by a reduction.
  Input in_({src("s"), op("a", {0}), op("b", {1}), op("c", {1}), op("e", {0}), op("f", {4}),
             red("r", {4})},
            {2, 3, 5, 6});
  Fused f = in_.fuse(true);
  EXPECT_EQ(f.stages, 5u);
  EXPECT_EQ(f.boundary_nodes, 2u);
}

TEST(StageFusion, MembersReadingOneOutsideNodeShareASlotNumberedByFirstUse) {
  // 0 x, 1 y, 2 a(y, x), 3 b(a, x, y)
  Input in_({src("x"), src("y"), op("a", {1, 0}), op("b", {2, 0, 1})}, {3});
  Fused f = in_.fuse(false);
  ASSERT_EQ(f.nodes.size(), 3u);
  EXPECT_EQ(f.nodes[2], NodeKey::stage({1, 0}, {member("op|a", {in(0), in(1)}),
                                               member("op|b", {mem(0), in(1), in(0)})}));
}

TEST(StageFusion, GroupsAreEmittedInTheOrderOfTheirLargestMember) {
  // Groups {1, 4} and {2, 3}: the second has the smaller sink, so it comes
  // first, and the first reads it through a slot.
  // 0 s, 1 a(0), 2 b(0), 3 c(2) output, 4 d(1, 3) output
  Input in_({src("s"), op("a", {0}), op("b", {0}), op("c", {2}), op("d", {1, 3})}, {4, 3});
  Fused f = in_.fuse(false);
  ASSERT_EQ(f.nodes.size(), 3u);
  EXPECT_EQ(f.nodes[1], NodeKey::stage({0}, {member("op|b", {in(0)}), member("op|c", {mem(0)})}));
  EXPECT_EQ(f.nodes[2], NodeKey::stage({0, 1}, {member("op|a", {in(0)}), member("op|d", {mem(0), in(1)})}));
  EXPECT_EQ(f.outputs, (std::vector<uint64_t>{2, 1}));
  EXPECT_EQ(f.placement[1], (Placement{2, 0}));
  EXPECT_EQ(f.placement[2], (Placement{1, 0}));
}

TEST(StageFusion, SingleUseGroupsTakeTheirSmallestMemberAsKey) {
  // Two chains merging into one op: the union of roots 1 and 3 keeps 1.
  Input in_({src("s"), op("a", {0}), op("b", {1}), op("c", {0}), op("d", {2, 3})}, {4});
  EXPECT_EQ(fusion_groups(in_.graph, false), (std::vector<uint64_t>{0, 1, 1, 1, 1}));
  EXPECT_EQ(fusion_groups(in_.graph, true), (std::vector<uint64_t>{0, 4, 4, 4, 4}));
}

TEST(StageFusion, BoundaryNodesAreRebuiltFromTheirFirstKeyWithNewInputs) {
  // Two exchanges with equal fields over different inputs share one table
  // entry; each is emitted with its own inputs.
  ParamMap p = params({{"scheme", ParamValue::Str("hash")}});
  Input in_({src("s"), src("t"), NodeKey::exchange(p, {0}), NodeKey::exchange(p, {1}),
             NodeKey::join({}, {2, 3})},
            {4});
  Fused f = in_.fuse(false);
  ASSERT_EQ(f.nodes.size(), 5u);
  EXPECT_EQ(f.nodes[3], NodeKey::exchange(p, {1}));
  EXPECT_EQ(f.nodes[4], NodeKey::join({}, {2, 3}));
  EXPECT_EQ(f.boundary_nodes, 5u);
}

TEST(StageFusion, OperatorWithoutAKeyIsFatal) {
  TokenTable table;
  OpGraph g;
  g.add(table.intern("src|x"), true, {});
  g.outputs = {0};
  try {
    stage_fusion(g, table, false);
    FAIL() << "expected a panic";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "no entry found for key");
  }
}

TEST(StageFusion, EmptyGraph) {
  Input in_({}, {});
  Fused f = in_.fuse(true);
  EXPECT_TRUE(f.nodes.empty());
  EXPECT_EQ(f.stages + f.boundary_nodes, 0u);
}

}  // namespace
}  // namespace trellan
