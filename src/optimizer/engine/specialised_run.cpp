#include "optimizer/engine/specialised_run.hpp"

#include <algorithm>
#include <bit>

namespace trellan::engine {
namespace {

// Keys made stale by one rebuild. An e-node's key changes only when the
// class of a child loses its root, to the root of a class it merges with.
// Those roots are roots the class had before the iteration (a class made in
// the iteration has no users, so it never absorbs one that has), and the
// survivor of a merge has at least as many users as the class it absorbs, so
// each time it happens the child's class at least doubles its users. An
// e-node thus gets at most min(merged classes - 1, log2 of final users) new
// keys per child. copies[r]: e-nodes made per input node of rule r's
// operator so far (mirrors and re-adds); every other node made one.
size_t rekey_bound(const OpGraph& graph, const RuleOps& rules, const Classes& before, const Classes& after,
                   const std::array<size_t, kRuleCount>& copies) {
  const size_t n = graph.size();
  auto copies_of = [&](size_t i) -> uint32_t {
    const uint8_t r = rules.rule(graph.op[i]);
    return r < kCommuteRules && graph.children_of(i).size() == 2 ? static_cast<uint32_t>(copies[r]) : 1;
  };
  std::vector<uint32_t> merged(n, 0);  // by class of `after`: classes of `before` it took in
  for (size_t i = 0; i < n; ++i)
    if (before.of[i] == i) ++merged[after.of[i]];
  std::vector<uint32_t> users(n, 0);  // by class of `after`: e-node children in it, at most
  for (size_t i = 0; i < n; ++i) {
    const uint32_t k = copies_of(i);
    for (uint64_t c : graph.children_of(i)) {
      uint32_t& u = users[after.of[c]];
      u = u > UINT32_MAX - k ? UINT32_MAX : u + k;
    }
  }
  size_t bound = 0;
  for (size_t i = 0; i < n; ++i) {
    size_t keys = 0;
    for (uint64_t c : graph.children_of(i)) {
      const uint32_t f = after.of[c];
      keys += std::min<size_t>(merged[f] - 1, std::bit_width(users[f]) - 1);
    }
    bound += keys * copies_of(i);
  }
  return bound;
}

}  // namespace

std::optional<SpecialisedRun> run_specialised(const OpGraph& graph, const RuleOps& rules, const RunLimits& limits) {
  ClassTable table;
  Classes classes = congruence_classes(graph, rules, 0, {}, table);
  // Loading hash-conses the nodes: one key per class, none stale yet.
  size_t bound = classes.count;
  uint32_t applied = 0;
  std::array<size_t, kRuleCount> ban_until{}, ban_count{}, copies;
  copies.fill(1);
  SpecialisedRun run;
  std::string stop;

  for (size_t i = 0; stop.empty(); ++i) {
    if (bound > limits.nodes) return std::nullopt;
    const bool start_ok = i < limits.iterations;
    if (!start_ok) stop = "IterationLimit(" + std::to_string(i) + ")";
    IterationTrace it;
    uint32_t chosen = 0;
    for (uint32_t r = 0; r < kRuleCount && start_ok; ++r) {
      if (i < ban_until[r]) continue;
      if (ban_count[r] >= 32) return std::nullopt;  // far past any iteration limit; the library reports it
      const size_t threshold = limits.match_limit << ban_count[r];
      const size_t m = classes.matches[r];
      const bool ban = m > threshold;
      if (ban) {
        ban_until[r] = i + (limits.ban_length << ban_count[r]);
        ++ban_count[r];
      } else {
        chosen |= 1u << r;
      }
      it.searches.push_back({r, m, ban});
    }

    // Rules applied before have nothing left to merge: their matches find
    // their results in place, unless a child's class lost its root earlier in
    // this same phase, which makes them add a fresh e-node once more.
    bool merging = false;
    size_t adds = 0;
    for (uint32_t r = 0; r < kRuleCount; ++r) {
      if (!(chosen >> r & 1)) continue;
      const bool first = !(applied >> r & 1);
      if (r < kCommuteRules && (first || merging)) {
        adds += classes.matches[r];
        copies[r] += first ? 1 : 2;
      }
      merging = merging || (first && classes.would_merge[r]);
      applied |= 1u << r;
      if (bound + adds > limits.nodes) return std::nullopt;
    }
    bound += adds;
    if (merging) {
      Classes next = congruence_classes(graph, rules, applied, classes.of, table);
      bound += rekey_bound(graph, rules, classes, next, copies);
      classes = std::move(next);
    }
    it.changed = merging;
    if (start_ok && !merging) {
      // The backoff scheduler's can_stop: never while a rule is banned; the
      // earliest bans end now instead.
      size_t earliest = SIZE_MAX;
      for (size_t u : ban_until)
        if (u > i) earliest = std::min(earliest, u);
      if (earliest == SIZE_MAX) {
        stop = "Saturated";
      } else {
        for (size_t& u : ban_until)
          if (u > i) u -= earliest - i;
      }
    }
    run.trace.push_back(std::move(it));
    if (stop.empty()) {
      if (bound > limits.nodes) return std::nullopt;
      if (run.trace.size() >= limits.iterations) stop = "IterationLimit(" + std::to_string(run.trace.size()) + ")";
    }
  }
  run.stop_reason = std::move(stop);
  run.iterations = run.trace.size();
  run.hashcons_bound = bound;
  run.class_count = classes.count;
  run.classes = std::move(classes.of);
  return run;
}

}  // namespace trellan::engine
