#include "egraph/runner.hpp"

#include <chrono>

#include "support.hpp"

namespace egraph::test {

using Kind = StopReason::Kind;

size_t applied(const Iteration& it, const char* name) {
  for (auto [rule_name, n] : it.applied) if (rule_name == name) return n;
  return 0;
}

// f(x, y); and `count` nodes f(leaf_i), which give the rule "wide" that many
// matches, and `seeds` nodes n(z_k), which keep the rule "grow" merging every
// iteration, each adding one more f-node (one more "wide" match) per iteration.
EGraph graph(int count = 0, int seeds = 0) {
  EGraph g;
  g.add(node("f", {g.add(leaf("x")), g.add(leaf("y"))}));
  for (int i = 0; i < count; ++i) g.add(node("f", {g.add(leaf(std::string("leaf").append(std::to_string(i))))}));
  for (int k = 0; k < seeds; ++k) g.add(node("n", {g.add(leaf(std::string("z").append(std::to_string(k))))}));
  return g;
}

// Commutativity adds f(y, x) in the first iteration and finds nothing new in
// the second; a rule without a match saturates at once.
TEST(Runner, StopsSaturatedOrAtTheIterationLimit) {
  const std::tuple<const char*, const char*, size_t, const char*, size_t> cases[] = {
      {"(g ?a)", "?a", 30, "Saturated", 1}, {"(f ?a ?b)", "(f ?b ?a)", 30, "Saturated", 2},
      {"(f ?a ?b)", "(f ?b ?a)", 1, "IterationLimit(1)", 1}, {"(g ?a ?b)", "(g ?b ?a)", 1, "Saturated", 1}};
  for (auto [searcher, applier, limit, stop, iterations] : cases) {
    const std::vector<Rewrite> rules{rule("r", searcher, applier)};
    Runner r(graph());
    r.with_iter_limit(limit).run(rules);
    EXPECT_EQ(r.stop_reason()->to_string(), stop) << searcher << " " << limit;
    ASSERT_EQ(r.iterations().size(), iterations) << searcher << " " << limit;
    if (iterations != 2) continue;
    EXPECT_EQ(applied(r.iterations()[0], "r"), 1u);
    EXPECT_TRUE(r.iterations()[1].applied.empty());
    EXPECT_EQ(r.iterations()[1].egraph_nodes, 4u);
    EXPECT_EQ(r.egraph().lookup(node("f", {1, 0})), r.egraph().find(2));
  }
}

// Hit before the first search: one record, nothing applied. Hit while the
// e-graph grows: the run stops with the e-graph rebuilt.
TEST(Runner, LimitsAreCheckedTimeThenNodesThenIterations) {
  const std::tuple<std::chrono::nanoseconds, size_t, Kind> cases[] = {
      {std::chrono::nanoseconds(-1), 0, Kind::TimeLimit}, {std::chrono::seconds(5), 0, Kind::NodeLimit},
      {std::chrono::seconds(5), 100, Kind::IterationLimit}};
  for (auto [time, nodes, expected] : cases) {
    const std::vector<Rewrite> rules{rule("comm", "(f ?a ?b)", "(f ?b ?a)")};
    Runner r(graph());
    r.with_time_limit(time).with_node_limit(nodes).with_iter_limit(0).run(rules);
    ASSERT_EQ(r.iterations().size(), 1u);
    EXPECT_EQ(r.stop_reason()->kind, expected);
    EXPECT_TRUE(r.iterations()[0].applied.empty());
    EXPECT_EQ(r.egraph().class_count(), 3u);
  }
  const std::vector<Rewrite> rules{rule("grow", "(n ?x)", "(n (f ?x))")};
  Runner r(graph(0, 1));
  r.with_node_limit(20).run(rules);
  EXPECT_EQ(r.stop_reason()->kind, Kind::NodeLimit);
  EXPECT_GT(r.egraph().hashcons_size(), 20u);
  EXPECT_TRUE(r.egraph().is_clean());
}

// Seeds; then, after iteration 5: ban_until, ban_count, applied_count.
class BackoffBan : public testing::TestWithParam<std::tuple<int, size_t, size_t, size_t>> {};

TEST_P(BackoffBan, RuleOverTheThresholdIsBannedWithDoublingSpans) {
  const auto [seeds, ban_until, ban_count, applied_count] = GetParam();
  const std::vector<Rewrite> rules{rule("wide", "(f ?x)", "(h ?x)"), rule("grow", "(n ?x)", "(n (f ?x))")};
  auto scheduler = std::make_unique<BackoffScheduler>();
  const BackoffScheduler* sched = scheduler.get();
  Runner r(graph(1500, seeds));
  r.with_scheduler(std::move(scheduler)).with_iter_limit(6).with_node_limit(1000000).run(rules);
  ASSERT_EQ(r.iterations().size(), 6u);
  EXPECT_EQ(r.stop_reason()->to_string(), "IterationLimit(6)");
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(applied(r.iterations()[i], "wide"), 0u) << "iteration " << i;
    EXPECT_GT(applied(r.iterations()[i], "grow"), 0u) << "iteration " << i;
  }
  EXPECT_EQ(applied(r.iterations()[5], "wide") > 0, applied_count > 0);
  const RuleStats* s = sched->stats("wide");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::tuple(s->ban_until, s->ban_count, s->applied_count), std::tuple(ban_until, ban_count, applied_count));
}

// One seed keeps "wide" at about 1,500 matches (under the doubled threshold
// of 2,000 at iteration 5); 110 seeds push it past 2,000 by then.
INSTANTIATE_TEST_SUITE_P(Cases, BackoffBan, testing::Values(std::tuple(1, 5, 1, 1), std::tuple(110, 15, 2, 0)));

TEST(Runner, BansAreShortenedWhenNothingElseMakesProgress) {
  const std::vector<Rewrite> rules{rule("wide", "(f ?x)", "(h ?x)")};
  Runner r(graph(1500));
  r.with_node_limit(1000000).run(rules);
  // 0: banned, no effect, so the ban ends now; 1: applied; 2: saturated.
  ASSERT_EQ(r.iterations().size(), 3u);
  EXPECT_EQ(r.stop_reason()->kind, Kind::Saturated);
  EXPECT_EQ(applied(r.iterations()[0], "wide"), 0u);
  EXPECT_EQ(applied(r.iterations()[1], "wide"), 1500u);
}

TEST(Runner, SearchesSeeTheGraphBeforeTheIterationsApplications) {
  const std::vector<Rewrite> rules{rule("f-to-g", "(f ?x ?y)", "(g ?x)"), rule("g-to-h", "(g ?x)", "(h ?x)")};
  Runner r(graph());
  r.with_iter_limit(1).run(rules);
  EXPECT_TRUE(r.egraph().lookup(node("g", {0})).has_value());
  EXPECT_FALSE(r.egraph().lookup(node("h", {0})).has_value());
}

}  // namespace egraph::test
