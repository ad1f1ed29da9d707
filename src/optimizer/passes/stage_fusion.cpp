#include "optimizer/passes/stage_fusion.hpp"

#include <algorithm>

#include <support/prefetch.hpp>

#include "common/panic.hpp"
#include "optimizer/passes/dead_code.hpp"

namespace trellan {

namespace {

// Positions of the deduplicated graph fit 32 bits (cse refuses larger
// graphs), so the per-position tables hold 32-bit words: half the memory, and
// half the cache misses, of 64-bit ones.
using Pos = uint32_t;
constexpr Pos kNone = ~Pos{0};
using Table = support::MappedVector<Pos>;
constexpr Pos kMany = kNone - 1;  // read more than once

// The members of every stage of one reduction, in one block that the stages
// share: a member costs no allocation of its own, and the block comes from
// the large-table allocator, whose fresh pages are faulted in ahead.
struct MemberBlock {
  support::MappedVector<StageOp> ops;
};

// Every group is named by its sink, its largest member, at which it is
// emitted: its other members all read, directly or not, the sink.

// The single-use rule: an op joins its consumer's group when it has exactly
// one use, is not an output and its consumer is an op. One sweep finds each
// position's only consumer, and one sweep back from the last position puts
// the consumer's sink in its place: consumers come later, so theirs is known.
Table single_use_sinks(const OpGraph& g) {
  const size_t n = g.size();
  Table sink(n, kNone);  // the only consumer at first
  for (Pos j = 0; j < n; ++j) {
    for (uint64_t c : g.children_of(j)) sink[c] = sink[c] == kNone ? j : kMany;
  }
  for (uint64_t o : g.outputs) at_checked(sink, o) = kMany;
  for (Pos p = static_cast<Pos>(n); p-- > 0;) {
    const Pos c = sink[p];
    sink[p] = !g.opaque[p] && c < kMany && !g.opaque[c] ? sink[c] : p;
  }
  return sink;
}

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

// The maximal rule: an op that is not an output also joins when all its
// consumers are ops of one group. Consumers come after i, so their sinks are
// final when i is visited.
Table maximal_sinks(const OpGraph& g) {
  const size_t n = g.size();
  const Consumers uses = consumers_of(g);
  std::vector<uint8_t> is_output(n, 0);
  for (uint64_t o : g.outputs) at_checked(is_output, o) = 1;
  Table sink(n);
  for (Pos i = 0; i < n; ++i) sink[i] = i;
  for (Pos i = static_cast<Pos>(n); i-- > 0;) {
    auto used_by = uses.of(i);
    if (g.opaque[i] || is_output[i] || used_by.empty()) continue;
    if (std::ranges::any_of(used_by, [&](Pos c) { return g.opaque[c] != 0; })) continue;
    const Pos target = sink[used_by[0]];
    if (std::ranges::all_of(used_by, [&](Pos c) { return sink[c] == target; })) sink[i] = target;
  }
  return sink;
}

// Builds the reduced nodes in one sweep in position order: a node that is
// not an op is emitted where it stands, a group at its sink, by which point
// every member and every input of the group has been met. A child outside
// its reader's group is always the sink of its own, so it is emitted before
// its reader. Tables are indexed by position or sink, so no lookup needs a
// hash.
class Emitter {
 public:
  Emitter(OpGraph g, const TokenTable& table, Table sink)
      : g_(std::move(g)), table_(table), sink_(std::move(sink)) {
    const size_t n = g_.size();
    chain_.assign(n, kNone);
    at_.assign(n, kNone);
    slot_of_.assign(n, kNone);
  }

  Fused run(std::span<const uint32_t> origin) {
    const size_t n = g_.size();
    size_t groups = 0, members = 0;
    for (Pos p = 0; p < n; ++p) {
      groups += sink_[p] == p;
      members += g_.opaque[p] == 0;
    }
    out_.nodes.reserve(groups);
    block_ = std::make_shared<MemberBlock>();
    block_->ops.reserve(members);  // never grows past: the stages point into it
    for (Pos p = 0; p < n; ++p) {
      fetch_ahead(p);
      const Pos pos = static_cast<Pos>(out_.nodes.size());
      if (g_.opaque[p]) {
        emit_boundary(p);
        at_[p] = pos;
        continue;
      }
      const Pos s = sink_[p];
      chain_[p] = at_[s];
      at_[s] = p;
      if (s != p) continue;
      emit_stage(p);
      at_[p] = pos;
    }
    // From here on only the opaque flags and the outputs are read: the
    // node map takes the memory of the rest.
    g_.op = OpGraph::Table<uint32_t>();
    g_.first = OpGraph::Table<uint64_t>();
    g_.children = OpGraph::Table<uint32_t>();
    slot_of_ = Table();
    out_.node_map.reserve(origin.size());
    for (uint32_t p : origin) {
      if (p == kDropped) {
        out_.node_map.push_back(std::nullopt);
      } else if (at_checked(g_.opaque, p)) {
        out_.node_map.push_back(Placement{at_[p], std::nullopt});
      } else {
        out_.node_map.push_back(Placement{at_[sink_[p]], chain_[p]});
      }
    }
    out_.outputs.reserve(g_.outputs.size());
    for (uint64_t o : g_.outputs) out_.outputs.push_back(at_[sink_[o]]);
    return std::move(out_);
  }

 private:
  // A node that is not an op is a copy of a key of the graph reduced, most
  // of them met only here (sources, each with params of its own): the key
  // and then its params are fetched some nodes ahead.
  void fetch_ahead(Pos p) {
    constexpr Pos kKey = 16, kParams = 8;
    if (p + kKey < g_.size() && g_.opaque[p + kKey]) support::prefetch(table_.peek_key(g_.op[p + kKey]));
    if (p + kParams < g_.size() && g_.opaque[p + kParams]) {
      if (const NodeKey* key = table_.peek_key(g_.op[p + kParams])) support::prefetch(key->params().block());
    }
  }

  void emit_boundary(Pos p) {
    auto children = g_.children_of(p);
    inputs_.clear();
    for (uint64_t c : children) inputs_.push_back(at_[sink_[c]]);
    const NodeKey& key = table_.first_key(g_.op[p]);
    out_.stage_boundary = out_.stage_boundary || key.kind() == NodeKind::Stage;
    out_.nodes.push_back(key.with_inputs(IdList(inputs_)));
    ++out_.boundary_nodes;
  }

  // chain_ links every member to the one before it, from the sink down; once
  // a stage is emitted, it holds each member's index in the stage instead.
  void emit_stage(Pos sink) {
    members_.clear();
    for (Pos m = sink; m != kNone; m = chain_[m]) members_.push_back(m);
    std::reverse(members_.begin(), members_.end());
    for (Pos k = 0; k < members_.size(); ++k) chain_[members_[k]] = k;
    slots_.clear();
    auto& ops = block_->ops;
    const size_t first = ops.size();
    if (members_.size() > ops.capacity() - first) panic("stage members beyond those counted");  // LCOV_EXCL_LINE
    for (Pos m : members_) {
      StageOp op{token(g_.op[m]), {}};
      auto children = g_.children_of(m);
      op.inputs.reserve(children.size());
      for (uint64_t c : children) {
        const Pos group = sink_[c];
        op.inputs.push_back(group == sink ? StageRef::member(chain_[c]) : StageRef::input(slot(group)));
      }
      ops.push_back(std::move(op));
    }
    inputs_.clear();
    for (Pos group : slots_) inputs_.push_back(at_[group]);
    out_.nodes.push_back(NodeKey::stage(IdList(inputs_), std::shared_ptr<const StageOp>(block_, ops.data() + first),
                                        static_cast<uint32_t>(members_.size())));
    ++out_.stages;
  }

  // The operator's token, one text that all its members share.
  const SharedText& token(OpId id) {
    if (id >= tokens_.size()) tokens_.resize(table_.size());
    SharedText& t = at_checked(tokens_, id);
    if (t.empty()) t = SharedText(table_.text(id));
    return t;
  }

  // The stage's input slot for a group, slots numbered in order of first use.
  // slot_of_ is never cleared: an entry counts only when the slot it names
  // is this group's in the stage being built.
  Pos slot(Pos group) {
    const Pos k = slot_of_[group];
    if (k < slots_.size() && slots_[k] == group) return k;
    slot_of_[group] = static_cast<Pos>(slots_.size());
    slots_.push_back(group);
    return slot_of_[group];
  }

  OpGraph g_;
  const TokenTable& table_;
  Table sink_;     // per position: its group's sink; itself for a node that is not an op
  Table chain_;    // per op: the member before it, then its index in its stage
  Table at_;       // per sink: its latest member met, then its reduced position
  Table slot_of_;  // per group: its slot in the stage that last used it
  std::vector<Pos> members_, slots_;  // of the stage being built
  std::vector<NodeId> inputs_;
  std::vector<SharedText> tokens_;  // by operator, as members first use them
  std::shared_ptr<MemberBlock> block_;
  Fused out_;
};

}  // namespace

Fused stage_fusion(OpGraph graph, const TokenTable& table, bool maximal_fusion, std::span<const uint32_t> origin) {
  if (graph.size() >= kMany) panic("graph too large to fuse");
  Table sinks = maximal_fusion ? maximal_sinks(graph) : single_use_sinks(graph);
  return Emitter(std::move(graph), table, std::move(sinks)).run(origin);
}

}  // namespace trellan
