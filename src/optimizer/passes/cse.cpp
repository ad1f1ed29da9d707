#include "optimizer/passes/cse.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "common/panic.hpp"
#include "common/tagged_index.hpp"

namespace trellan {

namespace {

using Pos = uint32_t;
constexpr Pos kNone = ~Pos{0};

// Operator and child ids are dense internal numbers, so an unkeyed mix is
// enough here.
uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb3f99fd2ca63ULL;
  x ^= x >> 33;
  return x;
}

uint64_t hash_node(OpId op, std::span<const uint64_t> children) {
  uint64_t h = op;
  for (uint64_t c : children) h = std::rotl(h, 23) ^ (c * 0x9e3779b97f4a7c15ULL);
  return mix(h ^ (children.size() << 40));
}

// The deduplicated nodes by (operator, children). Two equal nodes have the
// same largest child, so the candidates for a node are the nodes listed under
// its largest child: a short list, reached through the child's own record,
// which in a graph numbered in order of its chains was touched a moment ago.
// A hash probe would be a cache miss per node at large sizes. A child read by
// many nodes lists only the first few; the rest go to a hash index that such
// children alone fill. Nodes without children go by operator.
class NodeIndex {
 public:
  explicit NodeIndex(const OpGraph& out) : out_(out) {}

  // The position of a node equal to (op, children), whose largest child is
  // top (kNone without children), or kNone.
  Pos find(OpId op, std::span<const uint64_t> children, Pos top) const {
    if (top == kNone) return op < leaves_.size() ? leaves_[op] : kNone;
    const Record& r = records_[top];
    for (Pos m = r.head; m != kNone; m = records_[m].next) {
      if (equal(m, op, children)) return m;
    }
    if (r.listed < kListed) return kNone;
    const auto probe = spilled_.find(hash_node(op, children),
                                     [&](uint64_t at) { return equal(spilled_pos_[at], op, children); });
    return probe.found ? spilled_pos_[probe.id] : kNone;
  }

  // Records the new position id (the next one) for (op, children).
  void insert(Pos id, OpId op, std::span<const uint64_t> children, Pos top) {
    records_.push_back(Record{});
    for (uint64_t c : children) records_[c].read = 1;
    if (top == kNone) {
      if (op >= leaves_.size()) leaves_.resize(op + 1, kNone);
      leaves_[op] = id;
      return;
    }
    Record& r = records_[top];
    if (r.listed < kListed) {
      records_[id].next = r.head;
      r.head = id;
      ++r.listed;
      return;
    }
    const uint64_t h = hash_node(op, children);
    if (spilled_pos_.size() == spilled_pos_.capacity()) spilled_pos_.reserve(2 * spilled_pos_.size() + 64);
    spilled_.reserve_one();
    const auto probe = spilled_.find(h, [](uint64_t) { return false; });
    spilled_.insert(probe, h);
    spilled_pos_.push_back(id);
  }

  // Whether some deduplicated node reads position k: a node one of whose
  // children nothing reads yet is new, with no lookup at all.
  bool read(Pos k) const { return records_[k].read != 0; }
  void reserve(size_t n) { records_.reserve(n); }

 private:
  static constexpr uint8_t kListed = 8;

  // One per deduplicated position.
  struct Record {
    Pos head = kNone;   // the newest node listed under this one as largest child
    Pos next = kNone;   // the next older node listed under the same child
    uint8_t listed = 0; // how many nodes this one lists, up to kListed
    uint8_t read = 0;   // some deduplicated node reads this one
  };

  bool equal(Pos m, OpId op, std::span<const uint64_t> children) const {
    return out_.op[m] == op && std::ranges::equal(out_.children_of(m), children);
  }

  const OpGraph& out_;
  std::vector<Record> records_;
  std::vector<Pos> leaves_;       // by operator: its node without children
  TaggedIndex spilled_;           // nodes beyond the lists, positions index spilled_pos_
  std::vector<Pos> spilled_pos_;
};

}  // namespace

Deduped cse(const OpGraph& graph) {
  const size_t n = graph.size();
  if (n >= kNone) panic("graph too large to deduplicate");
  Deduped out;
  out.map.reserve(n);
  out.graph.reserve(n, graph.children.size());
  NodeIndex index(out.graph);
  index.reserve(n);
  std::vector<uint64_t> kids;
  for (uint64_t i = 0; i < n; ++i) {
    kids.clear();
    bool fresh = false;
    Pos top = kNone;
    for (uint64_t c : graph.children_of(i)) {
      if (c >= i) panic("canonical graph lists a node before its inputs");
      const Pos k = static_cast<Pos>(out.map[c]);
      kids.push_back(k);
      fresh = fresh || !index.read(k);
      top = top == kNone ? k : std::max(top, k);
    }
    const OpId op = graph.op[i];
    Pos id = fresh ? kNone : index.find(op, kids, top);
    if (id == kNone) {
      id = static_cast<Pos>(out.graph.size());
      out.graph.add(op, graph.opaque[i] != 0, kids);
      index.insert(id, op, kids, top);
    }
    out.map.push_back(id);
  }
  out.graph.outputs.reserve(graph.outputs.size());
  for (uint64_t o : graph.outputs) out.graph.outputs.push_back(at_checked(out.map, o));
  return out;
}

}  // namespace trellan
