#include "egraph/egraph.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>

#include "hashing.hpp"

namespace egraph {
namespace {

constexpr uint32_t kNoLink = 0xFFFFFFFFu;
constexpr size_t kRebuildAhead = 8;
constexpr size_t kRepairAhead = 8;

uint32_t node_hash(const ENode& node) {
  uint64_t h = hash_combine(node.op().number(), node.arity());
  for (Id c : node.children()) h = hash_combine(h, c);
  return static_cast<uint32_t>(hash_finish(h));
}

[[noreturn]] void bad_id(Id id, size_t count) {
  throw std::out_of_range("e-graph id " + std::to_string(id) + " was never created (" +
                          std::to_string(count) + " ids exist)");
}

}  // namespace

uint64_t EGraph::Stamp::next() {
  static std::atomic<uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

size_t EGraph::ClassNodes::size() const {
  size_t n = 0;
  for (Id at = head_; at != kNoId; at = g_->next_in_class(at, head_)) ++n;
  return n;
}

void EGraph::reserve(size_t ids) {
  parent_.reserve(ids);
  node_.reserve(ids);
  next_node_.reserve(ids);
  dropped_.reserve(ids);
  cls_.reserve(ids);
  mark_.reserve(ids);
  users_.reserve(ids * 2);
  memo_.reserve(ids);
}

Id EGraph::find(Id id) const {
  if (id >= parent_.size()) bad_id(id, parent_.size());
  while (parent_[id] != id) id = parent_[id];
  return id;
}

// Path halving: every visited id skips to its grandparent.
Id EGraph::find_mut(Id id) {
  while (parent_[id] != id) {
    parent_[id] = parent_[parent_[id]];
    id = parent_[id];
  }
  return id;
}

Id EGraph::add(const ENode& node) {
  ENode canon(node);
  for (Id& c : canon.children()) {
    if (c >= parent_.size()) bad_id(c, parent_.size());
    c = find_mut(c);
  }
  uint32_t hash = node_hash(canon);
  HashCons::Probe probe = memo_.probe(canon, hash, node_);
  if (probe.id != kNoId) return probe.id;
  return make_class(std::move(canon), hash, &probe);
}

void EGraph::prefetch(const ENode& node) const {
  memo_.prefetch(node_hash(node));
  for (Id c : node.children()) {
    if (c >= parent_.size()) continue;
    __builtin_prefetch(&parent_[c]);
    __builtin_prefetch(&cls_[c]);  // a new e-node becomes a user of its children
  }
}

void EGraph::prefetch_match(const ENode& node) const {
  Id id = memo_.peek(node_hash(node));
  if (id != kNoId) __builtin_prefetch(&node_[id]);
}

void EGraph::prefetch_canonical_slot(const ENode& node) const {
  ENode canon(node);
  for (Id& c : canon.children()) {
    while (parent_[c] != c) c = parent_[c];
  }
  memo_.prefetch(node_hash(canon));
}

std::optional<Id> EGraph::lookup(const ENode& node) const {
  ENode canon(node);
  for (Id& c : canon.children()) c = find(c);
  Id hit = memo_.find(canon, node_hash(canon), node_);
  if (hit == kNoId) return std::nullopt;
  return find(hit);
}

Id EGraph::make_class(ENode&& node, uint32_t hash, const HashCons::Probe* probe) {
  if (parent_.size() >= kNoId - 1) throw std::length_error("e-graph id space exhausted");
  Id id = static_cast<Id>(parent_.size());
  parent_.push_back(id);
  cls_.push_back({id, kNoLink, kNoLink, 0});
  for (Id c : node.children()) append_user(c, id);

  if (!ops_.empty()) {
    uint32_t slot = op_slot_.get(node.op().number());
    if (slot != FlatMap32::kMissing) {
      ops_[slot].ids.push_back(id);
      ++ops_[slot].live_count(node.arity());
    }
  }

  node_.push_back(std::move(node));
  next_node_.push_back(id);
  dropped_.push_back(0);
  mark_.push_back(0);
  // The pair (node, id) needs no worklist entry: until a child's class is
  // merged away the node is its own canonical key, and that merge queues the
  // node through the child's user list.
  if (!probe || !memo_.insert_at(*probe, hash, id)) memo_.insert(hash, id, node_);
  ++class_count_;
  ++version_;
  clean_ = false;
  return id;
}

// User lists are kept newest first, so adding a user touches only the class
// record; `unite` restores oldest-first order when it queues them.
void EGraph::append_user(Id eclass, Id user) {
  uint32_t link = static_cast<uint32_t>(users_.size());
  ClassRec& c = cls_[eclass];
  users_.push_back({user, c.user_head});
  c.user_head = link;
  if (c.user_tail == kNoLink) c.user_tail = link;
  ++c.user_count;
}

bool EGraph::unite(Id a, Id b) {
  if (a >= parent_.size()) bad_id(a, parent_.size());
  if (b >= parent_.size()) bad_id(b, parent_.size());
  clean_ = false;
  Id keep = find_mut(a), gone = find_mut(b);
  if (keep == gone) return false;
  // The class with more users survives, so fewer e-nodes need repair; a tie
  // keeps the first argument's root.
  if (cls_[keep].user_count < cls_[gone].user_count) std::swap(keep, gone);
  parent_[gone] = keep;
  --class_count_;
  ++version_;

  ClassRec& k = cls_[keep];
  const ClassRec& g = cls_[gone];
  std::swap(next_node_[k.node_head], next_node_[g.node_head]);  // splices the two cycles

  // Queue the absorbed class's users in the order they were added, then put
  // them after the survivor's users (in front, as lists are newest first).
  size_t queued = worklist_.size();
  for (uint32_t u = g.user_head; u != kNoLink; u = users_[u].next) worklist_.push_back(users_[u].node);
  std::reverse(worklist_.begin() + static_cast<std::ptrdiff_t>(queued), worklist_.end());
  if (g.user_head != kNoLink) {
    users_[g.user_tail].next = k.user_head;
    if (k.user_head == kNoLink) k.user_tail = g.user_tail;
    k.user_head = g.user_head;
  }
  k.user_count += g.user_count;
  dirty_.push_back(keep);
  return true;
}

size_t EGraph::rebuild() {
  size_t merges = 0;
  while (!worklist_.empty()) {
    // Entries a few places down the stack are likely next; start their loads.
    if (worklist_.size() > kRebuildAhead) __builtin_prefetch(&node_[worklist_[worklist_.size() - kRebuildAhead]]);
    // Halfway there, that e-node has arrived: start loading the hash-cons slot
    // of its current key, which is erased if the key turns out stale.
    if (worklist_.size() > kRebuildAhead / 2) {
      memo_.prefetch(node_hash(node_[worklist_[worklist_.size() - kRebuildAhead / 2]]));
    }
    // Nearer still, start loading the slot its canonical key goes to.
    if (worklist_.size() > kRebuildAhead / 4) prefetch_canonical_slot(node_[worklist_[worklist_.size() - kRebuildAhead / 4]]);
    Id e = worklist_.back();
    worklist_.pop_back();
    ENode& node = node_[e];
    // An e-node whose children are all canonical is already a key of memo
    // that leads to its class, so re-inserting it would change nothing.
    bool stale = false;
    for (Id c : node.children()) {
      if (find_mut(c) != c) {
        stale = true;
        break;
      }
    }
    if (!stale) continue;
    // The old key can never be looked up again (a child is no longer
    // canonical); drop it from the table but keep counting it as an entry.
    if (memo_.erase(node, node_hash(node), node_)) ++stale_keys_;
    for (Id& c : node.children()) c = find_mut(c);
    dirty_.push_back(e);
    Id previous = memo_.insert(node_hash(node), e, node_);
    if (previous != kNoId && unite(previous, e)) ++merges;
  }
  repair_classes();
  clean_ = true;
  return merges;
}

uint32_t EGraph::next_epoch() const {
  if (++epoch_ == 0) {
    std::fill(mark_.begin(), mark_.end(), 0);
    epoch_ = 1;
  }
  return epoch_;
}

// Only classes that were merged or hold an e-node rewritten by the hash-cons
// repair can be unsorted or hold duplicates; every other class is untouched.
void EGraph::repair_classes() {
  uint32_t epoch = next_epoch();
  for (size_t j = 0; j < dirty_.size(); ++j) {
    // Dirty ids are mostly roots whose lists hold two e-nodes; start loading
    // both well before they are sorted.
    if (j + kRepairAhead < dirty_.size()) prefetch_class_of(dirty_[j + kRepairAhead]);
    if (j + kRepairAhead / 2 < dirty_.size()) prefetch_second_node(dirty_[j + kRepairAhead / 2]);
    Id root = find_mut(dirty_[j]);
    if (mark_[root] == epoch) continue;
    mark_[root] = epoch;
    sort_class(root);
  }
  dirty_.clear();
  // Dropped e-nodes stay in the operator lists until they make up half of one.
  for (uint32_t slot : ops_with_drops_) {
    OpNodes& op = ops_[slot];
    op.queued = false;
    if (op.dropped * 2 <= op.ids.size()) continue;
    std::erase_if(op.ids, [&](Id e) { return dropped_[e] != 0; });
    op.dropped = 0;
  }
  ops_with_drops_.clear();
}

void EGraph::sort_class(Id eclass) {
  ClassRec& c = cls_[eclass];
  scratch_.clear();
  // The hash-cons repair has already made every e-node's children canonical.
  for (Id e = c.node_head; e != kNoId; e = next_in_class(e, c.node_head)) scratch_.push_back(e);
  if (scratch_.size() == 1) return;
  auto before = [&](Id a, Id b) {
    auto order = node_[a] <=> node_[b];
    return order != 0 ? order < 0 : a < b;
  };
  if (scratch_.size() == 2) {
    if (before(scratch_[1], scratch_[0])) std::swap(scratch_[0], scratch_[1]);
  } else {
    std::sort(scratch_.begin(), scratch_.end(), before);
  }
  Id tail = scratch_[0];
  c.node_head = tail;
  for (size_t i = 1; i < scratch_.size(); ++i) {
    Id e = scratch_[i];
    if (node_[e] == node_[tail]) {
      note_dropped(e);
      continue;
    }
    next_node_[tail] = e;
    tail = e;
  }
  next_node_[tail] = c.node_head;
}

void EGraph::note_dropped(Id node) {
  dropped_[node] = 1;
  uint32_t slot = op_slot_.get(node_[node].op().number());
  if (slot == FlatMap32::kMissing) return;
  OpNodes& op = ops_[slot];
  ++op.dropped;
  --op.live_count(node_[node].arity());
  if (!op.queued) {
    op.queued = true;
    ops_with_drops_.push_back(slot);
  }
}

void EGraph::index_ops(std::span<const Symbol> ops) const {
  size_t first_new = ops_.size();
  for (Symbol op : ops) {
    if (op_slot_.get(op.number()) != FlatMap32::kMissing) continue;
    op_slot_.put(op.number(), static_cast<uint32_t>(ops_.size()));
    ops_.emplace_back();
  }
  if (ops_.size() == first_new) return;
  for (Id e = 0; e < node_.size(); ++e) {
    if (dropped_[e]) continue;
    uint32_t slot = op_slot_.get(node_[e].op().number());
    if (slot == FlatMap32::kMissing || slot < first_new) continue;
    ops_[slot].ids.push_back(e);
    ++ops_[slot].live_count(node_[e].arity());
  }
}

std::span<const Id> EGraph::ids_with_op(Symbol op) const {
  uint32_t slot = op_slot_.get(op.number());
  if (slot == FlatMap32::kMissing) {
    index_ops(std::span<const Symbol>(&op, 1));
    slot = op_slot_.get(op.number());
  }
  return ops_[slot].ids;
}

size_t& EGraph::OpNodes::live_count(size_t arity) {
  for (auto& [a, n] : live)
    if (a == arity) return n;
  return live.emplace_back(arity, 0).second;
}

size_t EGraph::count_nodes(Symbol op, size_t arity) const {
  ids_with_op(op);
  uint32_t slot = op_slot_.get(op.number());
  for (auto [a, n] : ops_[slot].live)
    if (a == arity) return n;
  return 0;
}

std::vector<Id> EGraph::class_ids() const {
  std::vector<Id> ids;
  ids.reserve(class_count_);
  for (Id id = 0; id < parent_.size(); ++id)
    if (parent_[id] == id) ids.push_back(id);
  return ids;
}

}  // namespace egraph
