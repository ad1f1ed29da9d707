// The classes the twelve flat rules and congruence make of an engine graph,
// for a given set of rules that have been applied: one forward pass that
// hash-conses every node by its operator and its children's classes.
//
// Children precede their users, so a node either joins a class of earlier
// nodes (same key, or an applied identity op joining its input's class) or
// starts its own; the classes of earlier nodes never merge later. Each class
// is named by its first node's position.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include <support/huge_pages.hpp>

#include "optimizer/engine/engine_graph.hpp"

namespace trellan::engine {

inline constexpr size_t kRuleCount = 12;
inline constexpr size_t kCommuteRules = 8;  // rules 0..7 commute, 8..11 are identities
inline constexpr uint8_t kNoRule = 0xFF;

// Which rule, if any, each operator id of a graph is the operator of.
struct RuleOps {
  std::vector<uint8_t> rule_of;  // by operator id; kNoRule for most
  uint8_t rule(uint32_t op) const { return op < rule_of.size() ? rule_of[op] : kNoRule; }
  // The arity a node needs for its rule's pattern to match it.
  static size_t arity(uint8_t rule) { return rule < kCommuteRules ? 2 : 1; }
};

struct Classes {
  std::vector<uint32_t> of;  // per node: the position of its class's first node
  size_t count = 0;          // number of classes
  // Distinct e-nodes each rule's pattern matches once the applied rules have
  // been closed under congruence: what a search of the rule counts.
  std::array<size_t, kRuleCount> matches{};
  // Whether a first application of the rule would merge anything: a
  // commuted pair with two different children, or any identity op.
  std::array<bool, kRuleCount> would_merge{};
  // Of a commutative rule not applied yet: classes whose pair has two
  // different children (each gains a mirrored e-node when it is applied),
  // and whether some pair also occurs the other way round (only then does
  // applying it merge classes).
  std::array<size_t, kCommuteRules> uneven{};
  std::array<bool, kCommuteRules> twins{};
};

// Reusable memory of congruence_classes.
struct ClassTable {
  struct Slot {
    uint32_t op, a, b, cls;  // a key of arity <= 2 inline; wider keys are compared through the graph
  };
  using Slots = std::vector<Slot, support::HugePageAllocator<Slot>>;
  Slots local;  // keys in the regions of their children
  std::vector<uint32_t> region_start;  // per class, and one past the last: set for one graph
  struct Spill {
    Slots slots;  // keys whose place near it was taken
    size_t count = 0;
  } spill;
  std::vector<uint32_t> leaves;        // by operator: the class of its node without children
  std::vector<uint8_t> identity_seen;  // per class: identity rules already counted there
};

// applied: bit r set when rule r has been applied. guess: the classes of an
// earlier pass (or empty), used only to fetch table slots ahead of time.
Classes congruence_classes(const OpGraph& graph, const RuleOps& rules, uint32_t applied,
                           std::span<const uint32_t> guess, ClassTable& scratch);

}  // namespace trellan::engine
