#include "optimizer/passes/cse.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "common/panic.hpp"

namespace trellan {

namespace {

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

// The CSE table: deduplicated positions by (operator, children), open
// addressing sized once for the most entries it will hold, so it never grows.
// A slot holds the upper half of the node's hash beside its position, so a
// probe that meets another node rarely has to look at that node.
class NodeIndex {
 public:
  static constexpr uint64_t kAbsent = ~uint64_t{0};

  explicit NodeIndex(size_t max_nodes)
      : slots_(std::bit_ceil(std::max<size_t>(16, 2 * max_nodes)), 0), mask_(slots_.size() - 1) {
    if (max_nodes >= std::numeric_limits<uint32_t>::max()) panic("graph too large to deduplicate");
  }

  // The position of a node of out with hash h equal to (op, children), or
  // kAbsent.
  uint64_t find(const OpGraph& out, uint64_t h, OpId op, std::span<const uint64_t> children) const {
    const uint64_t tag = h >> 32;
    for (size_t pos = h & mask_;; pos = (pos + 1) & mask_) {
      const uint64_t slot = slots_[pos];
      if (slot == 0) return kAbsent;
      const uint64_t id = (slot & 0xffffffffu) - 1;
      if ((slot >> 32) == tag && out.op[id] == op && std::ranges::equal(out.children_of(id), children)) {
        return id;
      }
    }
  }
  // Records position id, whose node (absent so far) has hash h.
  void insert(uint64_t h, uint64_t id) {
    size_t pos = h & mask_;
    while (slots_[pos] != 0) pos = (pos + 1) & mask_;
    slots_[pos] = ((h >> 32) << 32) | (id + 1);
  }
  void prefetch(uint64_t h) const { __builtin_prefetch(&slots_[h & mask_]); }
  void clear() { std::fill(slots_.begin(), slots_.end(), 0); }

 private:
  std::vector<uint64_t> slots_;  // hash tag << 32 | (position + 1); 0 = empty
  size_t mask_;
};

}  // namespace

// A probe of the large table is a cache miss, so most nodes avoid one: a node
// one of whose children no deduplicated node reads yet is new without a
// lookup (a node equal to it would read that child). New nodes are indexed in
// a small table that stays in cache and join the large one a batch at a time,
// their probes prefetched ahead so that the misses overlap.
Deduped cse(const OpGraph& graph) {
  constexpr size_t kBatch = 2048, kAhead = 16;
  const size_t n = graph.size();
  Deduped out;
  out.map.assign(n, 0);
  out.graph.reserve(n, graph.children.size());
  NodeIndex index(n);
  NodeIndex recent(kBatch);
  std::vector<std::pair<uint64_t, uint64_t>> batch;  // (hash, position) of the nodes in recent
  batch.reserve(kBatch);
  std::vector<uint8_t> read;                          // per deduplicated node: read by one
  read.reserve(n);
  auto flush = [&] {
    for (size_t k = 0; k < std::min(kAhead, batch.size()); ++k) index.prefetch(batch[k].first);
    for (size_t k = 0; k < batch.size(); ++k) {
      if (k + kAhead < batch.size()) index.prefetch(batch[k + kAhead].first);
      index.insert(batch[k].first, batch[k].second);
    }
    batch.clear();
    recent.clear();
  };
  std::vector<uint64_t> kids;
  for (uint64_t i = 0; i < n; ++i) {
    kids.clear();
    bool fresh = false;
    for (uint64_t c : graph.children_of(i)) {
      if (c >= i) panic("canonical graph lists a node before its inputs");
      const uint64_t k = out.map[c];
      kids.push_back(k);
      fresh = fresh || !read[k];
    }
    const OpId op = graph.op[i];
    const uint64_t h = hash_node(op, kids);
    uint64_t id = NodeIndex::kAbsent;
    if (!fresh) {
      id = index.find(out.graph, h, op, kids);
      if (id == NodeIndex::kAbsent) id = recent.find(out.graph, h, op, kids);
    }
    if (id == NodeIndex::kAbsent) {
      id = out.graph.size();
      out.graph.add(op, graph.opaque[i] != 0, kids);
      read.push_back(0);
      for (uint64_t k : kids) read[k] = 1;
      recent.insert(h, id);
      batch.emplace_back(h, id);
      if (batch.size() == kBatch) flush();
    }
    out.map[i] = id;
  }
  out.graph.outputs.reserve(graph.outputs.size());
  for (uint64_t o : graph.outputs) out.graph.outputs.push_back(at_checked(out.map, o));
  return out;
}

}  // namespace trellan
