// Reduction keeps value digests also where the engine's run stops before
// every rule has applied everywhere. With a match limit of 2, a rule with
// more than 2 << 11 matches stays banned until the run's last iteration, so
// graphs of a few thousand nodes leave commutative twins apart, which a
// Python caller (whose engine has the default limit) meets only on graphs of
// millions.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/passes/driver.hpp"
#include "store/value_digests.hpp"

namespace trellan {
namespace {

void digest(std::span<const NodeKey> nodes, DigestTable& table) {
  table.grow_to(nodes.size());
  size_t done = 0;
  EXPECT_TRUE(ValueDigester().run(nodes, 0, table, done).ok());
}

TEST(ValueDigest, KeptWhereBansLeaveTwinsApart) {
  const char* names[] = {"add", "mul", "maximum", "sub"};
  size_t runs_with_twins_apart = 0;
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    const bool large = seed % 4 == 0;  // more add twins than the last threshold
    std::vector<NodeKey> nodes;
    for (int i = 0; i < 3; ++i) nodes.push_back(NodeKey::source("s" + std::to_string(i), {}));
    for (int i = 0; i < (large ? 4000 : 150); ++i) {
      const NodeId a = rng() % nodes.size(), b = rng() % nodes.size();
      const auto identity = [&](const char* name, double unit, const char* side) {
        ParamMap params = ParamMap::make({{"scalar", ParamValue::Float(unit)}, {"side", ParamValue::Str(side)}});
        nodes.push_back(NodeKey::op(name, std::move(params), {a}));
      };
      switch (rng() % 3) {
        case 0: identity("add", 0.0, rng() % 2 ? "r" : "l"); break;
        case 1: identity("mul", 1.0, "r"); break;
        default: {  // a binary op and its mirror
          const char* name = names[large ? 0 : rng() % 4];
          nodes.push_back(NodeKey::op(name, {}, {a, b}));
          nodes.push_back(NodeKey::op(name, {}, {b, a}));
        }
      }
    }
    std::vector<uint64_t> outputs;
    for (size_t k = 0; k < (large ? nodes.size() : 8); ++k) outputs.push_back(large ? k : rng() % nodes.size());
    const Reduced reduced = reduce_with_mode(nodes, outputs, engine::SaturationEngine(2), seed % 2 == 0);
    DigestTable before, after;
    digest(nodes, before);
    digest(reduced.nodes, after);
    std::set<Digest> values;
    for (size_t i = 0; i < nodes.size(); ++i) {
      const auto entry = reduced.node_map[i];
      if (!entry) continue;
      values.insert(before[i]);
      if (!entry->member || *entry->member + 1 == reduced.nodes[entry->node].members().size()) {
        EXPECT_EQ(after[entry->node], before[i]) << "seed " << seed << " node " << i;
      }
    }
    runs_with_twins_apart += reduced.report.canonical_nodes > values.size();
  }
  EXPECT_GT(runs_with_twins_apart, 0u);
}

}  // namespace
}  // namespace trellan
