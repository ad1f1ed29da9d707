#include "optimizer/engine/specialised_run.hpp"

#include <algorithm>
#include <bit>

namespace trellan::engine {
namespace {

// E-nodes are counted per input node: each is credited to a node whose
// children are in the classes of its own. made[i]: e-nodes credited to node
// i, at most 255 (no run gets near: one, a mirror, two re-adds an iteration).
struct ENodeCredit {
  support::MappedVector<uint8_t> made;
};

// New keys and new e-nodes of an iteration that merged classes, from the
// classes before and after it. reapplied: commutative rules applied before
// that searched after this iteration's first merge, so that their matches
// may find a child whose class has just lost its root and add their result
// once more; first: commutative rules applied for the first time, which add
// a mirror per match. Returns (new e-nodes, new keys in the rebuild).
//
// An e-node's key changes in a rebuild only when the class of a child loses
// its root, to the root of a class it merges with. Those roots are roots the
// class had before the iteration (a class made in the iteration has no
// users, so it never absorbs one that has), and the survivor of a merge has
// at least as many users as the class it absorbs, so each time it happens
// the child's class at least doubles its users. An e-node thus gets at most
// min(merged classes - 1, log2 of final users) new keys per child class.
std::pair<size_t, size_t> iteration_growth(const OpGraph& graph, const RuleOps& rules, const Classes& before,
                                           const Classes& after, uint32_t first, uint32_t reapplied,
                                           ENodeCredit& credit) {
  const size_t n = graph.size();
  // By class of `after`: classes of `before` it took in. Only whether that
  // is more than one, and how many up to 32 (an e-node's new keys are at most
  // 31 by the bound on users), matter: a byte holds it.
  support::MappedVector<uint8_t> merged(n, 0);
  for (size_t i = 0; i < n; ++i) {
    if (before.of[i] != i) continue;
    uint8_t& m = merged[after.of[i]];
    m = m == 255 ? 255 : m + 1;
  }
  size_t adds = 0;
  // By class of `after`: e-node children in it, at most; counted only for
  // classes that merged, which alone can give an e-node new keys.
  support::MappedVector<uint32_t> users(n, 0);
  for (size_t i = 0; i < n; ++i) {
    auto kids = graph.children_of(i);
    const uint8_t r = rules.rule(graph.op[i]);
    if (r < kCommuteRules && kids.size() == 2 && before.of[i] == i) {
      size_t made = 0;
      if (first >> r & 1) made = 1;
      const bool moved = merged[after.of[kids[0]]] > 1 || merged[after.of[kids[1]]] > 1;
      if ((reapplied >> r & 1) && moved) made = before.of[kids[0]] != before.of[kids[1]] ? 2 : 1;
      if (credit.made[i] + made > 255) return {SIZE_MAX / 4, SIZE_MAX / 4};
      credit.made[i] = static_cast<uint8_t>(credit.made[i] + made);
      adds += made;
    }
    const uint32_t k = credit.made[i];
    if (k == 0) continue;
    for (uint32_t c : kids) {
      const uint32_t f = after.of[c];
      if (merged[f] <= 1) continue;
      uint32_t& u = users[f];
      u = u > UINT32_MAX - k ? UINT32_MAX : u + k;
    }
  }
  size_t keys = 0;
  for (size_t i = 0; i < n; ++i) {
    if (credit.made[i] == 0) continue;
    auto kids = graph.children_of(i);
    size_t per_node = 0;
    for (size_t j = 0; j < kids.size(); ++j) {
      const uint32_t f = after.of[kids[j]];
      if (merged[f] <= 1) continue;  // no new key from a class that took in no other
      bool seen = false;  // a class counts once, however many children it holds
      for (size_t p = 0; p < j && !seen; ++p) seen = after.of[kids[p]] == f;
      if (!seen) per_node += std::min<size_t>(merged[f] - 1, std::bit_width(users[f]) - 1);
    }
    keys += per_node * credit.made[i];
  }
  return {adds, keys};
}

// One mirror per class of each rule in `first`, credited to the class's
// first node; false if a count would overflow.
bool credit_mirrors(const OpGraph& graph, const RuleOps& rules, const Classes& classes, uint32_t first,
                    ENodeCredit& credit) {
  for (size_t i = 0; i < graph.size(); ++i) {
    const uint8_t r = rules.rule(graph.op[i]);
    if (r >= kCommuteRules || !(first >> r & 1) || classes.of[i] != i || graph.children_of(i).size() != 2) continue;
    if (credit.made[i] == 255) return false;
    ++credit.made[i];
  }
  return true;
}

}  // namespace

std::optional<SpecialisedRun> run_specialised(const OpGraph& graph, const RuleOps& rules, const RunLimits& limits) {
  ClassTable table;
  Classes classes = congruence_classes(graph, rules, 0, {}, table);
  // Loading hash-conses the nodes: one key per class, none stale yet.
  size_t bound = classes.count;
  uint32_t applied = 0;
  std::array<size_t, kRuleCount> ban_until{}, ban_count{};
  ENodeCredit credit;  // the load made one e-node per class
  credit.made.resize(graph.size());
  for (size_t i = 0; i < graph.size(); ++i) credit.made[i] = classes.of[i] == i;
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
    uint32_t first = 0, reapplied = 0;
    const uint32_t applied_before = applied;
    for (uint32_t r = 0; r < kRuleCount; ++r) {
      if (!(chosen >> r & 1)) continue;
      const bool fresh = !(applied >> r & 1);
      if (r < kCommuteRules && fresh) first |= 1u << r;
      if (r < kCommuteRules && !fresh && merging) reapplied |= 1u << r;
      merging = merging || (fresh && classes.would_merge[r]);
      applied |= 1u << r;
    }
    // Commuting pairs none of which occurs the other way round adds their
    // mirrors, each to its own class: the classes stay as they are.
    bool regroup = false;
    for (uint32_t r = 0; r < kRuleCount; ++r) {
      const bool fresh = (applied_before >> r & 1) == 0 && (chosen >> r & 1);
      if (fresh && classes.would_merge[r]) regroup = regroup || r >= kCommuteRules || classes.twins[r];
    }
    if (merging && !regroup) {
      for (uint32_t r = 0; r < kCommuteRules; ++r) {
        if (!(first >> r & 1)) continue;
        bound += classes.matches[r];
        classes.matches[r] += classes.uneven[r];
      }
      if (!credit_mirrors(graph, rules, classes, first, credit) || bound > limits.nodes) return std::nullopt;
    } else if (merging) {
      Classes next = congruence_classes(graph, rules, applied, classes.of, table);
      auto [adds, keys] = iteration_growth(graph, rules, classes, next, first, reapplied, credit);
      // The apply phase checks the limit after each rule; its e-nodes are all
      // added by the last check.
      if (bound + adds > limits.nodes) return std::nullopt;
      bound += adds + keys;
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
