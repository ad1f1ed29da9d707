// The saturation loop: search every rule, apply the matches, rebuild, and
// repeat until nothing changes or a limit is reached.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/rewrite.hpp"
#include "egraph/scheduler.hpp"

namespace egraph {

struct StopReason {
  enum class Kind { Saturated, IterationLimit, NodeLimit, TimeLimit, Other };
  Kind kind = Kind::Saturated;
  size_t count = 0;      // IterationLimit: iterations; NodeLimit: hash-cons size
  double seconds = 0.0;  // TimeLimit: elapsed time
  std::string message;   // Other

  static StopReason saturated() { return {}; }
  static StopReason iteration_limit(size_t n) { return {Kind::IterationLimit, n, 0.0, {}}; }
  static StopReason node_limit(size_t n) { return {Kind::NodeLimit, n, 0.0, {}}; }
  static StopReason time_limit(double s) { return {Kind::TimeLimit, 0, s, {}}; }
  static StopReason other(std::string m) { return {Kind::Other, 0, 0.0, std::move(m)}; }

  // "Saturated", "IterationLimit(12)", "NodeLimit(10001)", "TimeLimit(5.002)", "Other(...)".
  std::string to_string() const;
};

struct Iteration {
  size_t egraph_nodes = 0;    // hash-cons size before the iteration
  size_t egraph_classes = 0;  // class count before the iteration
  std::vector<std::pair<std::string, size_t>> applied;  // rule name -> effective merges (> 0 only)
  std::optional<StopReason> stop_reason;
  double search_time = 0, apply_time = 0, rebuild_time = 0, total_time = 0;  // seconds
};

class Runner {
 public:
  using Clock = std::chrono::steady_clock;

  Runner() : scheduler_(std::make_unique<BackoffScheduler>()) {}
  explicit Runner(EGraph egraph) : Runner() { egraph_ = std::move(egraph); }

  Runner& with_egraph(EGraph egraph) {
    egraph_ = std::move(egraph);
    return *this;
  }
  Runner& with_iter_limit(size_t n) {
    max_iterations_ = n;
    return *this;
  }
  Runner& with_node_limit(size_t n) {
    max_nodes_ = n;
    return *this;
  }
  Runner& with_time_limit(Clock::duration d) {
    max_time_ = d;
    return *this;
  }
  // No wall-clock limit: the run then depends on the e-graph and the rules
  // alone, never on how fast the machine is.
  Runner& without_time_limit() {
    max_time_.reset();
    return *this;
  }
  Runner& with_scheduler(std::unique_ptr<RewriteScheduler> s) {
    scheduler_ = std::move(s);
    return *this;
  }

  // Runs the rules to saturation or a limit. A runner runs once; running it
  // again throws std::logic_error.
  Runner& run(std::span<const Rewrite> rules);

  EGraph& egraph() { return egraph_; }
  const EGraph& egraph() const { return egraph_; }
  const std::vector<Iteration>& iterations() const { return iterations_; }
  const std::optional<StopReason>& stop_reason() const { return stop_reason_; }
  size_t iter_limit() const { return max_iterations_; }
  size_t node_limit() const { return max_nodes_; }
  // Empty when the runner has no wall-clock limit.
  std::optional<Clock::duration> time_limit() const { return max_time_; }
  RewriteScheduler& scheduler() { return *scheduler_; }

 private:
  std::optional<StopReason> check_limits() const;
  Iteration run_one(std::span<const Rewrite> rules);

  EGraph egraph_;
  std::vector<Iteration> iterations_;
  std::optional<StopReason> stop_reason_;
  size_t max_iterations_ = 30;
  size_t max_nodes_ = 10000;
  std::optional<Clock::duration> max_time_ = std::chrono::seconds(5);
  std::unique_ptr<RewriteScheduler> scheduler_;
  std::optional<Clock::time_point> start_;
};

}  // namespace egraph
