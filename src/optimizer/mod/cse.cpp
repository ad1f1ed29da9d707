#include "optimizer/mod/cse.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "common/panic.hpp"

namespace trellan {

std::vector<OpId> canonical_operators(const engine::Canonical& canonical,
                                      std::span<const OpId> engine_ops, TokenTable& table) {
  const auto& nodes = canonical.graph.nodes;
  constexpr uint64_t kNone = ~uint64_t{0};
  std::vector<uint64_t> first_source(nodes.size(), kNone);
  for (uint64_t i = 0; i < canonical.node_map.size(); ++i) {
    uint64_t p = canonical.node_map[i];
    if (p < nodes.size() && first_source[p] == kNone) first_source[p] = i;
  }
  std::vector<OpId> ops;
  ops.reserve(nodes.size());
  for (uint64_t p = 0; p < nodes.size(); ++p) {
    uint64_t i = first_source[p];
    if (i < engine_ops.size() && table.text(engine_ops[i]) == nodes[p].op) {
      ops.push_back(engine_ops[i]);
    } else {
      ops.push_back(table.intern(nodes[p].op));
    }
  }
  return ops;
}

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
// addressing sized once for the largest possible result, so it never grows.
// A slot holds the upper half of the node's hash beside its position, so a
// probe that meets another node rarely has to look at that node.
class NodeIndex {
 public:
  explicit NodeIndex(size_t max_nodes)
      : slots_(std::bit_ceil(std::max<size_t>(16, 2 * max_nodes)), 0), mask_(slots_.size() - 1) {
    if (max_nodes >= std::numeric_limits<uint32_t>::max()) panic("graph too large to deduplicate");
  }

  // The position of a node of out equal to (op, children), or else out.size(),
  // which the caller then fills.
  uint64_t find_or_add(const OpGraph& out, OpId op, std::span<const uint64_t> children) {
    uint64_t h = hash_node(op, children);
    uint64_t tag = h >> 32;
    size_t pos = h & mask_;
    while (uint64_t slot = slots_[pos]) {
      uint64_t id = (slot & 0xffffffffu) - 1;
      if ((slot >> 32) == tag && out.op[id] == op && std::ranges::equal(out.children_of(id), children)) {
        return id;
      }
      pos = (pos + 1) & mask_;
    }
    uint64_t id = out.size();
    slots_[pos] = (tag << 32) | (id + 1);
    return id;
  }

 private:
  std::vector<uint64_t> slots_;  // hash tag << 32 | (position + 1); 0 = empty
  size_t mask_;
};

}  // namespace

Deduped cse(const OpGraph& graph) {
  const size_t n = graph.size();
  Deduped out;
  out.map.assign(n, 0);
  out.graph.reserve(n, graph.children.size());
  NodeIndex index(n);
  std::vector<uint64_t> kids;
  for (uint64_t i = 0; i < n; ++i) {
    kids.clear();
    for (uint64_t c : graph.children_of(i)) {
      if (c >= i) panic("canonical graph lists a node before its inputs");
      kids.push_back(out.map[c]);
    }
    OpId op = graph.op[i];
    uint64_t id = index.find_or_add(out.graph, op, kids);
    if (id == out.graph.size()) out.graph.add(op, graph.opaque[i] != 0, kids);
    out.map[i] = id;
  }
  out.graph.outputs.reserve(graph.outputs.size());
  for (uint64_t o : graph.outputs) out.graph.outputs.push_back(at_checked(out.map, o));
  return out;
}

Deduped cse(const engine::EngineGraph& graph, std::span<const OpId> ops) {
  OpGraph flat;
  flat.reserve(graph.nodes.size(), 0);
  for (uint64_t i = 0; i < graph.nodes.size(); ++i) {
    const engine::EngineNode& node = graph.nodes[i];
    flat.add(at_checked(ops, i), node.opaque, node.children);
  }
  flat.outputs = graph.outputs;
  return cse(flat);
}

}  // namespace trellan
