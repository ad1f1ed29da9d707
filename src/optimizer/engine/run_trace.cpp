#include "optimizer/engine/run_trace.hpp"

#include <algorithm>

namespace trellan::engine {

egraph::Matches TracingScheduler::search_rewrite(size_t iteration, const egraph::EGraph& egraph,
                                                 const egraph::Rewrite& rule) {
  const egraph::RuleStats* before = inner_.stats(rule.name());
  if (before && iteration < before->ban_until) return {};
  const size_t bans = before ? before->ban_count : 0;
  // The rules' searchers are single operators over variables, whose match
  // count is known without searching.
  const size_t matches = rule.searcher().known_match_count(egraph).value_or(0);
  egraph::Matches found = inner_.search_rewrite(iteration, egraph, rule);
  const auto named = std::find_if(rules_->begin(), rules_->end(), [&](const auto& r) { return r.name() == rule.name(); });
  if (trace_->size() <= iteration) trace_->resize(iteration + 1);
  (*trace_)[iteration].searches.push_back({static_cast<uint32_t>(named - rules_->begin()), matches,
                                           inner_.stats(rule.name())->ban_count > bans});
  return found;
}

}  // namespace trellan::engine
