// Running out of memory anywhere inside an operation. Each operation is
// repeated with its first, second, third, ... allocation failing in turn,
// until a run needs no more allocations than allowed. Every run must either
// succeed with exactly the result of an undisturbed run, or end in
// std::bad_alloc and nothing else, leaving the store and the reducer
// consistent and usable, never poisoned: a reader changes nothing, an intern
// records its key whole or not at all, a step has consumed a prefix of its
// delta. The operation run once more, with memory to spare, then gives the
// undisturbed result. Under the sanitizer build the same runs also check
// that no failure path leaks or touches freed memory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/incremental/incremental_reducer.hpp"
#include "optimizer/passes/store_reduce.hpp"
#include "serialize/blob.hpp"
#include "store/graph_store.hpp"

// Allocations still allowed before the next one fails; negative: no limit.
// Only one allocation fails per run, so that cleanup can allocate again.
static thread_local long g_allowed = -1;
static thread_local bool g_failed = false;

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

namespace trellan::test {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const GraphStore& s) { return serialize_with(s, s.outputs()).value(); }

// The reduction entry points, in one place.
Bytes reduced_bytes(const GraphStore& s, bool maximal) {
  engine::SaturationEngine engine;
  return bytes_of(*reduce_store(s, std::nullopt, engine, maximal).value().first);
}
Bytes reduced_bytes(Reduced r) { return bytes_of(*store_from_reduced(std::move(r)).first); }

ParamMap params() {
  return ParamMap::make({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")}, {"n", ParamValue::Int(-7)},
                         {"a key too long to be kept inline", ParamValue::Str(std::string(64, 'v'))}});
}

// Every kind of node, identity and commutative ops, a stage, marks.
std::unique_ptr<GraphStore> sample_store() {
  auto s = std::make_unique<GraphStore>();
  auto add = [&](NodeKey k) { return s->intern(std::move(k)).value(); };
  const NodeId x = add(NodeKey::source("x", {})), y = add(NodeKey::source(std::string(40, 'y'), params()));
  const NodeId a = add(NodeKey::op("add", {}, {x, y})), b = add(NodeKey::op("add", {}, {y, x}));
  const NodeId z = add(NodeKey::op("add", ParamMap::make({{"scalar", ParamValue::Float(0.0)},
                                                           {"side", ParamValue::Str("r")}}), {a}));
  const NodeId m = add(NodeKey::op("mul", {}, {z, b})), c = add(NodeKey::op("f", params(), {m, m, m}));
  const NodeId r = add(NodeKey::reduction("sum", params(), {c}));
  const NodeId e = add(NodeKey::external({"model", "hash", "np", "1", "schema", "pre"}, params(), {r, x}));
  const NodeId st = add(NodeKey::stage({e}, {StageOp{"op|g", {StageRef::input(0)}},
                                             StageOp{"op|h", {StageRef::member(0), StageRef::input(0)}}}));
  (void)s->mark_output(add(NodeKey::join({}, {add(NodeKey::exchange(params(), {st})), c})));
  (void)s->mark_output(m);
  return s;
}

// What an operation works on; every run starts from a fresh one.
struct World {
  std::unique_ptr<GraphStore> store = sample_store();
  IncrementalReducer reducer;
};

// A name, and a run that checks its own result.
using Operation = std::pair<const char*, std::function<void(World&)>>;

std::vector<Operation> operations() {
  const auto sample = sample_store();
  const Bytes bytes = bytes_of(*sample), reduced[] = {reduced_bytes(*sample, false), reduced_bytes(*sample, true)};
  const std::string dot = sample->to_dot();
  const Snapshot snap = sample->snapshot();
  const uint64_t n = snap.nodes.size();
  IncrementalReducer whole;
  EXPECT_TRUE(whole.step(snap.nodes).ok());
  engine::SaturationEngine engine;
  const Bytes incremental = reduced_bytes(whole.finalize(snap.outputs, engine, false).value());
  std::vector<NodeId> marks = snap.outputs;
  marks.push_back(n);
  return {{"Readers",
           [=](World& w) {
             EXPECT_EQ(bytes_of(*deserialize(bytes).value()), bytes);
             EXPECT_EQ(w.store->to_dot(), dot);
             EXPECT_EQ(w.store->snapshot().nodes.size() + w.store->snapshot_from(3).size(), 2 * n - 3);
           }},
          {"InternAndMark",
           [=](World& w) {
             EXPECT_EQ(w.store->intern(NodeKey::op(std::string(100, 'n'), params(), {0, 1, 2, 3, 4})).value(), n);
             EXPECT_TRUE(w.store->mark_output(n).ok());
             EXPECT_EQ(w.store->outputs(), marks);
           }},
          // Batches of new, repeated and present nodes, each recorded whole or not at all.
          {"InternRows",
           [=](World& w) {
             EXPECT_EQ(w.store->node_count(), n);
             const std::vector<NodeId> ids = {0, 1, 0, 1, 2, 3, 4, 1, 0};
             const std::vector<size_t> ends = {2, 4, 9, 9};  // [0 1] [0 1] [2 3 4 1 0] []
             EXPECT_EQ(w.store->intern_rows(NodeKey::op(std::string(40, 'n'), params(), {}), ids, ends).value(),
                       (std::vector<NodeId>{n, n, n + 1, n + 2}));
           }},
          {"InternBatch",
           [=](World& w) {
             EXPECT_EQ(w.store->node_count(), n);
             std::vector<NodeKey> keys;
             for (const char* name : {"x", "new", "x", "new", "other"}) keys.push_back(NodeKey::source(name, params()));
             keys.push_back(NodeKey::source("x", {}));
             EXPECT_EQ(w.store->intern_batch(keys).value(), (std::vector<NodeId>{n, n + 1, n, n + 1, n + 2, 0}));
           }},
          {"Reductions",
           [=](World& w) {
             EXPECT_EQ(reduced_bytes(*w.store, false), reduced[0]);
             EXPECT_EQ(reduced_bytes(*w.store, true), reduced[1]);
           }},
          // Two steps, each feeding the nodes from the watermark up to its cut,
          // so that a run after a failed one goes on from where that one stopped.
          {"IncrementalReducer", [=](World& w) {
             EXPECT_LE(w.reducer.canonical_count(), w.reducer.watermark());
             for (size_t cut : {size_t{5}, snap.nodes.size()}) {
               const size_t from = w.reducer.watermark();
               if (from <= cut) ASSERT_TRUE(w.reducer.step(std::span(snap.nodes).subspan(from, cut - from)).ok());
             }
             engine::SaturationEngine engine;
             EXPECT_EQ(reduced_bytes(w.reducer.finalize(snap.outputs, engine, false).value()), incremental);
           }}};
}

class AllocFailureHardening : public testing::TestWithParam<Operation> {};

TEST_P(AllocFailureHardening, EveryAllocationMayFail) {
  const auto& run = GetParam().second;
  const Bytes bytes = bytes_of(*sample_store());
  const uint64_t n = sample_store()->node_count();
  for (long k = 0;; ++k) {
    World w;
    g_failed = false;
    g_allowed = k;
    bool failed = false;
    try {
      run(w);
    } catch (const std::bad_alloc&) {
      failed = true;
    } catch (...) { g_allowed = -1; throw; }  // fails the test, with memory to spare
    const bool reached = g_failed;
    g_allowed = -1;
    if (failed) {
      EXPECT_TRUE(reached) << "bad_alloc although no allocation failed, at " << k;
      // The store as it was (a poisoned one panics here), or with a new node whole.
      if (w.store->node_count() == n) EXPECT_EQ(bytes_of(*w.store), bytes);
      else EXPECT_EQ(w.store->node_count(), n + 1);
      SCOPED_TRACE("run again after allocation " + std::to_string(k) + " failed");
      run(w);
    }
    if (HasFailure() || !reached) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocFailureHardening, testing::ValuesIn(operations()),
                         [](const auto& info) { return std::string(info.param.first); });

}  // namespace trellan::test
