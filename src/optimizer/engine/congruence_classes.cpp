#include "optimizer/engine/congruence_classes.hpp"

#include <algorithm>
#include <bit>

namespace trellan::engine {
namespace {

constexpr uint32_t kEmpty = UINT32_MAX;     // slot.cls of a free slot; a missing child in a key
constexpr uint32_t kWide = UINT32_MAX - 1;  // slot.a of a key with more than two children
constexpr size_t kAhead = 16;               // nodes between fetching a slot and probing it
constexpr size_t kWindow = 8;               // slots a key may take from its home on

uint64_t mix(uint64_t h, uint64_t v) { return (std::rotl(h, 23) ^ v) * 0x9E3779B97F4A7C15ull; }

uint64_t finish(uint64_t h) {
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  return h ^ (h >> 32);
}

// A node's key: its operator and its children's classes, the two children of
// an applied commutative op in ascending order. last: the latest of those
// classes, which places the key in the table.
struct Key {
  uint32_t op, a, b, last;
  uint64_t hash;
};

class Pass {
 public:
  Pass(const OpGraph& g, const RuleOps& rules, uint32_t applied, ClassTable& t, std::vector<uint32_t>& of)
      : g_(g), rules_(rules), applied_(applied), local_(t.local), spill_(t.spill), leaves_(t.leaves), of_(of),
        scale_(((t.local.size() - kWindow - 2) << 16) / std::max<size_t>(g.size(), 1)) {}

  // class_of(c) gives the class of child c.
  template <class ClassOf>
  Key key(size_t i, ClassOf class_of) const {
    const uint32_t op = g_.op[i];
    auto kids = g_.children_of(i);
    uint64_t h = mix(op, kids.size());
    if (kids.size() > 2) {
      uint32_t last = 0;
      for (uint64_t c : kids) {
        const uint32_t k = class_of(c);
        h = mix(h, k);
        last = std::max(last, k);
      }
      h = finish(h);
      return {op, kWide, static_cast<uint32_t>(h), last, h};
    }
    uint32_t a = kids.size() > 0 ? class_of(kids[0]) : kEmpty;
    uint32_t b = kids.size() > 1 ? class_of(kids[1]) : kEmpty;
    if (kids.size() == 2 && a > b && commuted(op)) std::swap(a, b);
    const uint32_t last = kids.size() == 0 ? kEmpty : kids.size() == 1 ? a : std::max(a, b);
    return {op, a, b, last, finish(mix(mix(h, a), b))};
  }

  bool commuted(uint32_t op) const {
    uint8_t r = rules_.rule(op);
    return r < kCommuteRules && (applied_ >> r & 1);
  }

  // Keys are placed near their latest child class, so that a pass in node
  // order sweeps the table instead of jumping about it: in the first free
  // slot of a short window from a home that follows the class's position.
  // A key finding its window full goes to a spill table by its hash. Slots
  // are never freed within a pass, so a window once full stays full, and a
  // key is in the spill table exactly when its window is full.
  size_t local_home(const Key& k) const { return ((uint64_t{k.last} * scale_) >> 16) + (k.hash & 1); }
  void prefetch(const Key& k) const {
    if (k.last != kEmpty) __builtin_prefetch(&local_[local_home(k)]);
  }

  // The same pair the other way round.
  Key swapped(const Key& k) const {
    return {k.op, k.b, k.a, k.last, finish(mix(mix(mix(k.op, 2), k.b), k.a))};
  }
  // Whether some class has key k, which has at most two children.
  bool contains(const Key& k) const {
    const size_t home = local_home(k);
    for (size_t s = home; s < home + kWindow; ++s) {
      const ClassTable::Slot& slot = local_[s];
      if (slot.cls == kEmpty) return false;
      if (same_key(slot, k, 0)) return true;
    }
    if (spill_.slots.empty()) return false;
    const size_t mask = spill_.slots.size() - 1;
    for (size_t s = k.hash & mask;; s = (s + 1) & mask) {
      const ClassTable::Slot& slot = spill_.slots[s];
      if (slot.cls == kEmpty) return false;
      if (same_key(slot, k, 0)) return true;
    }
  }

  // The class holding key k, or a new one named `at` when there is none.
  uint32_t intern(const Key& k, uint32_t at, bool& fresh) {
    fresh = false;
    if (k.last == kEmpty) {
      // Without children the operator alone is the key. Most such nodes are
      // sources, each an operator of its own, numbered in order of first
      // use: a table by operator is filled in order.
      if (k.op >= leaves_.size()) leaves_.resize(size_t{k.op} + 1, kEmpty);
      uint32_t& cls = leaves_[k.op];
      fresh = cls == kEmpty;
      if (fresh) cls = at;
      return cls;
    }
    {
      const size_t home = local_home(k);
      for (size_t s = home; s < home + kWindow; ++s) {
        ClassTable::Slot& slot = local_[s];
        if (slot.cls == kEmpty) return place(slot, k, at, fresh);
        if (same_key(slot, k, at)) return slot.cls;
      }
    }
    if (spill_.slots.size() * 3 <= (spill_.count + 1) * 4) grow_spill();
    const size_t mask = spill_.slots.size() - 1;
    for (size_t s = k.hash & mask;; s = (s + 1) & mask) {
      ClassTable::Slot& slot = spill_.slots[s];
      if (slot.cls == kEmpty) {
        ++spill_.count;
        return place(slot, k, at, fresh);
      }
      if (same_key(slot, k, at)) return slot.cls;
    }
  }

 private:
  bool same_key(const ClassTable::Slot& slot, const Key& k, uint32_t at) const {
    return slot.op == k.op && slot.a == k.a && slot.b == k.b && (k.a != kWide || same_children(slot.cls, at));
  }
  static uint32_t place(ClassTable::Slot& slot, const Key& k, uint32_t at, bool& fresh) {
    slot = {k.op, k.a, k.b, at};
    fresh = true;
    return at;
  }
  // Spill slots keep no hash: a key's hash is recomputed from its first node.
  void grow_spill() {
    ClassTable::Slots old(std::max<size_t>(1024, spill_.slots.size() * 2), ClassTable::Slot{0, 0, 0, kEmpty});
    old.swap(spill_.slots);
    const size_t mask = spill_.slots.size() - 1;
    for (const ClassTable::Slot& slot : old) {
      if (slot.cls == kEmpty) continue;
      size_t s = key(slot.cls, [&](uint64_t c) { return of_[c]; }).hash & mask;
      while (spill_.slots[s].cls != kEmpty) s = (s + 1) & mask;
      spill_.slots[s] = slot;
    }
  }

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
  ClassTable::Slots& local_;
  ClassTable::Spill& spill_;
  std::vector<uint32_t>& leaves_;
  const std::vector<uint32_t>& of_;
  size_t scale_;  // class position to slot, times 2^16
};

}  // namespace

Classes congruence_classes(const OpGraph& graph, const RuleOps& rules, uint32_t applied,
                           std::span<const uint32_t> guess, ClassTable& t) {
  const size_t n = graph.size();
  const size_t capacity = n + n / 2 + 1024;  // at most two thirds full
  if (t.local.size() != capacity) {
    t.local.clear();
    t.local.shrink_to_fit();
    t.local.resize(capacity);
  }
  std::fill(t.local.begin(), t.local.end(), ClassTable::Slot{0, 0, 0, kEmpty});
  std::fill(t.spill.slots.begin(), t.spill.slots.end(), ClassTable::Slot{0, 0, 0, kEmpty});
  std::fill(t.leaves.begin(), t.leaves.end(), kEmpty);
  t.spill.count = 0;
  t.identity_seen.assign(applied >> kCommuteRules ? n : 0, 0);

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
    if (i + kAhead < n) pass.prefetch(pass.key(i + kAhead, ahead_class(i)));
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
      if (two && !(applied >> r & 1)) {
        ++out.uneven[r];
        // The mirror of a pair is met when the second of the two comes by.
        out.twins[r] = out.twins[r] || pass.contains(pass.swapped(k));
      }
    } else {
      ++out.matches[r];
      out.would_merge[r] = true;
    }
  }
  return out;
}

}  // namespace trellan::engine
