#include "egraph/scheduler.hpp"

#include <algorithm>
#include <stdexcept>

namespace egraph {
namespace {

// value << bits, refusing to lose bits: a rule banned that often means the
// run has gone far beyond any sane iteration limit.
size_t shifted(size_t value, size_t bits) {
  if (bits >= 64 || (bits > 0 && (value >> (64 - bits)) != 0)) {
    throw std::logic_error("backoff scheduler: ban arithmetic overflow after " + std::to_string(bits) + " bans");
  }
  return value << bits;
}

}  // namespace

RuleStats& BackoffScheduler::stats_for(const std::string& rule) {
  for (auto& [name, s] : stats_)
    if (name == rule) return s;
  RuleStats fresh;
  fresh.match_cap = match_limit_;
  fresh.ban_span = ban_length_;
  return stats_.emplace_back(rule, fresh).second;
}

const RuleStats* BackoffScheduler::stats(std::string_view rule) const {
  for (const auto& [name, s] : stats_)
    if (name == rule) return &s;
  return nullptr;
}

Matches BackoffScheduler::search_rewrite(size_t iteration, const EGraph& egraph, const Rewrite& rule) {
  RuleStats& s = stats_for(rule.name());
  if (iteration < s.ban_until) return {};
  size_t threshold = shifted(s.match_cap, s.ban_count);
  // When the count is known up front, a rule about to be banned is not
  // searched at all; the decision is the same as after a search.
  std::optional<size_t> known = rule.searcher().known_match_count(egraph);
  Matches matches;
  if (!known || *known <= threshold) {
    size_t limit = threshold == SIZE_MAX ? threshold : threshold + 1;
    matches = rule.search_with_limit(egraph, limit);
  }
  if ((known ? *known : matches.total()) > threshold) {
    s.ban_until = iteration + shifted(s.ban_span, s.ban_count);
    ++s.ban_count;
    return {};
  }
  ++s.applied_count;
  return matches;
}

size_t BackoffScheduler::apply_rewrite(size_t iteration, EGraph& egraph, const Rewrite& rule,
                                       const Matches& matches) {
  (void)iteration;
  return rule.apply(egraph, matches).size();
}

// Never stop while a rule is banned: instead bring the earliest ban end
// forward to now, so those rules search again in the next iteration.
bool BackoffScheduler::can_stop(size_t iteration) {
  size_t earliest = SIZE_MAX;
  for (const auto& [name, s] : stats_)
    if (s.ban_until > iteration) earliest = std::min(earliest, s.ban_until);
  if (earliest == SIZE_MAX) return true;
  size_t delta = earliest - iteration;
  for (auto& [name, s] : stats_)
    if (s.ban_until > iteration) s.ban_until -= delta;
  return false;
}

}  // namespace egraph
