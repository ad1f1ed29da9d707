#include "optimizer/incremental/incremental_reducer.hpp"

#include <algorithm>

#include "common/panic.hpp"
#include "optimizer/passes/driver.hpp"
#include "optimizer/rules.hpp"

namespace trellan {

namespace {

// Input lists are a few ids long: compared inline rather than by memcmp.
bool same_ids(std::span<const NodeId> a, std::span<const NodeId> b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    if (a[k] != b[k]) return false;
  }
  return true;
}

// Reserves room for `more` entries, keeping growth geometric when many small
// deltas arrive one after another.
template <class T>
void grow_for(std::vector<T>& v, size_t more) {
  if (v.capacity() - v.size() < more) v.reserve(std::max(v.size() + more, 2 * v.capacity()));
}

}  // namespace

IncrementalReducer::IncrementalReducer() = default;

void IncrementalReducer::Chunked::reserve_one() {
  if (size_ < chunks_.size() * kChunk) return;
  std::vector<NodeKey> chunk;
  chunk.reserve(kChunk);
  chunks_.push_back(std::move(chunk));
}

void IncrementalReducer::Chunked::push_back(NodeKey key) {
  reserve_one();
  chunks_.back().push_back(std::move(key));
  ++size_;
}

std::vector<NodeKey> IncrementalReducer::Chunked::flat() const {
  std::vector<NodeKey> out;
  out.reserve(size_);
  for (const auto& chunk : chunks_) out.insert(out.end(), chunk.begin(), chunk.end());
  return out;
}

std::optional<NodeId> IncrementalReducer::canonical_inputs(const NodeKey& node,
                                                           std::vector<NodeId>& ins) const {
  ins.clear();
  for (NodeId input : node.inputs()) {
    if (input >= remap_.size()) return input;
    ins.push_back(remap_[input]);
  }
  return std::nullopt;
}

IncrementalReducer::Prepared IncrementalReducer::prepare(const NodeKey& node,
                                                         std::span<const NodeId> ins) const {
  using Rule = Prepared::Rule;
  if (node.is_op()) {
    // Identity elimination needs exactly one input to stand for the node;
    // with none or several the op is an ordinary node.
    if (ins.size() == 1 && rules::is_identity_op(node)) return {Rule::Identity, 0, ins[0]};
    if (rules::is_commutative_pair(node)) {
      // A commutative op and its mirror share one hash, that of the
      // ascending orientation, so one probe walk answers both the lookup as
      // recorded and the lookup swapped. The table never holds both
      // orientations: whichever came second found the first.
      const NodeId ascending[2] = {std::min(ins[0], ins[1]), std::max(ins[0], ins[1])};
      return {Rule::Commutative, interned_.hash(node, ascending), 0};
    }
  }
  return {Rule::Plain, interned_.hash(node, ins), 0};
}

uint64_t IncrementalReducer::settle(const NodeKey& node, std::span<const NodeId> ins,
                                    const Prepared& p) {
  if (p.rule == Prepared::Rule::Identity) return p.first;
  TaggedIndex::Probe probe;
  if (p.rule == Prepared::Rule::Commutative) {
    const NodeId lo = std::min(ins[0], ins[1]);
    const NodeId hi = std::max(ins[0], ins[1]);
    const std::string_view name = node.name();
    probe = interned_.find(p.hash, [&](uint64_t id) {
      const NodeKey& k = canonical_[id];
      if (!k.is_op() || k.name() != name || !k.params().empty()) return false;
      const auto in = k.inputs();
      return in.size() == 2 && ((in[0] == lo && in[1] == hi) || (in[0] == hi && in[1] == lo));
    });
  } else {
    probe = interned_.find(p.hash, [&](uint64_t id) {
      const NodeKey& k = canonical_[id];
      return same_ids(k.inputs(), ins) && k.same_but_inputs(node);
    });
  }
  if (probe.found) return probe.id;
  // A new canonical node keeps the orientation it arrived with. The key and
  // its room are made before the index learns of it, so a failed allocation
  // changes nothing.
  NodeKey key = node.with_inputs(IdList(ins));
  canonical_.reserve_one();
  const uint64_t id = interned_.insert(probe, p.hash);
  canonical_.push_back(std::move(key));
  return id;
}

Result<uint64_t, BadNodeId> IncrementalReducer::step(std::span<const NodeKey> delta) {
  // Every node of the delta may be new: room for that in the table at once,
  // so that it is not rehashed several times on the way (and the look-ahead
  // below relies on the table staying where it is).
  grow_for(remap_, delta.size());
  interned_.reserve(canonical_.size() + delta.size());
  std::vector<NodeId>& ins = ins_;
  std::vector<NodeId>& guess = guess_;
  Prepared guessed{};
  bool have_guess = false;
  for (size_t i = 0; i < delta.size(); ++i) {
    const NodeKey& node = delta[i];
    // Nodes consumed before a failure stay consumed; only total_work tells
    // that this call did not finish.
    if (auto bad = canonical_inputs(node, ins)) return Err(BadNodeId{*bad});
    const Prepared current = have_guess && same_ids(ins, guess) ? guessed : prepare(node, ins);
    // The table probe of a node is a cache miss. Start the next node's while
    // this one is looked up: its inputs are known, except this node's own
    // canonical id, which is guessed as what an identity stands for or else
    // as the next new id (most nodes are new). A wrong guess costs a wasted
    // prefetch; the next node is then prepared again from its true inputs.
    have_guess = false;
    if (i + 1 < delta.size()) {
      const NodeId self = remap_.size();
      const NodeId self_guess = current.rule == Prepared::Rule::Identity ? current.first : canonical_.size();
      guess.clear();
      have_guess = true;
      for (NodeId input : delta[i + 1].inputs()) {
        if (input < self) {
          guess.push_back(remap_[input]);
        } else if (input == self) {
          guess.push_back(self_guess);
        } else {
          have_guess = false;
          break;
        }
      }
      if (have_guess) {
        guessed = prepare(delta[i + 1], guess);
        if (guessed.rule != Prepared::Rule::Identity) interned_.prefetch(guessed.hash);
      }
    }
    remap_.push_back(settle(node, ins, current));
  }
  total_work_ += delta.size();
  return uint64_t(delta.size());
}

Result<Reduced, BadNodeId> IncrementalReducer::finalize(std::span<const NodeId> outputs,
                                                        const engine::RewriteEngine& engine,
                                                        bool maximal_fusion) const {
  std::vector<uint64_t> canonical_outputs;
  canonical_outputs.reserve(outputs.size());
  for (NodeId id : outputs) {
    if (id >= remap_.size()) return Err(BadNodeId{id});
    canonical_outputs.push_back(remap_[id]);
  }

  Reduced reduced = reduce_with_mode(canonical_.flat(), canonical_outputs, engine, maximal_fusion);

  // The driver maps canonical nodes; callers know store nodes.
  NodeMap by_store_node;
  by_store_node.reserve(remap_.size());
  for (uint64_t canonical_id : remap_) {
    by_store_node.push_back(at_checked(reduced.node_map, canonical_id));
  }
  reduced.node_map = std::move(by_store_node);
  return reduced;
}

}  // namespace trellan
