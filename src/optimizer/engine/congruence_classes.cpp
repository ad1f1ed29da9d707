#include "optimizer/engine/congruence_classes.hpp"

#include <algorithm>
#include <bit>

namespace trellan::engine {
namespace {

constexpr uint32_t kEmpty = UINT32_MAX;     // slot.cls of a free slot; a missing child in a key
constexpr uint32_t kWide = UINT32_MAX - 1;  // slot.a of a key with more than two children
constexpr size_t kAhead = 16;               // nodes between fetching a slot and probing it

uint64_t mix(uint64_t h, uint64_t v) { return (std::rotl(h, 23) ^ v) * 0x9E3779B97F4A7C15ull; }

uint64_t finish(uint64_t h) {
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  return h ^ (h >> 32);
}

// A node's key: its operator and its children's classes, the two children of
// an applied commutative op in ascending order.
struct Key {
  uint32_t op, a, b;
  uint64_t hash;
};

class Pass {
 public:
  Pass(const OpGraph& g, const RuleOps& rules, uint32_t applied, ClassTable& t, std::vector<uint32_t>& of)
      : g_(g), rules_(rules), applied_(applied), slots_(t.slots), of_(of), mask_(t.slots.size() - 1) {}

  // class_of(c) gives the class of child c.
  template <class ClassOf>
  Key key(size_t i, ClassOf class_of) const {
    const uint32_t op = g_.op[i];
    auto kids = g_.children_of(i);
    uint64_t h = mix(op, kids.size());
    if (kids.size() > 2) {
      for (uint64_t c : kids) h = mix(h, class_of(c));
      h = finish(h);
      return {op, kWide, static_cast<uint32_t>(h), h};
    }
    uint32_t a = kids.size() > 0 ? class_of(kids[0]) : kEmpty;
    uint32_t b = kids.size() > 1 ? class_of(kids[1]) : kEmpty;
    if (kids.size() == 2 && a > b && commuted(op)) std::swap(a, b);
    return {op, a, b, finish(mix(mix(h, a), b))};
  }

  bool commuted(uint32_t op) const {
    uint8_t r = rules_.rule(op);
    return r < kCommuteRules && (applied_ >> r & 1);
  }

  void prefetch(uint64_t hash) const { __builtin_prefetch(&slots_[hash & mask_]); }

  // The class holding key k, or a new one named `at` when there is none.
  uint32_t intern(const Key& k, uint32_t at, bool& fresh) {
    for (size_t s = k.hash & mask_;; s = (s + 1) & mask_) {
      ClassTable::Slot& slot = slots_[s];
      if (slot.cls == kEmpty) {
        slot = {k.op, k.a, k.b, at};
        fresh = true;
        return at;
      }
      if (slot.op == k.op && slot.a == k.a && slot.b == k.b && (k.a != kWide || same_children(slot.cls, at))) {
        fresh = false;
        return slot.cls;
      }
    }
  }

 private:
  // Whether node j (a class's first node) and node i have children in the
  // same classes, in order.
  bool same_children(uint32_t j, uint32_t i) const {
    auto x = g_.children_of(j), y = g_.children_of(i);
    if (x.size() != y.size()) return false;
    for (size_t k = 0; k < x.size(); ++k)
      if (of_[x[k]] != of_[y[k]]) return false;
    return true;
  }

  const OpGraph& g_;
  const RuleOps& rules_;
  uint32_t applied_;
  std::vector<ClassTable::Slot, support::HugePageAllocator<ClassTable::Slot>>& slots_;
  const std::vector<uint32_t>& of_;
  size_t mask_;
};

}  // namespace

Classes congruence_classes(const OpGraph& graph, const RuleOps& rules, uint32_t applied,
                           std::span<const uint32_t> guess, ClassTable& t) {
  const size_t n = graph.size();
  size_t capacity = 1024;
  while (capacity * 3 < n * 4) capacity *= 2;  // at most 75% full
  if (t.slots.size() != capacity) {
    t.slots.clear();
    t.slots.shrink_to_fit();
    t.slots.resize(capacity);
  }
  std::fill(t.slots.begin(), t.slots.end(), ClassTable::Slot{0, 0, 0, kEmpty});
  t.identity_seen.assign(n, 0);

  Classes out;
  out.of.resize(n);
  Pass pass(graph, rules, applied, t, out.of);
  // A node ahead may read children not classified yet: guess their classes
  // from the earlier pass, or as their own; a wrong guess costs only the hint.
  auto ahead_class = [&](size_t i) {
    return [&, i](uint64_t c) -> uint32_t {
      if (c < i) return out.of[c];
      return guess.empty() ? static_cast<uint32_t>(c) : guess[c];
    };
  };
  auto known_class = [&](uint64_t c) { return out.of[c]; };

  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) pass.prefetch(pass.key(i + kAhead, ahead_class(i)).hash);
    const uint8_t r = rules.rule(graph.op[i]);
    const bool rule_node = r != kNoRule && graph.first[i + 1] - graph.first[i] == RuleOps::arity(r);
    if (rule_node && r >= kCommuteRules && (applied >> r & 1)) {
      // An applied identity op stands for its input; its e-node lives in that class.
      const uint32_t x = out.of[graph.children[graph.first[i]]];
      out.of[i] = x;
      const uint8_t bit = uint8_t(1u << (r - kCommuteRules));
      if (!(t.identity_seen[x] & bit)) {
        t.identity_seen[x] |= bit;
        ++out.matches[r];
        out.would_merge[r] = true;
      }
      continue;
    }
    const Key k = pass.key(i, known_class);
    bool fresh = false;
    out.of[i] = pass.intern(k, static_cast<uint32_t>(i), fresh);
    if (!fresh) continue;
    ++out.count;
    if (!rule_node) continue;
    if (r < kCommuteRules) {
      // Once commuted, a class holds both orders of its pair as e-nodes.
      const bool two = k.a != k.b;
      out.matches[r] += (applied >> r & 1) && two ? 2 : 1;
      out.would_merge[r] = out.would_merge[r] || two;
    } else {
      ++out.matches[r];
      out.would_merge[r] = true;
    }
  }
  return out;
}

}  // namespace trellan::engine
