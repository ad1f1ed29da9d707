// What a saturation run decided, iteration by iteration: which rules
// searched, how many matches each found, which of them were banned for it,
// and whether anything changed. Both engines report it the same way, so a
// specialised run can be compared with a general one decision by decision.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <egraph/scheduler.hpp>

namespace trellan::engine {

struct RuleSearch {
  uint32_t rule = 0;     // index into the rule list
  size_t matches = 0;    // substitutions the search found (all of them)
  bool banned = false;   // too many: the rule was banned instead of applied
  friend bool operator==(const RuleSearch&, const RuleSearch&) = default;
};

struct IterationTrace {
  std::vector<RuleSearch> searches;  // rules not under a ban, in rule order
  bool changed = false;              // some application took effect
  friend bool operator==(const IterationTrace&, const IterationTrace&) = default;
};

// The backoff scheduler, recording every search it lets through.
class TracingScheduler final : public egraph::RewriteScheduler {
 public:
  TracingScheduler(size_t match_limit, std::vector<egraph::Rewrite> const* rules,
                   std::vector<IterationTrace>* trace)
      : inner_(match_limit), rules_(rules), trace_(trace) {}

  egraph::Matches search_rewrite(size_t iteration, const egraph::EGraph& egraph,
                                 const egraph::Rewrite& rule) override;
  size_t apply_rewrite(size_t iteration, egraph::EGraph& egraph, const egraph::Rewrite& rule,
                       const egraph::Matches& matches) override {
    return inner_.apply_rewrite(iteration, egraph, rule, matches);
  }
  bool can_stop(size_t iteration) override { return inner_.can_stop(iteration); }

 private:
  egraph::BackoffScheduler inner_;
  const std::vector<egraph::Rewrite>* rules_;  // to number rules by name
  std::vector<IterationTrace>* trace_;
};

}  // namespace trellan::engine
