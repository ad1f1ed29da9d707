// The engine replays the library's runner on its twelve rules without an
// e-graph; the same rules run directly on the library, with operators as
// text symbols, must take the same decisions in every iteration (matches
// counted, rules banned, bans cut short, something merged or not), end the
// same way and reach the same partition. Where a node limit could decide a
// run, the engine must hand it to the library instead.
#include "optimizer/engine/saturation_engine.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace trellan::engine {
namespace {

EngineGraph random_graph(std::mt19937& rng, int max_ops) {
  const std::vector<std::string> ops{"op|add", "op|mul", "op|maximum", "op|sub", "op|neg", "red|sum", "op|add|k=i1",
                                     "op|add|scalar=f0000000000000000;side=sr",
                                     "op|add|scalar=f0000000000000000;side=sl",
                                     "op|mul|scalar=f3ff0000000000000;side=sr", "stage|3"};
  EngineGraph g;
  const auto add = [&](const std::string& op, std::vector<uint64_t> kids) {
    g.nodes.push_back({op, std::move(kids), !op.starts_with("op|")});
  };
  for (int i = 0; i < 3; ++i) add("src|s" + std::to_string(i), {});
  const int n = 10 + static_cast<int>(rng() % max_ops);
  for (int i = 0; i < n; ++i) {
    const std::string& op = ops[rng() % ops.size()];
    // Mostly the arity the rules match; now and then another one, or a
    // node recorded twice.
    size_t arity = op == "op|neg" || op == "red|sum" || op.find("scalar") != std::string::npos ? 1 : 2;
    if (op == "stage|3") arity = 3;
    if (rng() % 16 == 0) arity = rng() % 4;
    std::vector<uint64_t> kids;
    for (size_t k = 0; k < arity; ++k) kids.push_back(rng() % g.nodes.size());
    add(op, kids);
    // Twins recorded the other way round, for commutativity to merge.
    if (kids.size() == 2 && rng() % 3 == 0) add(op, {kids[1], kids[0]});
    if (rng() % 32 == 0) add(op, kids);
  }
  g.outputs = {g.nodes.size() - 1, rng() % g.nodes.size()};
  return g;
}

// With a match limit of 2 or 4, rules are banned and bans cut short on small
// graphs, so the runs stop in every way a large graph's run can; a node
// limit of about one e-node per input node is reached by many.
TEST(SaturationEngine, DecidesAsTheLibraryRunnerDoes) {
  size_t longest = 0, replayed = 0, node_limited = 0;
  for (uint32_t seed = 1; seed <= 400; ++seed) {
    std::mt19937 rng(seed);
    const bool tight = seed > 300;
    const SaturationEngine engine(seed % 2 ? 2 : 4, tight ? 1 : 4, tight ? seed % 8 : 1024);
    const EngineGraph g = random_graph(rng, seed % 3 ? 120 : 600);
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
    std::vector<IterationTrace> trace;
    egraph::Runner runner = engine.make_runner(std::move(eg), g.nodes.size(), &trace);
    // The run may depend on the graph only: limits that its size alone fixes, no wall clock.
    ASSERT_EQ(std::tuple(runner.time_limit().has_value(), runner.iter_limit(), runner.node_limit()),
              std::tuple(false, size_t{12}, (tight ? 1 : 4) * g.nodes.size() + (tight ? seed % 8 : 1024)));
    runner.run(engine.rules);
    for (size_t i = 0; i < trace.size(); ++i) trace[i].changed = !runner.iterations()[i].applied.empty();
    const egraph::EGraph& out = runner.egraph();
    const std::string stop = runner.stop_reason()->to_string();
    ASSERT_EQ(std::tuple(summary.stop_reason, summary.iterations, summary.classes),
              std::tuple(stop, runner.iterations().size(), out.class_count())) << "seed " << seed;
    ASSERT_EQ(summary.trace.size(), trace.size()) << "seed " << seed;
    for (size_t i = 0; i < trace.size(); ++i) ASSERT_EQ(summary.trace[i], trace[i]) << "seed " << seed << " iteration " << i;
    // Equal partitions: nodes share a position exactly when they share a class.
    for (size_t i = 0; i < g.nodes.size(); ++i) {
      for (size_t j = 0; j < i; ++j) {
        ASSERT_EQ(c.node_map[i] == c.node_map[j], out.find(classes[i]) == out.find(classes[j]))
            << "seed " << seed << " nodes " << j << ", " << i;
      }
    }
    const bool limited = stop.starts_with("NodeLimit");
    EXPECT_TRUE(!limited || summary.general) << "seed " << seed;
    node_limited += limited;
    replayed += !summary.general;
    longest = std::max(longest, summary.iterations);
  }
  // Without bans a run saturates within three iterations; these went on
  // through bans that were cut short again and again. Every run the default
  // node limit cannot stop is replayed.
  EXPECT_GE(longest, 8u);
  EXPECT_GE(node_limited, 20u);
  EXPECT_GE(replayed, 300u);
}

}  // namespace
}  // namespace trellan::engine
