// Running out of memory anywhere inside an operation. Each test repeats one
// operation, failing its first, second, third, ... allocation in turn until
// a run needs no more allocations than allowed. Every run must either
// succeed with exactly the result of an undisturbed run, or end in
// std::bad_alloc and nothing else, leaving the store and the reducer
// consistent and usable, never poisoned: a reader changes nothing, an intern
// records its key whole or not at all, a step has consumed a prefix of its
// delta. The operation run once more, with memory to spare, then gives the
// undisturbed result. Under the sanitizer build the same runs also check
// that no failure path leaks or touches freed memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <typeinfo>
#include <vector>

#include "common/panic.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/incremental/incremental_reducer.hpp"
#include "optimizer/passes/store_reduce.hpp"
#include "serialize/blob.hpp"
#include "store/graph_store.hpp"

namespace {
// Allocations still allowed before the next one fails; negative: no limit.
// Only one allocation fails per run, so that cleanup can allocate again.
thread_local long g_allowed = -1;
thread_local bool g_failed = false;
}  // namespace

void* operator new(std::size_t n) {
  if (g_allowed == 0) {
    g_allowed = -1;
    g_failed = true;
    throw std::bad_alloc();
  }
  if (g_allowed > 0) --g_allowed;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace trellan;

namespace {

ParamMap params() {
  return ParamMap::make({{"scalar", ParamValue::Float(0.0)},
                         {"side", ParamValue::Str("r")},
                         {"a long key that does not fit inline", ParamValue::Str(std::string(64, 'v'))},
                         {"n", ParamValue::Int(-7)},
                         {"b", ParamValue::Bool(true)}});
}

// Every kind of node, identity and commutative ops, a stage, marks.
std::unique_ptr<GraphStore> sample_store() {
  auto s = std::make_unique<GraphStore>();
  auto add = [&](NodeKey k) { return s->intern(std::move(k)).value(); };
  NodeId x = add(NodeKey::source("x", {}));
  NodeId y = add(NodeKey::source(std::string(40, 'y'), params()));
  NodeId a = add(NodeKey::op("add", {}, {x, y}));
  NodeId b = add(NodeKey::op("add", {}, {y, x}));
  NodeId z = add(NodeKey::op("add", ParamMap::make({{"scalar", ParamValue::Float(0.0)},
                                                    {"side", ParamValue::Str("r")}}),
                             {a}));
  NodeId m = add(NodeKey::op("mul", {}, {z, b}));
  NodeId c = add(NodeKey::op("f", params(), {m, m, m}));
  NodeId r = add(NodeKey::reduction("sum", params(), {c}));
  PayloadDescriptor d{"model", "hash", "np", "1", "schema", std::string("pre")};
  NodeId e = add(NodeKey::external(d, params(), {r, x}));
  NodeId st = add(NodeKey::stage({e}, {StageOp{"op|g", {StageRef::input(0)}},
                                       StageOp{"op|h", {StageRef::member(0), StageRef::input(0)}}}));
  NodeId ex = add(NodeKey::exchange(params(), {st}));
  NodeId j = add(NodeKey::join({}, {ex, c}));
  (void)s->mark_output(j);
  (void)s->mark_output(m);
  return s;
}

std::vector<uint8_t> bytes_of(const GraphStore& s) { return serialize_with(s, s.outputs()).value(); }

// Runs `op` with the k-th allocation failing, for k = 0, 1, ... until a run
// completes without reaching its limit. `setup` runs before each run without
// a limit; `op` returns normally only on success; `after_failure` inspects
// the state after each run that ended in bad_alloc, and `op` then runs again
// without a limit on what that run left behind.
void fail_each_allocation(const std::function<void()>& setup, const std::function<void()>& op,
                          const std::function<void()>& after_failure) {
  for (long k = 0;; ++k) {
    ASSERT_LT(k, 1'000'000) << "runaway";
    setup();
    g_failed = false;
    g_allowed = k;
    bool ok = true;
    try {
      op();
    } catch (const std::bad_alloc&) {
      ok = false;
    } catch (const std::exception& e) {
      g_allowed = -1;
      FAIL() << "allocation " << k << " failing gave " << typeid(e).name() << ": " << e.what();
    }
    const bool reached = g_failed;
    g_allowed = -1;
    if (!ok) {
      EXPECT_TRUE(reached) << "bad_alloc although no allocation failed, at " << k;
      after_failure();
      if (::testing::Test::HasFailure()) return;
      SCOPED_TRACE("run again after allocation " + std::to_string(k) + " failed");
      op();
    }
    if (::testing::Test::HasFailure()) return;
    if (!reached) {
      EXPECT_GT(k, 0) << "the operation never allocated";
      if (std::getenv("ALLOC_FAILURE_VERBOSE")) std::fprintf(stderr, "%ld allocation points\n", k);
      return;
    }
  }
}

// A store after a failed read: as it was, and not poisoned (a poisoned store
// panics here).
void expect_intact(const GraphStore& s, const std::vector<uint8_t>& bytes) { EXPECT_EQ(bytes_of(s), bytes); }

const std::vector<uint8_t>& sample_bytes() {
  static const std::vector<uint8_t> bytes = bytes_of(*sample_store());
  return bytes;
}

TEST(AllocFailureHardening, Deserialize) {
  const std::vector<uint8_t>& blob = sample_bytes();
  fail_each_allocation(
      [] {},
      [&] {
        auto store = deserialize(blob);
        ASSERT_TRUE(store.ok());
        EXPECT_EQ(bytes_of(*store.value()), blob);
      },
      [] {});
}

TEST(AllocFailureHardening, SerializeAndDot) {
  std::unique_ptr<GraphStore> s;
  const std::string dot = sample_store()->to_dot();
  const std::vector<NodeId> outputs = {11, 5};
  fail_each_allocation(
      [&] { s = sample_store(); },
      [&] {
        EXPECT_EQ(serialize_with(*s, outputs).value(), sample_bytes());
        EXPECT_EQ(s->to_dot(), dot);
      },
      [&] { expect_intact(*s, sample_bytes()); });
}

TEST(AllocFailureHardening, Snapshots) {
  std::unique_ptr<GraphStore> s;
  const Snapshot snap = sample_store()->snapshot();
  fail_each_allocation(
      [&] { s = sample_store(); },
      [&] {
        Snapshot again = s->snapshot();
        EXPECT_EQ(again.outputs, snap.outputs);
        EXPECT_EQ(again.nodes.size(), snap.nodes.size());
        EXPECT_EQ(s->snapshot_from(3).size(), snap.nodes.size() - 3);
        EXPECT_EQ(s->outputs(), snap.outputs);
        EXPECT_TRUE(s->node_map().empty());
      },
      [&] { expect_intact(*s, sample_bytes()); });
}

TEST(AllocFailureHardening, InternAndMark) {
  std::unique_ptr<GraphStore> s;
  const uint64_t n = sample_store()->node_count();
  fail_each_allocation(
      [&] { s = sample_store(); },
      [&] {
        NodeKey key = NodeKey::op(std::string(100, 'n'), params(), {0, 1, 2, 3, 4});
        EXPECT_EQ(s->intern(std::move(key)).value(), n);
        EXPECT_TRUE(s->mark_output(n).ok());
        EXPECT_EQ(s->outputs().back(), n);
      },
      [&] {
        // Nothing recorded; or the node recorded, and marked or not.
        const uint64_t count = s->node_count();
        EXPECT_TRUE(count == n || count == n + 1);
        if (count == n) expect_intact(*s, sample_bytes());
        std::vector<NodeId> marks = sample_store()->outputs();
        if (s->outputs().size() > marks.size()) marks.push_back(n);
        EXPECT_EQ(s->outputs(), marks);
      });
}

TEST(AllocFailureHardening, Reductions) {
  std::unique_ptr<GraphStore> s;
  for (bool maximal : {false, true}) {
    std::vector<uint8_t> expected;
    {
      engine::SaturationEngine engine;
      expected = bytes_of(*reduce_store(*sample_store(), std::nullopt, engine, maximal).value().first);
    }
    fail_each_allocation(
        [&] { s = sample_store(); },
        [&] {
          engine::SaturationEngine engine;
          StoreAndReport r = reduce_store(*s, std::nullopt, engine, maximal).value();
          EXPECT_EQ(bytes_of(*r.first), expected);
        },
        [&] { expect_intact(*s, sample_bytes()); });
  }
}

TEST(AllocFailureHardening, IncrementalReducer) {
  const std::vector<NodeKey> nodes = sample_store()->snapshot().nodes;
  const std::vector<NodeId> outputs = sample_store()->outputs();
  std::vector<uint8_t> expected;
  {
    IncrementalReducer r;
    ASSERT_TRUE(r.step(nodes).ok());
    engine::SaturationEngine engine;
    expected = bytes_of(*store_from_reduced(r.finalize(outputs, engine, false).value()).first);
  }
  // Two steps, each feeding the nodes from the watermark up to its cut, so
  // that a run after a failed one goes on from where that one stopped.
  std::unique_ptr<IncrementalReducer> r;
  fail_each_allocation(
      [&] { r = std::make_unique<IncrementalReducer>(); },
      [&] {
        for (size_t cut : {size_t{5}, nodes.size()}) {
          const size_t from = r->watermark();
          if (from > cut) continue;
          ASSERT_TRUE(r->step(std::span<const NodeKey>(nodes).subspan(from, cut - from)).ok());
        }
        engine::SaturationEngine engine;
        auto reduced = r->finalize(outputs, engine, false);
        ASSERT_TRUE(reduced.ok());
        EXPECT_EQ(bytes_of(*store_from_reduced(std::move(reduced).value()).first), expected);
      },
      [&] { EXPECT_LE(r->canonical_count(), r->watermark()); });
}

}  // namespace
