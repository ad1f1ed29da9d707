// Reduction keeps value digests also where the engine's run stops before
// every rule has applied everywhere: with a tiny match limit, bans leave
// commutative twins and identity ops apart on small graphs, which a Python
// caller (whose engine has the default limit) meets only on huge ones.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/passes/driver.hpp"
#include "store/value_digests.hpp"

namespace trellan {
namespace {

std::vector<Digest> digests_of(std::span<const NodeKey> nodes) {
  DigestTable table;
  table.grow_to(nodes.size());
  size_t done = 0;
  EXPECT_TRUE(ValueDigester().run(nodes, 0, table, done).ok());
  std::vector<Digest> out;
  for (size_t i = 0; i < nodes.size(); ++i) out.push_back(table[i]);
  return out;
}

ParamMap identity(double unit, const char* side) {
  return ParamMap::make({{"scalar", ParamValue::Float(unit)}, {"side", ParamValue::Str(side)}});
}

TEST(ValueDigest, KeptWhereBansLeaveTwinsApart) {
  const char* names[] = {"add", "mul", "maximum", "sub"};
  size_t runs_with_twins_apart = 0;
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    std::mt19937 rng(seed);
    std::vector<NodeKey> nodes;
    for (int i = 0; i < 3; ++i) nodes.push_back(NodeKey::source("s" + std::to_string(i), {}));
    for (int i = 0; i < 150; ++i) {
      const NodeId a = rng() % nodes.size(), b = rng() % nodes.size();
      switch (rng() % 3) {
        case 0: nodes.push_back(NodeKey::op("add", identity(0.0, rng() % 2 ? "r" : "l"), {a})); break;
        case 1: nodes.push_back(NodeKey::op("mul", identity(1.0, "r"), {a})); break;
        default: {
          const char* name = names[rng() % 4];
          nodes.push_back(NodeKey::op(name, {}, {a, b}));
          nodes.push_back(NodeKey::op(name, {}, {b, a}));
        }
      }
    }
    std::vector<uint64_t> outputs;
    for (int k = 0; k < 8; ++k) outputs.push_back(rng() % nodes.size());
    const engine::SaturationEngine engine(2);
    const Reduced reduced = reduce_with_mode(nodes, outputs, engine, seed % 2 == 0);
    const std::vector<Digest> before = digests_of(nodes), after = digests_of(reduced.nodes);
    std::vector<Digest> distinct_live;
    for (size_t i = 0; i < nodes.size(); ++i) {
      const auto entry = reduced.node_map[i];
      if (!entry) continue;
      const NodeKey& landed = reduced.nodes[entry->node];
      if (entry->member && *entry->member + 1 != landed.members().size()) continue;
      EXPECT_EQ(after[entry->node], before[i]) << "seed " << seed << " node " << i;
      if (std::find(distinct_live.begin(), distinct_live.end(), before[i]) == distinct_live.end()) {
        distinct_live.push_back(before[i]);
      }
    }
    // Twins apart: more canonical nodes than distinct values.
    runs_with_twins_apart += reduced.report.canonical_nodes > distinct_live.size();
  }
  EXPECT_GT(runs_with_twins_apart, 0u);
}

}  // namespace
}  // namespace trellan
