// Rule schedulers: they decide, per iteration, which rules search and apply.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/rewrite.hpp"

namespace egraph {

class RewriteScheduler {
 public:
  virtual ~RewriteScheduler() = default;
  // The matches `rule` should apply in `iteration`.
  virtual Matches search_rewrite(size_t iteration, const EGraph& egraph, const Rewrite& rule) {
    (void)iteration;
    return rule.search(egraph);
  }
  // Applies `matches`; returns the number of merges that took effect.
  virtual size_t apply_rewrite(size_t iteration, EGraph& egraph, const Rewrite& rule, const Matches& matches) {
    (void)iteration;
    return rule.apply(egraph, matches).size();
  }
  // Whether a run may stop as saturated after an iteration without effect.
  virtual bool can_stop(size_t iteration) {
    (void)iteration;
    return true;
  }
};

struct RuleStats {
  size_t applied_count = 0;  // searches that were not banned
  size_t ban_until = 0;      // iteration before which the rule is skipped
  size_t ban_count = 0;
  size_t match_cap;          // base match limit
  size_t ban_span;           // base ban length
};

// Bans a rule that matches too often, for exponentially longer spans, so that
// rules that explode (commutativity on a large graph) do not swamp the run.
class BackoffScheduler final : public RewriteScheduler {
 public:
  explicit BackoffScheduler(size_t match_limit = 1000, size_t ban_length = 5)
      : match_limit_(match_limit), ban_length_(ban_length) {}

  Matches search_rewrite(size_t iteration, const EGraph& egraph, const Rewrite& rule) override;
  size_t apply_rewrite(size_t iteration, EGraph& egraph, const Rewrite& rule, const Matches& matches) override;
  bool can_stop(size_t iteration) override;

  // Statistics of a rule name, or nullptr before its first search.
  const RuleStats* stats(std::string_view rule) const;

 private:
  RuleStats& stats_for(const std::string& rule);

  size_t match_limit_;
  size_t ban_length_;
  // In first-seen order; runs have a handful of rules, so a list is enough.
  std::vector<std::pair<std::string, RuleStats>> stats_;
};

}  // namespace egraph
