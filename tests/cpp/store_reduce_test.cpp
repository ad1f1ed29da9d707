#include <gtest/gtest.h>

#include "common/panic.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/mod/driver.hpp"
#include "reduce_fixtures.hpp"
#include "store/graph_store.hpp"

namespace trellan {
namespace {

using namespace reduce_testing;

const PassThroughEngine kPassThrough;

std::vector<NodeKey> nodes_of(const GraphStore& store) { return store.snapshot().nodes; }

TEST(StoreReduce, ChainAgainstTheMarks) {
  auto store = make_store({src("x"), op("a", {0}), op("b", {1})}, {2});
  auto [reduced, report] = store->reduce_with(kPassThrough, false);
  EXPECT_EQ(reduced->node_count(), 2u);
  EXPECT_EQ(nodes_of(*reduced)[0], src("x"));
  EXPECT_EQ(nodes_of(*reduced)[1].members().size(), 2u);
  EXPECT_EQ(reduced->outputs(), (std::vector<NodeId>{1}));
  EXPECT_EQ(reduced->node_map(),
            (NodeMap{Placement{0, std::nullopt}, Placement{1, 0}, Placement{1, 1}}));
  EXPECT_EQ(report, (ReductionReport{3, 3, 3, 1, 2, 1}));
  // The source store is untouched.
  EXPECT_EQ(store->node_count(), 3u);
  EXPECT_EQ(store->outputs(), (std::vector<NodeId>{2}));
  EXPECT_TRUE(store->node_map().empty());
}

TEST(StoreReduce, ExplicitOutputsIgnoreTheMarks) {
  auto store = make_store({src("x"), op("a", {0}), op("b", {1})}, {2});
  std::vector<NodeId> outputs{1};
  auto result = store->reduce_with_outputs(outputs, kPassThrough, false);
  ASSERT_TRUE(result.ok());
  auto& [reduced, report] = result.value();
  EXPECT_EQ(report, (ReductionReport{3, 2, 2, 1, 2, 1}));
  EXPECT_EQ(reduced->node_map()[2], std::nullopt);
  EXPECT_EQ(store->outputs(), (std::vector<NodeId>{2}));
}

TEST(StoreReduce, FirstOutputOutsideTheStoreIsReported) {
  std::vector<NodeKey> keys{src("x")};
  for (uint64_t i = 1; i < 10; ++i) keys.push_back(op("f", {i - 1}));
  auto store = make_store(keys);
  std::vector<NodeId> outputs{0, 99, 100};
  auto result = store->reduce_with_outputs(outputs, kPassThrough, false);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().id, 99u);
}

TEST(StoreReduce, NoOutputsGiveAnEmptyStore) {
  auto store = make_store({src("x"), op("a", {0})}, {1});
  auto result = store->reduce_with_outputs({}, kPassThrough, false);
  ASSERT_TRUE(result.ok());
  auto& [reduced, report] = result.value();
  EXPECT_EQ(reduced->node_count(), 0u);
  EXPECT_TRUE(reduced->outputs().empty());
  EXPECT_EQ(reduced->node_map(), (NodeMap{std::nullopt, std::nullopt}));
  EXPECT_EQ(report, (ReductionReport{2, 0, 0, 0, 0, 0}));
}

TEST(StoreReduce, RepeatedOutputIsMarkedOnce) {
  auto store = make_store({src("x"), op("a", {0}), op("b", {1}), red("r", {2})});
  std::vector<NodeId> outputs{3, 2, 3};
  auto result = store->reduce_with_outputs(outputs, kPassThrough, false);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value().first->outputs(), (std::vector<NodeId>{2, 1}));
}

TEST(StoreReduce, ReducingAReducedStoreAgainIsAFixedPoint) {
  PayloadDescriptor d{"model", "h", "fw", "1", "io", std::nullopt};
  auto store = make_store({src("x"), src("y"), op("a", {0}), op("b", {1}), op("c", {2, 3}),
                           op("e", {2}), ext(d, {4}), red("r", {5}), NodeKey::join({}, {6, 7})},
                          {8, 5});
  for (bool maximal : {false, true}) {
    auto [once, first] = store->reduce_with(kPassThrough, maximal);
    auto [twice, second] = once->reduce_with(kPassThrough, maximal);
    EXPECT_EQ(nodes_of(*twice), nodes_of(*once));
    EXPECT_EQ(twice->outputs(), once->outputs());
    const uint64_t n = once->node_count();
    EXPECT_EQ(second, (ReductionReport{n, n, n, 0, n, n}));
    NodeMap identity;
    for (uint64_t i = 0; i < n; ++i) identity.push_back(Placement{i, std::nullopt});
    EXPECT_EQ(twice->node_map(), identity);
  }
}

TEST(FromReduced, EqualNodesCollapseAndLaterInputsFollow) {
  Reduced r;
  r.nodes = {src("x"), src("x"), op("a", {1}), NodeKey::join({}, {0, 2})};
  r.outputs = {3, 1, 0};
  r.node_map = {Placement{1, std::nullopt}, std::nullopt, Placement{2, 0}};
  r.report = ReductionReport{3, 2, 4, 0, 4, 4};
  auto [store, report] = GraphStore::from_reduced(std::move(r));
  EXPECT_EQ(nodes_of(*store),
            (std::vector<NodeKey>{src("x"), op("a", {0}), NodeKey::join({}, {0, 1})}));
  EXPECT_EQ(store->outputs(), (std::vector<NodeId>{2, 0}));
  EXPECT_EQ(store->node_map(), (NodeMap{Placement{0, std::nullopt}, std::nullopt, Placement{1, 0}}));
  EXPECT_EQ(report, (ReductionReport{3, 2, 4, 0, 4, 4}));
}

void expect_panic(Reduced r, const char* message) {
  try {
    GraphStore::from_reduced(std::move(r));
    FAIL() << "expected a panic";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), message);
  }
}

TEST(FromReduced, BrokenRecordsAreFatal) {
  Reduced forward;
  forward.nodes = {src("x"), op("a", {2}), src("y")};
  expect_panic(std::move(forward), "reduced graph references only earlier nodes");

  Reduced forward_after_collapse;
  forward_after_collapse.nodes = {src("x"), src("x"), op("a", {3})};
  expect_panic(std::move(forward_after_collapse), "reduced graph references only earlier nodes");

  Reduced bad_output;
  bad_output.nodes = {src("x")};
  bad_output.outputs = {1};
  expect_panic(std::move(bad_output), "reduced output is valid");
}

// End to end with the saturation engine, as Python reductions run.
class WithSaturation : public ::testing::Test {
 protected:
  StoreAndReport reduce(const std::vector<NodeKey>& keys, const std::vector<NodeId>& marks,
                        bool maximal = false) {
    return make_store(keys, marks)->reduce_with(engine_, maximal);
  }
  engine::SaturationEngine engine_;
};

TEST_F(WithSaturation, ChainReport) {
  auto [reduced, report] = reduce({src("x"), op("a", {0}), op("b", {1})}, {2});
  EXPECT_EQ(report, (ReductionReport{3, 3, 3, 1, 2, 1}));
  EXPECT_EQ(reduced->node_map(),
            (NodeMap{Placement{0, std::nullopt}, Placement{1, 0}, Placement{1, 1}}));
}

TEST_F(WithSaturation, CommutedAddsMergeKeepingTheFirstOrientation) {
  // 0 a, 1 b, 2 add(a, b), 3 add(b, a), 4 sub(a, b), 5 sub(b, a), 6 join(3, 2), 7 join(4, 5)
  auto [reduced, report] = reduce({src("a"), src("b"), op("add", {0, 1}), op("add", {1, 0}),
                                   op("sub", {0, 1}), op("sub", {1, 0}), NodeKey::join({}, {3, 2}),
                                   NodeKey::join({}, {4, 5})},
                                  {6, 7});
  NodeMap map = reduced->node_map();
  EXPECT_EQ(map[2], map[3]);
  EXPECT_NE(map[4], map[5]);
  EXPECT_EQ(report.canonical_nodes, 7u);
  auto nodes = nodes_of(*reduced);
  const NodeKey& add = nodes[map[2]->node];
  EXPECT_EQ(add.members()[0].token, "op|add");
  EXPECT_EQ(add.inputs()[0], map[0]->node);  // still add(a, b)
  EXPECT_EQ(add.inputs()[1], map[1]->node);
}

TEST_F(WithSaturation, UnusedCommutedTwinIsDropped) {
  auto [reduced, report] = reduce({src("a"), src("b"), op("add", {0, 1}), op("add", {1, 0})}, {2});
  EXPECT_EQ(reduced->node_map()[3], std::nullopt);
}

TEST_F(WithSaturation, IdentityOpLandsOnItsInput) {
  // 0 x, 1 r = sum(x), 2 y = r + 0; output y
  auto [reduced, report] =
      reduce({src("x"), red("sum", {0}), op("add", {1}, add_zero())}, {2});
  NodeMap map = reduced->node_map();
  EXPECT_EQ(map[2], map[1]);
  EXPECT_EQ(map[1], (Placement{1, std::nullopt}));
  EXPECT_EQ(reduced->outputs(), (std::vector<NodeId>{1}));
  EXPECT_EQ(report, (ReductionReport{3, 3, 2, 0, 2, 2}));
}

TEST_F(WithSaturation, SameOpOverXAndOverXPlusZeroMerge) {
  // 0 x, 1 y = x + 0, 2 f(x), 3 f(y), 4 join(2, 3)
  auto [reduced, report] = reduce({src("x"), op("add", {0}, add_zero()), op("f", {0}),
                                   op("f", {1}), NodeKey::join({}, {2, 3})},
                                  {4});
  NodeMap map = reduced->node_map();
  EXPECT_EQ(map[2], map[3]);
  EXPECT_EQ(map[1], map[0]);
  EXPECT_EQ(nodes_of(*reduced).back(), NodeKey::join({}, {1, 1}));
}

TEST_F(WithSaturation, ExternalsWithEqualTokensStayApart) {
  PayloadDescriptor absent{"model", "h", "fw", "1", "io", std::nullopt};
  PayloadDescriptor dash = absent;
  dash.preprocessing_ref = "-";
  auto [reduced, report] =
      reduce({src("x"), ext(absent, {0}), ext(dash, {0}), NodeKey::join({}, {1, 2})}, {3});
  auto nodes = nodes_of(*reduced);
  ASSERT_EQ(nodes.size(), 4u);
  EXPECT_EQ(nodes[1], ext(absent, {0}));
  EXPECT_EQ(nodes[2], ext(dash, {0}));
}

TEST_F(WithSaturation, ReReductionIsAFixedPointAndKeepsStagesApart) {
  // exp(x) and log(x) become two one-member stages over x: equal tokens,
  // equal inputs, different members.
  auto store = make_store({src("x"), op("exp", {0}), op("log", {0}), NodeKey::join({}, {1, 2})}, {3});
  auto [once, first] = store->reduce_with(engine_, false);
  auto [twice, second] = once->reduce_with(engine_, false);
  EXPECT_EQ(first.stages, 2u);
  EXPECT_EQ(nodes_of(*twice), nodes_of(*once));
  const uint64_t n = once->node_count();
  EXPECT_EQ(second, (ReductionReport{n, n, n, 0, n, n}));
}

}  // namespace
}  // namespace trellan
