// The saturation run of the twelve flat rules, replayed without an e-graph.
//
// The general runner's decisions depend on the e-graph only through a few
// numbers: how many e-nodes each rule matches, whether an iteration merged
// anything, and the hash-cons size against the node limit. With these rules
// the first two follow from the classes alone (congruence_classes), which in
// turn depend only on the set of rules applied so far. The hash-cons size
// also counts stale keys, whose number depends on the order of merges inside
// a rebuild; the replay keeps a proven upper bound of it instead, and gives
// up when that bound could pass the node limit, for the general engine to
// decide.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "optimizer/engine/congruence_classes.hpp"
#include "optimizer/engine/run_trace.hpp"

namespace trellan::engine {

struct RunLimits {
  size_t iterations;   // the runner's iteration limit
  size_t nodes;        // its node limit on the hash-cons size
  size_t match_limit;  // the backoff scheduler's base match limit
  size_t ban_length;   // and its base ban length
};

struct SpecialisedRun {
  support::MappedVector<uint32_t> classes;  // per node, as congruence_classes names them
  size_t class_count = 0;
  std::string stop_reason;        // "Saturated" or "IterationLimit(n)"
  size_t iterations = 0;
  size_t hashcons_bound = 0;      // the hash-cons size is at most this
  std::vector<IterationTrace> trace;
};

// Empty when the node limit might decide the run.
std::optional<SpecialisedRun> run_specialised(const OpGraph& graph, const RuleOps& rules, const RunLimits& limits);

}  // namespace trellan::engine
