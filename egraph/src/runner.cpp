#include "egraph/runner.hpp"

#include <iostream>
#include <sstream>
#include <stdexcept>

namespace egraph {
namespace {

double seconds_since(Runner::Clock::time_point t) {
  return std::chrono::duration<double>(Runner::Clock::now() - t).count();
}

// Rules sharing a name share their scheduler statistics; say so once.
void warn_duplicate_names(std::span<const Rewrite> rules) {
  std::vector<std::pair<std::string_view, size_t>> counts;  // in first-appearance order
  bool duplicated = false;
  for (const Rewrite& r : rules) {
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == r.name(); });
    if (it == counts.end()) {
      counts.emplace_back(r.name(), 1);
    } else {
      ++it->second;
      duplicated = true;
    }
  }
  if (!duplicated) return;
  std::ostringstream out;
  out << "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n";
  for (const auto& [name, n] : counts)
    if (n > 1) out << "Rule '" << name << "' appears " << n << " times\n";
  std::cerr << out.str();
}

}  // namespace

std::string StopReason::to_string() const {
  switch (kind) {
    case Kind::Saturated: return "Saturated";
    case Kind::IterationLimit: return "IterationLimit(" + std::to_string(count) + ")";
    case Kind::NodeLimit: return "NodeLimit(" + std::to_string(count) + ")";
    case Kind::TimeLimit: {
      std::ostringstream s;
      s << "TimeLimit(" << seconds << ")";
      return s.str();
    }
    case Kind::Other: return "Other(" + message + ")";
  }
  return "";
}

std::optional<StopReason> Runner::check_limits() const {
  if (start_ && max_time_) {
    auto elapsed = Clock::now() - *start_;
    if (elapsed > *max_time_) return StopReason::time_limit(std::chrono::duration<double>(elapsed).count());
  }
  if (egraph_.hashcons_size() > max_nodes_) return StopReason::node_limit(egraph_.hashcons_size());
  if (iterations_.size() >= max_iterations_) return StopReason::iteration_limit(iterations_.size());
  return std::nullopt;
}

Runner& Runner::run(std::span<const Rewrite> rules) {
  if (stop_reason_) throw std::logic_error("runner has already run");
  warn_duplicate_names(rules);
  egraph_.rebuild();
  // Index every searched operator in one pass rather than one pass each.
  std::vector<Symbol> ops;
  for (const Rewrite& r : rules)
    if (const ENode* root = std::get_if<ENode>(&r.searcher().nodes().back())) ops.push_back(root->op());
  egraph_.index_ops(ops);
  while (!stop_reason_) {
    Iteration it = run_one(rules);
    std::optional<StopReason> reason = it.stop_reason;
    iterations_.push_back(std::move(it));
    stop_reason_ = reason ? reason : check_limits();
  }
  return *this;
}

// Every search of an iteration sees the e-graph as the previous rebuild left
// it; every application happens before the iteration's single rebuild.
Iteration Runner::run_one(std::span<const Rewrite> rules) {
  const size_t i = iterations_.size();
  if (!start_) start_ = Clock::now();
  auto began = Clock::now();
  std::optional<StopReason> result = check_limits();

  Iteration it;
  it.egraph_nodes = egraph_.hashcons_size();
  it.egraph_classes = egraph_.class_count();

  auto t = Clock::now();
  std::vector<Matches> matches;
  matches.reserve(rules.size());
  for (size_t r = 0; r < rules.size() && !result; ++r) {
    matches.push_back(scheduler_->search_rewrite(i, egraph_, rules[r]));
    result = check_limits();
  }
  it.search_time = seconds_since(t);

  t = Clock::now();
  for (size_t r = 0; r < matches.size() && !result; ++r) {
    size_t n = scheduler_->apply_rewrite(i, egraph_, rules[r], matches[r]);
    if (n > 0) {
      const std::string& name = rules[r].name();
      auto entry = std::find_if(it.applied.begin(), it.applied.end(), [&](const auto& a) { return a.first == name; });
      if (entry == it.applied.end()) {
        it.applied.emplace_back(name, n);
      } else {
        entry->second += n;
      }
    }
    result = check_limits();
  }
  it.apply_time = seconds_since(t);

  t = Clock::now();
  egraph_.rebuild();
  it.rebuild_time = seconds_since(t);

  // can_stop may shorten bans, so it is asked only when nothing had effect.
  if (!result && it.applied.empty() && scheduler_->can_stop(i) && egraph_.hashcons_size() == it.egraph_nodes &&
      egraph_.class_count() == it.egraph_classes) {
    result = StopReason::saturated();
  }
  it.stop_reason = result;
  it.total_time = seconds_since(began);
  return it;
}

}  // namespace egraph
