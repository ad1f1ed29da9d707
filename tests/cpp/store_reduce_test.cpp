#include <gtest/gtest.h>

#include "common/panic.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/mod/reduced.hpp"
#include "reduce_fixtures.hpp"

namespace trellan {
namespace {

using namespace reduce_testing;

const engine::SaturationEngine kEngine;

std::vector<NodeKey> nodes_of(const GraphStore& store) { return store.snapshot().nodes; }

StoreAndReport reduce_outputs(const GraphStore& store, std::vector<NodeId> outputs) {
  return std::move(store.reduce_with_outputs(outputs, kEngine, false).value());
}

TEST(StoreReduce, ChainAgainstTheMarksLeavesTheSourceAlone) {
  auto store = make_store({src("x"), op("a", {0}), op("b", {1})}, {2});
  auto [reduced, report] = store->reduce_with(kEngine, false);
  EXPECT_EQ(nodes_of(*reduced)[0], src("x"));
  EXPECT_EQ(nodes_of(*reduced)[1].members().size(), 2u);
  EXPECT_EQ(reduced->outputs(), (std::vector<NodeId>{1}));
  EXPECT_EQ(reduced->node_map(), (NodeMap{Placement{0, std::nullopt}, Placement{1, 0}, Placement{1, 1}}));
  EXPECT_EQ(report, (ReductionReport{3, 3, 3, 1, 2, 1}));
  EXPECT_EQ(store->node_count(), 3u);
  EXPECT_TRUE(store->node_map().empty());
}

TEST(StoreReduce, ExplicitOutputsReplaceTheMarks) {
  auto store = make_store({src("x"), op("a", {0}), op("b", {1}), red("r", {2})}, {2});
  auto [none, empty_report] = reduce_outputs(*store, {});
  EXPECT_EQ(none->node_count(), 0u);
  EXPECT_TRUE(none->outputs().empty());
  EXPECT_EQ(none->node_map(), NodeMap(4, std::nullopt));
  EXPECT_EQ(empty_report, (ReductionReport{4, 0, 0, 0, 0, 0}));

  auto [twice, report] = reduce_outputs(*store, {3, 2, 3});
  EXPECT_EQ(twice->outputs(), (std::vector<NodeId>{2, 1}));
  EXPECT_EQ(store->outputs(), (std::vector<NodeId>{2}));
}

TEST(StoreReduce, FirstOutputOutsideTheStoreIsReported) {
  std::vector<NodeKey> keys{src("x")};
  for (uint64_t i = 1; i < 10; ++i) keys.push_back(op("f", {i - 1}));
  std::vector<NodeId> outputs{0, 99, 100};
  auto result = make_store(keys)->reduce_with_outputs(outputs, kEngine, false);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().id, 99u);
}

TEST(StoreReduce, CommutedAddsMergeKeepingTheFirstOrientation) {
  // 0 a, 1 b, 2 add(a, b), 3 add(b, a), 4 sub(a, b), 5 sub(b, a), 6 join(3, 2, 4, 5)
  auto store = make_store({src("a"), src("b"), op("add", {0, 1}), op("add", {1, 0}), op("sub", {0, 1}),
                           op("sub", {1, 0}), join({3, 2, 4, 5})});
  auto [reduced, report] = reduce_outputs(*store, {6});
  NodeMap map = reduced->node_map();
  EXPECT_EQ(map[2], map[3]);
  EXPECT_NE(map[4], map[5]);
  EXPECT_EQ(report.canonical_nodes, 6u);
  EXPECT_EQ(nodes_of(*reduced)[map[2]->node].inputs()[0], map[0]->node);  // still add(a, b)
}

TEST(StoreReduce, IdentityOpsFoldIntoTheirInputs) {
  // 0 x, 1 r = sum(x), 2 r + 0, 3 f(r), 4 f(r + 0), 5 join(3, 4); outputs r + 0 and the join
  auto store = make_store({src("x"), red("sum", {0}), op("add", {1}, add_zero()), op("f", {1}),
                           op("f", {2}), join({3, 4})});
  auto [reduced, report] = reduce_outputs(*store, {2, 5});
  NodeMap map = reduced->node_map();
  EXPECT_EQ(map[2], (Placement{1, std::nullopt}));
  EXPECT_EQ(map[3], map[4]);
  EXPECT_EQ(reduced->outputs(), (std::vector<NodeId>{1, 3}));
  EXPECT_EQ(nodes_of(*reduced)[3], join({2, 2}));
}

TEST(StoreReduce, ReducingAReducedStoreAgainIsAFixedPoint) {
  // Both rules, with one-member stages of equal size over one input (exp, log).
  auto store = make_store({src("x"), src("y"), op("exp", {0}), op("log", {0}), op("c", {2, 3}), op("e", {1}),
                           red("r", {4}), join({6, 5, 2, 3})},
                          {7, 5});
  for (bool maximal : {false, true}) {
    auto [once, first] = store->reduce_with(kEngine, maximal);
    auto [twice, second] = once->reduce_with(kEngine, maximal);
    EXPECT_EQ(nodes_of(*twice), nodes_of(*once));
    EXPECT_EQ(twice->outputs(), once->outputs());
    const uint64_t n = once->node_count();
    EXPECT_EQ(second, (ReductionReport{n, n, n, 0, n, n}));
    for (uint64_t i = 0; i < n; ++i) EXPECT_EQ(twice->node_map()[i], (Placement{i, std::nullopt}));
  }
}

TEST(FromReduced, EqualNodesCollapseAndLaterInputsFollow) {
  Reduced r;
  r.nodes = {src("x"), src("x"), op("a", {1}), join({0, 2})};
  r.outputs = {3, 1, 0};
  r.node_map = {Placement{1, std::nullopt}, std::nullopt, Placement{2, 0}};
  r.report = ReductionReport{3, 2, 4, 0, 4, 4};
  auto [store, report] = GraphStore::from_reduced(std::move(r));
  EXPECT_EQ(nodes_of(*store), (std::vector<NodeKey>{src("x"), op("a", {0}), join({0, 1})}));
  EXPECT_EQ(store->outputs(), (std::vector<NodeId>{2, 0}));
  EXPECT_EQ(store->node_map(), (NodeMap{Placement{0, std::nullopt}, std::nullopt, Placement{1, 0}}));
  EXPECT_EQ(report, (ReductionReport{3, 2, 4, 0, 4, 4}));
}

TEST(FromReduced, BrokenRecordsAreFatal) {
  auto expect_panic = [](std::vector<NodeKey> nodes, std::vector<uint64_t> outputs, const char* message) {
    Reduced r;
    r.nodes = std::move(nodes);
    r.outputs = std::move(outputs);
    try {
      GraphStore::from_reduced(std::move(r));
      ADD_FAILURE() << "expected a panic";
    } catch (const Panic& p) {
      EXPECT_STREQ(p.what(), message);
    }
  };
  expect_panic({src("x"), op("a", {2}), src("y")}, {}, "reduced graph references only earlier nodes");
  expect_panic({src("x"), src("x"), op("a", {3})}, {}, "reduced graph references only earlier nodes");
  expect_panic({src("x")}, {1}, "reduced output is valid");
}

}  // namespace
}  // namespace trellan
