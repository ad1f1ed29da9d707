// The engine runs the rules with its own operator numbering; the same rules
// run directly on the e-graph library, with operators as text symbols, must
// reach the same partition and end the same way, also when bans and their
// shortening decide where a run stops.
#include "optimizer/engine/saturation_engine.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace trellan::engine {

// With a match limit of 2 or 4, rules are banned and bans cut short on small
// graphs, so the runs stop in every way a large graph's run can.
TEST(SaturationEngine, AgreesWithTheLibraryUnderBans) {
  const std::vector<std::string> ops{"op|add", "op|mul", "op|maximum", "op|sub", "op|neg", "red|sum", "op|add|k=i1",
                                     "op|add|scalar=f0000000000000000;side=sr",
                                     "op|add|scalar=f0000000000000000;side=sl",
                                     "op|mul|scalar=f3ff0000000000000;side=sr"};
  size_t longest = 0;
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 rng(seed);
    const SaturationEngine engine(seed % 2 ? 2 : 4);
    EngineGraph g;
    const auto add = [&](const std::string& op, std::vector<uint64_t> kids) {
      g.nodes.push_back({op, std::move(kids), !op.starts_with("op|")});
    };
    for (int i = 0; i < 3; ++i) add("src|s" + std::to_string(i), {});
    const int n = 10 + static_cast<int>(rng() % (seed % 3 ? 120 : 600));
    for (int i = 0; i < n; ++i) {
      const std::string& op = ops[rng() % ops.size()];
      const bool unary = op == "op|neg" || op == "red|sum" || op.find("scalar") != std::string::npos;
      std::vector<uint64_t> kids;
      for (size_t k = 0; k < (unary ? 1u : 2u); ++k) kids.push_back(rng() % g.nodes.size());
      add(op, kids);
      // Twins recorded the other way round, for commutativity to merge.
      if (kids.size() == 2 && rng() % 3 == 0) add(op, {kids[1], kids[0]});
    }
    g.outputs = {g.nodes.size() - 1, rng() % g.nodes.size()};
    SaturationSummary summary;
    const Canonical c = engine.canonicalize_with_summary(g, summary);

    // The same rules and runner on the library; node operators join the rules' symbols.
    egraph::SymbolTable symbols = engine.rule_symbols;
    egraph::EGraph eg;
    std::vector<egraph::Id> classes;
    for (const EngineNode& node : g.nodes) {
      std::vector<egraph::Id> kids;
      for (uint64_t k : node.children) kids.push_back(classes[k]);
      classes.push_back(eg.find(eg.add(egraph::ENode(symbols.intern(node.op), kids))));
    }
    egraph::Runner runner = engine.make_runner(std::move(eg), g.nodes.size());
    // The run may depend on the graph only: limits that its size alone fixes, no wall clock.
    ASSERT_EQ(std::tuple(runner.time_limit().has_value(), runner.iter_limit(), runner.node_limit()),
              std::tuple(false, size_t{12}, 4 * g.nodes.size() + 1024));
    runner.run(engine.rules);
    const egraph::EGraph& out = runner.egraph();
    EXPECT_EQ(std::tuple(summary.stop_reason, summary.iterations, summary.hashcons_size, summary.classes),
              std::tuple(runner.stop_reason()->to_string(), runner.iterations().size(), out.hashcons_size(),
                         out.class_count())) << "seed " << seed;
    longest = std::max(longest, summary.iterations);
    // Equal partitions: nodes share a position exactly when they share a class.
    for (size_t i = 0; i < g.nodes.size(); ++i) {
      for (size_t j = 0; j < i; ++j) {
        ASSERT_EQ(c.node_map[i] == c.node_map[j], out.find(classes[i]) == out.find(classes[j]))
            << "seed " << seed << " nodes " << j << ", " << i;
      }
    }
  }
  // Without bans a run saturates within three iterations; these went on
  // through bans that were cut short again and again.
  EXPECT_GE(longest, 8u);
}

}  // namespace trellan::engine
