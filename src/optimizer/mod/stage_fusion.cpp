#include "optimizer/mod/stage_fusion.hpp"

#include <algorithm>

#include "common/panic.hpp"

namespace trellan {

namespace {

constexpr uint64_t kNone = ~uint64_t{0};

// Consumers of every position, ascending, one entry per use: the consumers of
// c are list[first[c], first[c + 1]).
struct Consumers {
  std::vector<uint64_t> first;
  std::vector<uint64_t> list;
  std::span<const uint64_t> of(uint64_t c) const {
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
    for (uint64_t c : g.children_of(j)) out.list[fill[c]++] = j;
  }
  return out;
}

std::vector<uint8_t> output_flags(const OpGraph& g) {
  std::vector<uint8_t> flags(g.size(), 0);
  for (uint64_t o : g.outputs) at_checked(flags, o) = 1;
  return flags;
}

// Root of x, pointing every position on the walked path straight at it.
uint64_t find_root(std::vector<uint64_t>& parent, uint64_t x) {
  uint64_t root = x;
  while (parent[root] != root) root = parent[root];
  while (parent[x] != root) {
    uint64_t next = parent[x];
    parent[x] = root;
    x = next;
  }
  return root;
}

std::vector<uint64_t> single_use_groups(const OpGraph& g, const Consumers& uses,
                                        const std::vector<uint8_t>& is_output) {
  const size_t n = g.size();
  std::vector<uint64_t> parent(n);
  for (uint64_t i = 0; i < n; ++i) parent[i] = i;
  for (uint64_t i = 0; i < n; ++i) {
    auto used_by = uses.of(i);
    if (g.opaque[i] || used_by.size() != 1 || is_output[i] || g.opaque[used_by[0]]) continue;
    uint64_t a = find_root(parent, i);
    uint64_t b = find_root(parent, used_by[0]);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  }
  std::vector<uint64_t> key(n);
  for (uint64_t i = 0; i < n; ++i) key[i] = g.opaque[i] ? i : find_root(parent, i);
  return key;
}

// Consumers come after i, so their keys are final when i is visited.
std::vector<uint64_t> maximal_groups(const OpGraph& g, const Consumers& uses,
                                     const std::vector<uint8_t>& is_output) {
  const size_t n = g.size();
  std::vector<uint64_t> key(n);
  for (uint64_t i = 0; i < n; ++i) key[i] = i;
  for (uint64_t i = n; i-- > 0;) {
    auto used_by = uses.of(i);
    if (g.opaque[i] || is_output[i] || used_by.empty()) continue;
    if (std::ranges::any_of(used_by, [&](uint64_t c) { return g.opaque[c] != 0; })) continue;
    uint64_t target = key[used_by[0]];
    if (std::ranges::all_of(used_by, [&](uint64_t c) { return key[c] == target; })) key[i] = target;
  }
  return key;
}

// Builds the reduced nodes group by group. Tables are indexed by position or
// group key (itself a position), so no lookup needs a hash.
class Emitter {
 public:
  Emitter(const OpGraph& g, const TokenTable& table, std::vector<uint64_t> key)
      : g_(g), table_(table), key_(std::move(key)) {
    const size_t n = g.size();
    emitted_.assign(n, kNone);
    member_index_.assign(n, 0);
    slot_stamp_.assign(n, kNone);
    slot_of_.assign(n, 0);
    out_.placement.resize(n, Placement{0, std::nullopt});
    group_members();
  }

  Fused run() {
    // A group is emitted at its largest member: that is the order of groups
    // sorted by largest member, found without sorting.
    for (uint64_t p = 0; p < g_.size(); ++p) {
      uint64_t group = key_[p];
      if (last_[group] != p) continue;
      uint64_t pos = out_.nodes.size();
      if (g_.opaque[group]) {
        emit_boundary(group);
      } else {
        emit_stage(group);
      }
      emitted_[group] = pos;
    }
    out_.outputs.reserve(g_.outputs.size());
    for (uint64_t o : g_.outputs) out_.outputs.push_back(emitted_of(key_[o]));
    return std::move(out_);
  }

 private:
  // Member lists by group key, ascending, and the largest member of each group.
  void group_members() {
    const size_t n = g_.size();
    first_.assign(n + 1, 0);
    last_.assign(n, kNone);
    for (uint64_t p = 0; p < n; ++p) {
      ++first_[key_[p] + 1];
      last_[key_[p]] = p;
    }
    for (size_t i = 0; i < n; ++i) first_[i + 1] += first_[i];
    members_.resize(n);
    std::vector<uint64_t> fill(first_.begin(), first_.end() - 1);
    for (uint64_t p = 0; p < n; ++p) members_[fill[key_[p]]++] = p;
  }

  uint64_t emitted_of(uint64_t group) const {
    uint64_t pos = at_checked(emitted_, group);
    if (pos == kNone) panic("no entry found for key");
    return pos;
  }

  void emit_boundary(uint64_t p) {
    auto children = g_.children_of(p);
    std::vector<NodeId> inputs;
    inputs.reserve(children.size());
    for (uint64_t c : children) inputs.push_back(emitted_of(key_[c]));
    uint64_t pos = out_.nodes.size();
    out_.nodes.push_back(table_.first_key(g_.op[p]).with_inputs(IdList(inputs)));
    out_.placement[p] = Placement{pos, std::nullopt};
    ++out_.boundary_nodes;
  }

  void emit_stage(uint64_t group) {
    const uint64_t pos = out_.nodes.size();
    std::span<const uint64_t> members(members_.data() + first_[group],
                                      members_.data() + first_[group + 1]);
    slot_groups_.clear();
    std::vector<StageOp> ops;
    ops.reserve(members.size());
    for (uint64_t k = 0; k < members.size(); ++k) {
      uint64_t m = members[k];
      member_index_[m] = k;
      StageOp op{table_.text(g_.op[m]), {}};
      auto children = g_.children_of(m);
      op.inputs.reserve(children.size());
      for (uint64_t c : children) op.inputs.push_back(reference(group, c, pos));
      ops.push_back(std::move(op));
      out_.placement[m] = Placement{pos, k};
    }
    std::vector<NodeId> inputs;
    inputs.reserve(slot_groups_.size());
    for (uint64_t s : slot_groups_) inputs.push_back(emitted_of(s));
    out_.nodes.push_back(NodeKey::stage(IdList(inputs), std::move(ops)));
    ++out_.stages;
  }

  // How a member of group, emitted at stage_pos, refers to its child c: an
  // earlier member directly, anything else through the stage's input slot
  // for c's group, slots numbered in order of first use.
  StageRef reference(uint64_t group, uint64_t c, uint64_t stage_pos) {
    uint64_t child_group = key_[c];
    if (child_group == group) return StageRef::member(member_index_[c]);
    if (slot_stamp_[child_group] != stage_pos) {
      slot_stamp_[child_group] = stage_pos;
      slot_of_[child_group] = slot_groups_.size();
      slot_groups_.push_back(child_group);
    }
    return StageRef::input(slot_of_[child_group]);
  }

  const OpGraph& g_;
  const TokenTable& table_;
  std::vector<uint64_t> key_;           // group key per position
  std::vector<uint64_t> first_;         // member lists: members_[first_[g], first_[g + 1])
  std::vector<uint64_t> members_;
  std::vector<uint64_t> last_;          // largest member per group key
  std::vector<uint64_t> emitted_;       // reduced position per group key
  std::vector<uint64_t> member_index_;  // per position, within its stage
  std::vector<uint64_t> slot_stamp_;    // per group key: the stage that last gave it a slot
  std::vector<uint64_t> slot_of_;       // per group key: that slot
  std::vector<uint64_t> slot_groups_;   // slots of the stage being built
  Fused out_;
};

}  // namespace

std::vector<uint64_t> fusion_groups(const OpGraph& graph, bool maximal_fusion) {
  Consumers uses = consumers_of(graph);
  std::vector<uint8_t> is_output = output_flags(graph);
  return maximal_fusion ? maximal_groups(graph, uses, is_output)
                        : single_use_groups(graph, uses, is_output);
}

Fused stage_fusion(const OpGraph& graph, const TokenTable& table, bool maximal_fusion) {
  return Emitter(graph, table, fusion_groups(graph, maximal_fusion)).run();
}

}  // namespace trellan
