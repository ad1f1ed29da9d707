// A store whose lock was left poisoned refuses every operation, readers and
// reductions included, with the one fatal message; the lock is poisoned
// exactly when an exception leaves a critical section that may have changed
// the data half-way.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/panic.hpp"
#include "common/poison_mutex.hpp"
#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/passes/store_reduce.hpp"
#include "serialize/blob.hpp"
#include "store/graph_store.hpp"

namespace trellan::test {

std::string panic_message(const std::function<void()>& call) {
  try { call(); } catch (const Panic& p) { return p.what(); }
  return "no panic";
}

// The reduction entry points, in one place.
void reduce(const GraphStore& s, const std::vector<NodeId>* outputs) {
  engine::SaturationEngine engine;
  outputs ? (void)reduce_store(s, *outputs, engine, true) : (void)reduce_store(s, std::nullopt, engine, false);
}

TEST(StoreHardening, PoisonedStoreRefusesEveryOperation) {
  GraphStore s, healthy;
  ASSERT_TRUE(s.intern(NodeKey::source("x", {})).ok() && s.intern(NodeKey::op("f", {}, {0})).ok());
  ASSERT_TRUE(s.mark_output(1).ok());
  s.poison_for_testing();
  const std::vector<NodeId> outputs = {1};
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"intern", [&] { (void)s.intern(NodeKey::source("y", {})); }},
      {"intern existing", [&] { (void)s.intern(NodeKey::source("x", {})); }},
      {"intern bad input", [&] { (void)s.intern(NodeKey::op("g", {}, {99})); }},
      {"mark_output", [&] { (void)s.mark_output(0); }}, {"mark_output bad id", [&] { (void)s.mark_output(99); }},
      {"node_count", [&] { (void)s.node_count(); }}, {"outputs", [&] { (void)s.outputs(); }},
      {"node_map", [&] { (void)s.node_map(); }}, {"snapshot", [&] { (void)s.snapshot(); }},
      {"snapshot_from past the end", [&] { (void)s.snapshot_from(99); }}, {"to_dot", [&] { (void)s.to_dot(); }},
      {"serialize_with", [&] { (void)serialize_with(s, outputs); }},
      {"reduce", [&] { reduce(s, nullptr); }}, {"reduce with outputs", [&] { reduce(s, &outputs); }}};
  // Twice: the refusal does not wear off, and does not leave the lock held.
  for (const auto& [name, call] : calls) {
    for (int i = 0; i < 2; ++i) EXPECT_EQ(panic_message(call), GraphStore::kPoisoned) << name;
  }
  EXPECT_EQ(healthy.intern(NodeKey::source("x", {})).value(), 0u);
}

TEST(StoreHardening, OnlyAnExceptionInsideTheCriticalSectionPoisons) {
  PoisonMutex m("reducer poisoned");
  // Takes the lock from a destructor, as cleanup code during unwinding would.
  struct LocksOnDestruction {
    PoisonMutex& m;
    ~LocksOnDestruction() { auto guard = m.lock(); }
  };
  EXPECT_THROW({ { auto guard = m.lock(); } throw std::runtime_error("after the lock was released"); },
               std::runtime_error);
  EXPECT_THROW({ LocksOnDestruction cleanup{m}; throw std::runtime_error("unwinding"); }, std::runtime_error);
  EXPECT_FALSE(m.poisoned());
  EXPECT_THROW({ auto guard = m.lock(); throw std::runtime_error("died holding the lock"); }, std::runtime_error);
  EXPECT_TRUE(m.poisoned());
  EXPECT_EQ(panic_message([&] { auto guard = m.lock(); }), "reducer poisoned");
}

}  // namespace trellan::test
