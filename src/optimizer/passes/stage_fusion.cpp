#include "optimizer/passes/stage_fusion.hpp"

#include <algorithm>

#include "common/panic.hpp"

namespace trellan {

namespace {

// Positions of the deduplicated graph fit 32 bits (cse refuses larger
// graphs), so the per-position tables hold 32-bit words: half the memory, and
// half the cache misses, of 64-bit ones.
using Pos = uint32_t;
constexpr Pos kNone = ~Pos{0};

// Consumers of every position, ascending, one entry per use: the consumers of
// c are list[first[c], first[c + 1]).
struct Consumers {
  std::vector<uint64_t> first;
  std::vector<Pos> list;
  std::span<const Pos> of(uint64_t c) const {
    return {list.data() + first[c], list.data() + first[c + 1]};
  }
};

Consumers consumers_of(const OpGraph& g) {
  const size_t n = g.size();
  Consumers out;
  out.first.assign(n + 1, 0);
  for (uint64_t c : g.children) ++out.first[c + 1];
  for (size_t i = 0; i < n; ++i) out.first[i + 1] += out.first[i];
  out.list.resize(g.children.size());
  std::vector<uint64_t> fill(out.first.begin(), out.first.end() - 1);
  for (uint64_t j = 0; j < n; ++j) {
    for (uint64_t c : g.children_of(j)) out.list[fill[c]++] = static_cast<Pos>(j);
  }
  return out;
}

std::vector<uint8_t> output_flags(const OpGraph& g) {
  std::vector<uint8_t> flags(g.size(), 0);
  for (uint64_t o : g.outputs) at_checked(flags, o) = 1;
  return flags;
}

// Root of x, pointing every position on the walked path straight at it.
Pos find_root(std::vector<Pos>& parent, Pos x) {
  Pos root = x;
  while (parent[root] != root) root = parent[root];
  while (parent[x] != root) {
    Pos next = parent[x];
    parent[x] = root;
    x = next;
  }
  return root;
}

std::vector<Pos> single_use_groups(const OpGraph& g, const Consumers& uses,
                                   const std::vector<uint8_t>& is_output) {
  const size_t n = g.size();
  std::vector<Pos> parent(n);
  for (Pos i = 0; i < n; ++i) parent[i] = i;
  for (Pos i = 0; i < n; ++i) {
    auto used_by = uses.of(i);
    if (g.opaque[i] || used_by.size() != 1 || is_output[i] || g.opaque[used_by[0]]) continue;
    Pos a = find_root(parent, i);
    Pos b = find_root(parent, used_by[0]);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  }
  // The roots in place of the parents: the table becomes the keys.
  for (Pos i = 0; i < n; ++i) parent[i] = g.opaque[i] ? i : find_root(parent, i);
  return parent;
}

// Consumers come after i, so their keys are final when i is visited.
std::vector<Pos> maximal_groups(const OpGraph& g, const Consumers& uses,
                                const std::vector<uint8_t>& is_output) {
  const size_t n = g.size();
  std::vector<Pos> key(n);
  for (Pos i = 0; i < n; ++i) key[i] = i;
  for (Pos i = static_cast<Pos>(n); i-- > 0;) {
    auto used_by = uses.of(i);
    if (g.opaque[i] || is_output[i] || used_by.empty()) continue;
    if (std::ranges::any_of(used_by, [&](Pos c) { return g.opaque[c] != 0; })) continue;
    Pos target = key[used_by[0]];
    if (std::ranges::all_of(used_by, [&](Pos c) { return key[c] == target; })) key[i] = target;
  }
  return key;
}

// Builds the reduced nodes group by group. Tables are indexed by position or
// group key (itself a position), so no lookup needs a hash.
class Emitter {
 public:
  Emitter(const OpGraph& g, const TokenTable& table, std::vector<Pos> key)
      : g_(g), table_(table), key_(std::move(key)) {
    const size_t n = g.size();
    emitted_.assign(n, kNone);
    member_index_.assign(n, 0);
    slot_stamp_.assign(n, kNone);
    slot_of_.assign(n, 0);
    group_members();
  }

  Fused run() {
    out_.placement.reserve(g_.size());
    // A group is emitted at its largest member: that is the order of groups
    // sorted by largest member, found without sorting.
    for (Pos p = 0; p < g_.size(); ++p) {
      Pos group = key_[p];
      if (last_[group] != p) continue;
      Pos pos = static_cast<Pos>(out_.nodes.size());
      if (g_.opaque[group]) {
        emit_boundary(group);
      } else {
        emit_stage(group);
      }
      emitted_[group] = pos;
    }
    // Placements by position, from the stage (or node) and member index
    // recorded per position while emitting.
    for (Pos p = 0; p < g_.size(); ++p) {
      const Pos group = key_[p];
      if (g_.opaque[group]) {
        out_.placement.push_back(Placement{emitted_[group], std::nullopt});
      } else {
        out_.placement.push_back(Placement{emitted_[group], member_index_[p]});
      }
    }
    out_.outputs.reserve(g_.outputs.size());
    for (uint64_t o : g_.outputs) out_.outputs.push_back(emitted_of(at_checked(key_, o)));
    return std::move(out_);
  }

 private:
  // Member lists by group key, ascending, and the largest member of each group.
  void group_members() {
    const size_t n = g_.size();
    first_.assign(n + 1, 0);
    last_.assign(n, kNone);
    for (Pos p = 0; p < n; ++p) {
      ++first_[key_[p] + 1];
      last_[key_[p]] = p;
    }
    for (size_t i = 0; i < n; ++i) first_[i + 1] += first_[i];
    members_.resize(n);
    std::vector<Pos> fill(first_.begin(), first_.end() - 1);
    for (Pos p = 0; p < n; ++p) members_[fill[key_[p]]++] = p;
  }

  Pos emitted_of(Pos group) const {
    Pos pos = at_checked(emitted_, group);
    if (pos == kNone) panic("no entry found for key");
    return pos;
  }

  void emit_boundary(Pos p) {
    auto children = g_.children_of(p);
    std::vector<NodeId> inputs;
    inputs.reserve(children.size());
    for (uint64_t c : children) inputs.push_back(emitted_of(key_[c]));
    out_.nodes.push_back(table_.first_key(g_.op[p]).with_inputs(IdList(inputs)));
    ++out_.boundary_nodes;
  }

  void emit_stage(Pos group) {
    const Pos pos = static_cast<Pos>(out_.nodes.size());
    std::span<const Pos> members(members_.data() + first_[group], members_.data() + first_[group + 1]);
    slot_groups_.clear();
    std::vector<StageOp> ops;
    ops.reserve(members.size());
    for (Pos k = 0; k < members.size(); ++k) {
      Pos m = members[k];
      member_index_[m] = k;
      StageOp op{table_.text(g_.op[m]), {}};
      auto children = g_.children_of(m);
      op.inputs.reserve(children.size());
      for (uint64_t c : children) op.inputs.push_back(reference(group, c, pos));
      ops.push_back(std::move(op));
    }
    std::vector<NodeId> inputs;
    inputs.reserve(slot_groups_.size());
    for (Pos s : slot_groups_) inputs.push_back(emitted_of(s));
    out_.nodes.push_back(NodeKey::stage(IdList(inputs), std::move(ops)));
    ++out_.stages;
  }

  // How a member of group, emitted at stage_pos, refers to its child c: an
  // earlier member directly, anything else through the stage's input slot
  // for c's group, slots numbered in order of first use.
  StageRef reference(Pos group, uint64_t c, Pos stage_pos) {
    Pos child_group = key_[c];
    if (child_group == group) return StageRef::member(member_index_[c]);
    if (slot_stamp_[child_group] != stage_pos) {
      slot_stamp_[child_group] = stage_pos;
      slot_of_[child_group] = static_cast<Pos>(slot_groups_.size());
      slot_groups_.push_back(child_group);
    }
    return StageRef::input(slot_of_[child_group]);
  }

  const OpGraph& g_;
  const TokenTable& table_;
  std::vector<Pos> key_;           // group key per position
  std::vector<Pos> first_;         // member lists: members_[first_[g], first_[g + 1])
  std::vector<Pos> members_;
  std::vector<Pos> last_;          // largest member per group key
  std::vector<Pos> emitted_;       // reduced position per group key
  std::vector<Pos> member_index_;  // per position, within its stage
  std::vector<Pos> slot_stamp_;    // per group key: the stage that last gave it a slot
  std::vector<Pos> slot_of_;       // per group key: that slot
  std::vector<Pos> slot_groups_;   // slots of the stage being built
  Fused out_;
};

// Which ops share a stage. The single-use rule fuses an op into its only
// consumer; the maximal rule also fuses an op all of whose consumers lie in
// one group. Returns every position's group key: a group's root (smallest
// member) under the single-use rule, its sink (largest member) under the
// maximal rule; a node that is not an op is a group of its own.
std::vector<uint32_t> fusion_groups(const OpGraph& graph, bool maximal_fusion) {
  if (graph.size() >= kNone) panic("graph too large to fuse");
  Consumers uses = consumers_of(graph);
  std::vector<uint8_t> is_output = output_flags(graph);
  return maximal_fusion ? maximal_groups(graph, uses, is_output)
                        : single_use_groups(graph, uses, is_output);
}

}  // namespace

Fused stage_fusion(const OpGraph& graph, const TokenTable& table, bool maximal_fusion) {
  return Emitter(graph, table, fusion_groups(graph, maximal_fusion)).run();
}

}  // namespace trellan
