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

// What the sweeps keep per position of the graph, in one record, so that
// visiting a node touches one cache line of each node it reads.
struct Record {
  Pos key = kNone;      // group key: the group's sink (largest member)
  Pos group = kNone;    // before keying: the key of the first consumer met
  Pos head = kNone;     // per group key: first member, then (emitted) the stage that last gave it a slot
  Pos tail = kNone;     // per group key: last member so far, then (emitted) that slot
  Pos next = kNone;     // the next member of the same group
  Pos member = 0;       // index within its stage
  Pos emitted = kNone;  // per group key: reduced position
  uint8_t uses = 0;     // uses counted up to two
  uint8_t flags = 0;
};
constexpr uint8_t kOutput = 1, kOpaqueUser = 2, kMixedUsers = 4;

// Which ops share a stage, in one sweep from the last node down, so that
// every consumer of a node is keyed before the node itself. The single-use
// rule fuses an op into its only consumer; the maximal rule also fuses an op
// all of whose consumers lie in one group. Either way a group is a tree that
// drains into its largest member, which names it; a node that is not an op is
// a group of its own.
std::vector<Record> fusion_groups(const OpGraph& g, bool maximal_fusion) {
  const size_t n = g.size();
  std::vector<Record> rec(n);
  for (uint64_t o : g.outputs) at_checked(rec, o).flags |= kOutput;
  for (Pos i = static_cast<Pos>(n); i-- > 0;) {
    Record& r = rec[i];
    r.key = i;
    if (!g.opaque[i] && !(r.flags & (kOutput | kOpaqueUser)) && r.uses > 0) {
      if (maximal_fusion ? !(r.flags & kMixedUsers) : r.uses == 1) r.key = r.group;
    }
    for (uint64_t c : g.children_of(i)) {
      Record& child = rec[c];
      if (child.uses < 2) ++child.uses;
      if (g.opaque[i]) child.flags |= kOpaqueUser;
      if (child.group == kNone) {
        child.group = r.key;
      } else if (child.group != r.key) {
        child.flags |= kMixedUsers;
      }
    }
  }
  return rec;
}

// Builds the reduced nodes group by group, each at its sink, which is the
// order of groups by largest member: the members of a group, ascending, are
// linked as the sweep meets them, and complete when it reaches the sink.
// Every table is indexed by position or group key, so no lookup needs a hash.
class Emitter {
 public:
  Emitter(const OpGraph& g, const TokenTable& table, std::vector<Record> rec)
      : g_(g), table_(table), rec_(std::move(rec)) {}

  Fused run() {
    for (Pos p = 0; p < g_.size(); ++p) {
      const Pos group = rec_[p].key;
      Record& r = rec_[group];
      if (r.tail == kNone) {
        r.head = p;
      } else {
        rec_[r.tail].next = p;
      }
      r.tail = p;
      if (group != p) continue;
      const Pos pos = static_cast<Pos>(out_.nodes.size());
      if (g_.opaque[group]) {
        emit_boundary(group);
      } else {
        emit_stage(group);
      }
      r.emitted = pos;
      r.head = r.tail = kNone;
    }
    out_.placement.reserve(g_.size());
    for (Pos p = 0; p < g_.size(); ++p) {
      const Pos group = rec_[p].key;
      if (g_.opaque[group]) {
        out_.placement.push_back(Placement{rec_[group].emitted, std::nullopt});
      } else {
        out_.placement.push_back(Placement{rec_[group].emitted, rec_[p].member});
      }
    }
    out_.outputs.reserve(g_.outputs.size());
    for (uint64_t o : g_.outputs) out_.outputs.push_back(emitted_of(at_checked(rec_, o).key));
    return std::move(out_);
  }

 private:
  Pos emitted_of(Pos group) const {
    Pos pos = at_checked(rec_, group).emitted;
    if (pos == kNone) panic("no entry found for key");
    return pos;
  }

  void emit_boundary(Pos p) {
    auto children = g_.children_of(p);
    std::vector<NodeId> inputs;
    inputs.reserve(children.size());
    for (uint64_t c : children) inputs.push_back(emitted_of(rec_[c].key));
    out_.nodes.push_back(table_.first_key(g_.op[p]).with_inputs(IdList(inputs)));
    ++out_.boundary_nodes;
  }

  void emit_stage(Pos group) {
    const Pos pos = static_cast<Pos>(out_.nodes.size());
    slot_groups_.clear();
    std::vector<StageOp> ops;
    size_t count = 0;
    for (Pos m = rec_[group].head; m != kNone; m = rec_[m].next) ++count;
    ops.reserve(count);  // the stage keeps this vector: no slack
    Pos k = 0;
    for (Pos m = rec_[group].head; m != kNone; m = rec_[m].next, ++k) {
      rec_[m].member = k;
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
  // for c's group, slots numbered in order of first use. A group read here
  // is emitted already, so its member links are free to hold its slot.
  StageRef reference(Pos group, uint64_t c, Pos stage_pos) {
    const Pos child_group = rec_[c].key;
    if (child_group == group) return StageRef::member(rec_[c].member);
    Record& r = rec_[child_group];
    if (r.head != stage_pos) {
      r.head = stage_pos;
      r.tail = static_cast<Pos>(slot_groups_.size());
      slot_groups_.push_back(child_group);
    }
    return StageRef::input(r.tail);
  }

  const OpGraph& g_;
  const TokenTable& table_;
  std::vector<Record> rec_;
  std::vector<Pos> slot_groups_;  // slots of the stage being built
  Fused out_;
};

}  // namespace

Fused stage_fusion(const OpGraph& graph, const TokenTable& table, bool maximal_fusion) {
  if (graph.size() >= kNone) panic("graph too large to fuse");
  return Emitter(graph, table, fusion_groups(graph, maximal_fusion)).run();
}

}  // namespace trellan
