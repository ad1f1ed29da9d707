#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "common/panic.hpp"
#include "store/graph_store.hpp"

using namespace trellan;

namespace {
NodeId must(Result<NodeId, BadNodeId> r) {
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : ~0ULL;
}
}  // namespace

TEST(GraphStore, NewStoreIsEmpty) {
  GraphStore s;
  EXPECT_EQ(s.node_count(), 0u);
  EXPECT_TRUE(s.outputs().empty());
  EXPECT_TRUE(s.node_map().empty());
  EXPECT_TRUE(s.snapshot_from(0).empty());
}

TEST(GraphStore, InterningSharesEqualKeys) {
  GraphStore s;
  EXPECT_EQ(must(s.intern(NodeKey::source("x", {}))), 0u);
  EXPECT_EQ(must(s.intern(NodeKey::source("x", {}))), 0u);
  EXPECT_EQ(must(s.intern(NodeKey::source("y", {}))), 1u);
  EXPECT_EQ(must(s.intern(NodeKey::op("add", {}, {0, 1}))), 2u);
  EXPECT_EQ(must(s.intern(NodeKey::op("add", {}, {1, 0}))), 3u);
  EXPECT_EQ(must(s.intern(NodeKey::op("add", {}, {0, 1}))), 2u);
  EXPECT_EQ(must(s.intern(NodeKey::op("noinputs", {}, {}))), 4u);
  EXPECT_EQ(s.node_count(), 5u);
}

TEST(GraphStore, RejectsForwardInputsWithoutChange) {
  GraphStore s;
  must(s.intern(NodeKey::source("x", {})));
  auto r = s.intern(NodeKey::op("f", {}, {0, 1, 7}));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().id, 1u);
  EXPECT_EQ(r.error().message(), "no node with id 1");
  EXPECT_EQ(s.node_count(), 1u);
}

TEST(GraphStore, StageMembersAreNotCheckedByTheStore) {
  GraphStore s;
  must(s.intern(NodeKey::source("x", {})));
  std::vector<StageOp> members = {StageOp{"op|neg", {StageRef::input(99), StageRef::member(5)}}};
  EXPECT_TRUE(s.intern(NodeKey::stage({0}, members)).ok());
}

TEST(GraphStore, MarksKeepFirstOrderWithoutRepeats) {
  GraphStore s;
  for (const char* n : {"a", "b", "c"}) must(s.intern(NodeKey::source(n, {})));
  EXPECT_TRUE(s.mark_output(2).ok());
  EXPECT_TRUE(s.mark_output(0).ok());
  EXPECT_TRUE(s.mark_output(2).ok());
  EXPECT_EQ(s.outputs(), (std::vector<NodeId>{2, 0}));
  auto bad = s.mark_output(3);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().id, 3u);
  EXPECT_EQ(s.snapshot().outputs, (std::vector<NodeId>{2, 0}));
}

TEST(GraphStore, SnapshotFrom) {
  GraphStore s;
  for (const char* n : {"a", "b", "c"}) must(s.intern(NodeKey::source(n, {})));
  EXPECT_EQ(s.snapshot_from(0).size(), 3u);
  auto tail = s.snapshot_from(2);
  ASSERT_EQ(tail.size(), 1u);
  EXPECT_EQ(tail[0], NodeKey::source("c", {}));
  EXPECT_TRUE(s.snapshot_from(3).empty());
  EXPECT_TRUE(s.snapshot_from(~0ULL).empty());
}

// A shared snapshot is a view into the arena's buffer: when the arena grows
// past it, the keys must be copied for the store, not moved out of the view.
TEST(GraphStore, SharedSnapshotOutlivesGrowthAndStore) {
  auto s = std::make_unique<GraphStore>();
  for (int i = 0; i < 3; ++i) must(s->intern(NodeKey::op("f" + std::to_string(i), {}, {})));
  SharedSnapshot early = s->shared_snapshot();
  const std::vector<NodeKey> expected = early.nodes.to_vector();
  for (int i = 3; i < 5000; ++i) must(s->intern(NodeKey::op("a-name-longer-than-inline-" + std::to_string(i), {}, {})));
  EXPECT_EQ(early.nodes.to_vector(), expected);
  SharedNodes later = s->shared_nodes();
  EXPECT_EQ(later.size(), 5000u);
  s.reset();
  EXPECT_EQ(early.nodes.to_vector(), expected);
  EXPECT_EQ(later[4999].name(), "a-name-longer-than-inline-4999");
}

// The packed node map switches to wide words for values past 32 bits.
TEST(NodeMap, HoldsEveryValue) {
  const std::vector<NodeMap::Entry> entries = {
      Placement{0, std::nullopt}, std::nullopt,          Placement{7, 3},
      Placement{0xFFFFFFFEull, 0xFFFFFFFEull}, Placement{0xFFFFFFFFull, std::nullopt},
      Placement{1ull << 40, 1ull << 35},       std::nullopt,
  };
  NodeMap map;
  for (const auto& e : entries) map.push_back(e);
  ASSERT_EQ(map.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(map[i], entries[i]) << i;
}

TEST(GraphStore, ManyKeysStayDistinctThroughGrowth) {
  GraphStore s;
  must(s.intern(NodeKey::source("x", {})));
  for (NodeId i = 0; i < 20000; ++i) {
    std::vector<ParamEntry> e;
    e.emplace_back("k", ParamValue::Int(static_cast<int64_t>(i)));
    EXPECT_EQ(must(s.intern(NodeKey::op("f", ParamMap::make(e), {i / 2}))), i + 1);
  }
  for (NodeId i = 0; i < 20000; i += 997) {
    std::vector<ParamEntry> e;
    e.emplace_back("k", ParamValue::Int(static_cast<int64_t>(i)));
    EXPECT_EQ(must(s.intern(NodeKey::op("f", ParamMap::make(e), {i / 2}))), i + 1);
  }
}

TEST(GraphStore, ConcurrentInterningGivesDenseSharedIds) {
  GraphStore s;
  must(s.intern(NodeKey::source("root", {})));
  std::vector<std::thread> threads;
  std::vector<std::vector<NodeId>> got(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) got[t].push_back(must(s.intern(NodeKey::op(std::to_string(i), {}, {0}))));
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(s.node_count(), 2001u);
  for (int t = 1; t < 4; ++t) EXPECT_EQ(got[t], got[0]);
}

TEST(GraphStore, PoisonedLockPanicsOnEveryLaterCall) {
  GraphStore s;
  must(s.intern(NodeKey::source("x", {})));
  s.poison_for_testing();
  try {
    s.node_count();
    FAIL() << "expected a panic";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "trellan-core store mutex poisoned");
  }
  EXPECT_THROW(s.intern(NodeKey::source("y", {})), Panic);
  EXPECT_THROW(s.outputs(), Panic);
  EXPECT_THROW(s.snapshot(), Panic);
}
