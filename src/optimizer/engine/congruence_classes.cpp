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
// an applied commutative op in ascending order. home: the first slot of the
// key's window in the table (none for a key without children). A key with
// more than two children keeps its hash (see spill_hash).
struct Key {
  uint32_t op, a, b;
  bool leaf;
  uint64_t wide_hash;
  size_t home;
};

// The hash that places a key in the spill table, worked out only for keys
// that go there: most are found or placed in their window.
uint64_t spill_hash(const Key& k) {
  if (k.a == kWide) return k.wide_hash;
  return finish(mix(mix(mix(k.op, k.b == kEmpty ? 1 : 2), k.a), k.b));
}

// A 32-bit spread of a few words, to place keys within their region.
uint32_t spread(uint64_t x, uint64_t y, uint64_t z) {
  return static_cast<uint32_t>((x * 0x9E3779B97F4A7C15ull ^ y * 0xC2B2AE3D27D4EB4Full ^ z * 0x165667B19E3779F9ull) >> 32);
}

class Pass {
 public:
  Pass(const OpGraph& g, const RuleOps& rules, uint32_t applied, ClassTable& t, support::MappedVector<uint32_t>& of)
      : g_(g), rules_(rules), applied_(applied), local_(t.local), spill_(t.spill), leaves_(t.leaves), of_(of),
        start_(t.region_start) {}

  // class_of(c) gives the class of child c.
  template <class ClassOf>
  Key key(size_t i, ClassOf class_of) const {
    const uint32_t op = g_.op[i];
    auto kids = g_.children_of(i);
    if (kids.size() > 2) {
      uint64_t h = mix(op, kids.size());
      uint32_t anchor = class_of(kids[0]);
      for (uint64_t c : kids) {
        const uint32_t k = class_of(c);
        h = mix(h, k);
        anchor = fewer_readers(anchor, k);
      }
      h = finish(h);
      return {op, kWide, static_cast<uint32_t>(h), false, h, home(anchor, static_cast<uint32_t>(h >> 32))};
    }
    if (kids.empty()) return {op, kEmpty, kEmpty, true, 0, 0};
    uint32_t a = class_of(kids[0]);
    if (kids.size() == 1) return {op, a, kEmpty, false, 0, home(a, spread(op, a, 1))};
    uint32_t b = class_of(kids[1]);
    if (a > b && commuted(op)) std::swap(a, b);
    // A pair and its mirror share a home, so a pair's twin is looked for in
    // the window just visited.
    return {op, a, b, false, 0, home(fewer_readers(a, b), spread(op, std::min(a, b), std::max(a, b)))};
  }

  bool commuted(uint32_t op) const {
    uint8_t r = rules_.rule(op);
    return r < kCommuteRules && (applied_ >> r & 1);
  }

  // Keys are placed in the region of the child class with the fewest
  // readers, which the table sets aside in class order, as many slots as
  // the class's first node has readers: a pass in node order sweeps the
  // table instead of jumping about it, and the keys of a node many others
  // read (a broadcast value) go near their other child. A key takes the first
  // free slot of a short window from its home in that region. A key finding
  // its window full goes to a spill table by its hash. Slots are never freed
  // within a pass, so a window once full stays full, and a key is in the
  // spill table exactly when its window is full.
  uint32_t readers(uint32_t c) const { return start_[c + 1] - start_[c]; }
  uint32_t fewer_readers(uint32_t x, uint32_t y) const {
    const uint32_t rx = readers(x), ry = readers(y);
    return rx < ry ? x : ry < rx ? y : std::max(x, y);
  }
  size_t home(uint32_t anchor, uint32_t spread) const {
    return start_[anchor] + ((uint64_t{spread} * readers(anchor)) >> 32);
  }
  void prefetch(const Key& k) const {
    if (!k.leaf) __builtin_prefetch(&local_[k.home]);
  }

  // The same pair the other way round.
  Key swapped(const Key& k) const {
    return {k.op, k.b, k.a, false, 0, k.home};
  }
  // Whether some class has key k, which has two children.
  bool contains(const Key& k) const {
    for (size_t s = k.home; s < k.home + kWindow; ++s) {
      const ClassTable::Slot& slot = local_[s];
      if (slot.cls == kEmpty) return false;
      if (same_key(slot, k, 0)) return true;
    }
    if (spill_.slots.empty()) return false;
    const size_t mask = spill_.slots.size() - 1;
    for (size_t s = spill_hash(k) & mask;; s = (s + 1) & mask) {
      const ClassTable::Slot& slot = spill_.slots[s];
      if (slot.cls == kEmpty) return false;
      if (same_key(slot, k, 0)) return true;
    }
  }

  // The class holding key k, or a new one named `at` when there is none.
  uint32_t intern(const Key& k, uint32_t at, bool& fresh) {
    fresh = false;
    if (k.leaf) {
      // Without children the operator alone is the key. Most such nodes are
      // sources, each an operator of its own, numbered in order of first
      // use: a table by operator is filled in order.
      if (k.op >= leaves_.size()) leaves_.resize(size_t{k.op} + 1, kEmpty);
      uint32_t& cls = leaves_[k.op];
      fresh = cls == kEmpty;
      if (fresh) cls = at;
      return cls;
    }
    for (size_t s = k.home; s < k.home + kWindow; ++s) {
      ClassTable::Slot& slot = local_[s];
      if (slot.cls == kEmpty) return place(slot, k, at, fresh);
      if (same_key(slot, k, at)) return slot.cls;
    }
    if (spill_.slots.size() * 3 <= (spill_.count + 1) * 4) grow_spill();
    const size_t mask = spill_.slots.size() - 1;
    for (size_t s = spill_hash(k) & mask;; s = (s + 1) & mask) {
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
      size_t s = spill_hash(key(slot.cls, [&](uint64_t c) { return of_[c]; })) & mask;
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
  const support::MappedVector<uint32_t>& of_;
  const support::MappedVector<uint32_t>& start_;  // per class: where its region begins
};

// Regions as many slots long as each node has readers (its uses as a child),
// one after another in node order. A graph with more uses than a 32-bit
// position holds gets regions in proportion.
void set_regions(const OpGraph& g, support::MappedVector<uint32_t>& start) {
  const size_t n = g.size();
  start.assign(n + 1, 0);
  for (uint64_t c : g.children) start[c + 1] = start[c + 1] == UINT32_MAX ? UINT32_MAX : start[c + 1] + 1;
  const unsigned shift = std::bit_width(g.children.size() >> 30);
  uint64_t sum = 0;
  for (size_t i = 1; i <= n; ++i) {
    sum += start[i];
    start[i] = static_cast<uint32_t>(sum >> shift);
  }
}

}  // namespace

Classes congruence_classes(const OpGraph& graph, const RuleOps& rules, uint32_t applied,
                           std::span<const uint32_t> guess, ClassTable& t) {
  const size_t n = graph.size();
  if (t.region_start.size() != n + 1) set_regions(graph, t.region_start);
  const size_t capacity = t.region_start[n] + kWindow + 1;
  constexpr ClassTable::Slot kFree{0, 0, 0, kEmpty};
  if (t.local.size() != capacity) {
    // Written once, free, rather than zeroed and then freed.
    t.local.clear();
    t.local.shrink_to_fit();
    t.local.assign(capacity, kFree);
  } else {
    std::fill(t.local.begin(), t.local.end(), kFree);
  }
  std::fill(t.spill.slots.begin(), t.spill.slots.end(), kFree);
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
