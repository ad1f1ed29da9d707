#include "optimizer/incremental/incremental_reducer.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "common/panic.hpp"
#include "optimizer/mod/driver.hpp"

namespace trellan {

namespace {

// An add of the float 0.0 or a mul by the float 1.0, scalar on either side:
// the same operators the rewrite engine eliminates.
constexpr std::array<std::string_view, 4> kIdentityTokens = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};
constexpr size_t kIdentityTokenLength = 39;

constexpr std::array<std::string_view, 8> kCommutativeNames = {
    "add", "mul", "and", "or", "eq", "ne", "maximum", "minimum",
};

// Every identity token names add or mul and carries exactly two params, so
// only ops of that shape need their token built.
bool is_identity_op(const NodeKey& op) {
  const std::string_view name = op.name();
  if ((name != "add" && name != "mul") || op.params().size() != 2) return false;
  const std::string token = op.token();
  if (token.size() != kIdentityTokenLength) return false;
  for (std::string_view identity : kIdentityTokens) {
    if (token == identity) return true;
  }
  return false;
}

bool is_commutative_candidate(const NodeKey& op) {
  if (op.inputs().size() != 2 || !op.params().empty()) return false;
  const std::string_view name = op.name();
  for (std::string_view c : kCommutativeNames) {
    if (name == c) return true;
  }
  return false;
}

// Reserves room for `more` entries, keeping growth geometric when many small
// deltas arrive one after another.
template <class T>
void grow_for(std::vector<T>& v, size_t more) {
  if (v.capacity() - v.size() < more) v.reserve(std::max(v.size() + more, 2 * v.capacity()));
}

}  // namespace

IncrementalReducer::IncrementalReducer() = default;

uint64_t IncrementalReducer::intern(const NodeKey& node, std::span<const NodeId> ins) {
  // Room first: a miss leaves the free slot where the key goes, so the final
  // hash-cons insertion needs no second probe. (step has sized the table
  // for its whole delta already.)
  interned_.reserve_one();

  if (node.is_op() && is_commutative_candidate(node)) {
    // A commutative op and its mirror share one hash, that of the ascending
    // orientation, so one probe walk answers both the lookup as recorded and
    // the lookup swapped. The table never holds both orientations: whichever
    // came second found the first.
    const NodeId lo = std::min(ins[0], ins[1]);
    const NodeId hi = std::max(ins[0], ins[1]);
    NodeKey ascending = node.with_inputs(IdList{lo, hi});
    const uint64_t hash = interned_.hash(ascending);
    const std::string_view name = node.name();
    const auto probe = interned_.find(hash, [&](uint64_t id) {
      const NodeKey& k = canonical_[id];
      if (!k.is_op() || k.name() != name || !k.params().empty()) return false;
      const auto in = k.inputs();
      return in.size() == 2 && ((in[0] == lo && in[1] == hi) || (in[0] == hi && in[1] == lo));
    });
    if (probe.found) return probe.id;
    const uint64_t id = interned_.insert(probe, hash);
    // A new canonical node keeps the orientation it arrived with.
    canonical_.push_back(ins[0] == lo ? std::move(ascending) : node.with_inputs(IdList(ins)));
    return id;
  }

  NodeKey key = node.with_inputs(IdList(ins));
  const uint64_t hash = interned_.hash(key);
  const auto probe = interned_.find(hash, [&](uint64_t id) { return canonical_[id] == key; });
  if (probe.found) return probe.id;
  const uint64_t id = interned_.insert(probe, hash);
  canonical_.push_back(std::move(key));
  return id;
}

Result<uint64_t, BadNodeId> IncrementalReducer::step(std::span<const NodeKey> delta) {
  // Every node of the delta may be new: room for that costs address space
  // only, while growing on the way would move every key and rehash the table.
  grow_for(remap_, delta.size());
  grow_for(canonical_, delta.size());
  interned_.reserve(canonical_.size() + delta.size());
  std::vector<NodeId> ins;
  for (const NodeKey& node : delta) {
    ins.clear();
    for (NodeId input : node.inputs()) {
      // Nodes consumed before a failure stay consumed; only total_work
      // tells that this call did not finish.
      if (input >= remap_.size()) return Err(BadNodeId{input});
      ins.push_back(remap_[input]);
    }
    // Identity elimination needs exactly one input to stand for the node;
    // with none or several the op is an ordinary node.
    if (node.is_op() && ins.size() == 1 && is_identity_op(node)) {
      remap_.push_back(ins[0]);
      continue;
    }
    remap_.push_back(intern(node, ins));
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

  Reduced reduced = reduce_with_mode(canonical_, canonical_outputs, engine, maximal_fusion);

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
