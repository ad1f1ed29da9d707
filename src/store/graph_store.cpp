#include "store/graph_store.hpp"

#include <algorithm>
#include <atomic>
#include <type_traits>

#include "common/panic.hpp"

namespace trellan {

namespace {
std::atomic<uint64_t> g_next_serial{1};
}

// Every section below keeps the store consistent whatever fails in it: it
// allocates all it needs first and then changes the data only in steps that
// cannot throw. Running out of memory therefore leaves the store as it was
// (or, for a run of keys, holding the keys before the failing one), and the
// lock usable.
constexpr auto kConsistent = PoisonMutex::OnFailure::Consistent;

// Appending a key to an arena with room to spare must not throw.
static_assert(std::is_nothrow_move_constructible_v<NodeKey>);

GraphStore::GraphStore() : serial_(g_next_serial.fetch_add(1, std::memory_order_relaxed)) {}

Result<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
  // The index's hash key never changes, so hashing needs no lock: the key is
  // ours alone.
  const uint64_t h = inner_.index.hash(key);
  auto guard = lock_.lock(kConsistent);
  const uint64_t n = inner_.nodes.size();
  for (NodeId input : key.inputs()) {
    if (input >= n) return Err(BadNodeId{input});
  }
  ensure_indexed();
  inner_.index.reserve_one();
  return intern_locked(key, h);
}

void GraphStore::ensure_indexed() {
  if (!inner_.unindexed) return;
  const std::span<const NodeKey> keys = inner_.nodes.span();
  std::vector<uint64_t> hashes(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) hashes[i] = inner_.index.hash(keys[i]);
  // Room for every key first: the inserts after it cannot fail.
  inner_.index.reserve(keys.size());
  constexpr size_t kAhead = 16;
  for (size_t i = 0; i < std::min(kAhead, keys.size()); ++i) inner_.index.prefetch(hashes[i]);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i + kAhead < keys.size()) inner_.index.prefetch(hashes[i + kAhead]);
    const auto probe = inner_.index.find(hashes[i], [&](uint64_t at) { return keys[at] == keys[i]; });
    if (probe.found) panic("records said to be distinct are not");  // LCOV_EXCL_LINE
    inner_.index.insert(probe, hashes[i]);
  }
  inner_.unindexed = false;
}

NodeId GraphStore::intern_locked(NodeKey& key, uint64_t hash) {
  const auto probe = inner_.index.find(hash, [&](uint64_t id) { return inner_.nodes[id] == key; });
  if (probe.found) return probe.id;
  return append_locked(key, hash, probe);
}

NodeId GraphStore::append_locked(NodeKey& key, uint64_t hash, const TaggedIndex::Probe& probe) {
  // The pool may keep a map that no node ends up using: harmless.
  key.share_params(inner_.params);
  // Room in the arena first, so that the index never names a missing node.
  // The index insert is the last step that can fail, and it fails before it
  // changes anything; the append after it cannot fail.
  inner_.nodes.reserve_one();
  inner_.index.insert(probe, hash);
  inner_.nodes.push_back(std::move(key));
  return inner_.nodes.size() - 1;
}

size_t GraphStore::append_new(std::span<NodeKey> keys) {
  std::vector<uint64_t> hashes(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) hashes[i] = inner_.index.hash(keys[i]);
  auto guard = lock_.lock(kConsistent);
  ensure_indexed();
  // Room for every key at once: the table cannot grow between a prefetch and
  // the probe it prepares.
  inner_.index.reserve(inner_.nodes.size() + keys.size());
  constexpr size_t kAhead = 16;
  for (size_t i = 0; i < std::min(kAhead, keys.size()); ++i) inner_.index.prefetch(hashes[i]);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i + kAhead < keys.size()) inner_.index.prefetch(hashes[i + kAhead]);
    const uint64_t n = inner_.nodes.size();
    for (NodeId input : keys[i].inputs()) {
      if (input >= n) return i;
    }
    const auto probe = inner_.index.find(hashes[i], [&](uint64_t at) { return inner_.nodes[at] == keys[i]; });
    if (probe.found) return i;
    append_locked(keys[i], hashes[i], probe);
  }
  return keys.size();
}

namespace {

// The first input of a batch that names no node below n, with its row.
template <class Batch>
std::optional<BadRow> first_unknown_input(const Batch& batch, uint64_t n) {
  for (size_t i = 0; i < batch.size(); ++i) {
    for (NodeId input : batch.inputs(i)) {
      if (input >= n) return BadRow{i, input};
    }
  }
  return std::nullopt;
}

// A batch of whole keys.
class KeyBatch {
 public:
  explicit KeyBatch(std::span<NodeKey> keys) : keys_(keys) {}
  size_t size() const { return keys_.size(); }
  std::span<const NodeId> inputs(size_t i) const { return keys_[i].inputs(); }
  void hash_all(const KeyIndex& index, std::span<uint64_t> out) const {
    for (size_t i = 0; i < keys_.size(); ++i) out[i] = index.hash(keys_[i]);
  }
  void share_params(ParamPool& pool) {
    for (NodeKey& key : keys_) key.share_params(pool);
  }
  std::optional<BadRow> first_unknown(uint64_t n) const { return first_unknown_input(*this, n); }
  bool matches(size_t i, const NodeKey& stored) const { return stored == keys_[i]; }
  void append_to(NodeArena& arena, size_t i) { arena.emplace_back(std::move(keys_[i])); }

 private:
  std::span<NodeKey> keys_;
};

// One key of which each row makes a node with its own inputs.
class RowBatch {
 public:
  RowBatch(NodeKey proto, std::span<const NodeId> ids, std::span<const size_t> ends)
      : proto_(std::move(proto)), ids_(ids), ends_(ends) {}
  size_t size() const { return ends_.size(); }
  std::span<const NodeId> inputs(size_t i) const {
    const size_t begin = i == 0 ? 0 : ends_[i - 1];
    return ids_.subspan(begin, ends_[i] - begin);
  }
  // Rows all of one width, as an array gives them, are hashed several at a
  // time.
  void hash_all(const KeyIndex& index, std::span<uint64_t> out) const {
    const KeyIndex::RowHasher hasher(index, proto_);
    const size_t width = ends_.empty() ? 0 : ends_[0];
    bool uniform = true;
    for (size_t i = 0; i < ends_.size() && uniform; ++i) uniform = ends_[i] == (i + 1) * width;
    if (uniform) return hasher.rows(ids_, width, out);
    for (size_t i = 0; i < size(); ++i) out[i] = hasher(inputs(i));
  }
  // The largest id first, a pass without branches: a batch is nearly always
  // valid.
  std::optional<BadRow> first_unknown(uint64_t n) const {
    NodeId top = 0;
    for (NodeId id : ids_) top = std::max(top, id);
    return top < n ? std::nullopt : first_unknown_input(*this, n);
  }
  void share_params(ParamPool& pool) { proto_.share_params(pool); }
  bool matches(size_t i, const NodeKey& stored) const {
    const auto row = inputs(i);
    const auto held = stored.inputs();
    return std::equal(row.begin(), row.end(), held.begin(), held.end()) && stored.same_but_inputs(proto_);
  }
  void append_to(NodeArena& arena, size_t i) const { arena.emplace_back(proto_, inputs(i)); }

 private:
  NodeKey proto_;
  std::span<const NodeId> ids_;
  std::span<const size_t> ends_;
};

}  // namespace

template <class Batch>
Result<std::vector<NodeId>, BadRow> GraphStore::intern_each(Batch& batch) {
  const size_t count = batch.size();
  // The index's hash key never changes, so hashing needs no lock.
  std::vector<uint64_t> hashes(count);
  batch.hash_all(inner_.index, hashes);
  std::vector<NodeId> ids(count);
  auto guard = lock_.lock(kConsistent);
  const uint64_t n = inner_.nodes.size();
  if (auto bad = batch.first_unknown(n)) return Err(*bad);
  ensure_indexed();
  // Pooling the params (a pooled map no node uses is harmless) and room for
  // every key in the arena and the table, which then cannot grow between a
  // prefetch and the probe it prepares.
  batch.share_params(inner_.params);
  grow_for(n + count);
  // Making a key in the arena is the one step below that can fail; it takes
  // back every node the batch has recorded so far.
  try {
    constexpr size_t kAhead = 16;
    for (size_t i = 0; i < std::min(kAhead, count); ++i) inner_.index.prefetch(hashes[i]);
    for (size_t i = 0; i < count; ++i) {
      if (i + kAhead < count) inner_.index.prefetch(hashes[i + kAhead]);
      const auto probe = inner_.index.find(hashes[i], [&](uint64_t at) { return batch.matches(i, inner_.nodes[at]); });
      if (probe.found) {
        ids[i] = probe.id;
        continue;
      }
      batch.append_to(inner_.nodes, i);
      inner_.index.insert(probe, hashes[i]);
      ids[i] = inner_.nodes.size() - 1;
    }
  } catch (...) {
    inner_.index.truncate(n);
    inner_.nodes.truncate(n);
    throw;
  }
  return ids;
}

Result<std::vector<NodeId>, BadRow> GraphStore::intern_batch(std::span<NodeKey> keys) {
  KeyBatch batch(keys);
  return intern_each(batch);
}

Result<std::vector<NodeId>, BadRow> GraphStore::intern_rows(NodeKey proto, std::span<const NodeId> ids,
                                                            std::span<const size_t> ends) {
  RowBatch batch(std::move(proto), ids, ends);
  return intern_each(batch);
}

void GraphStore::grow_for(uint64_t count) {
  if (count > inner_.nodes.capacity()) inner_.nodes.reserve(std::max<uint64_t>(count, 2 * inner_.nodes.capacity()));
  inner_.index.reserve(count);
}

void GraphStore::reserve(uint64_t count) {
  auto guard = lock_.lock(kConsistent);
  ensure_indexed();
  inner_.nodes.reserve(count);
  inner_.index.reserve(count);
}

Status<BadNodeMap> GraphStore::restore_node_map(NodeMap map) {
  auto guard = lock_.lock(kConsistent);
  for (size_t i = 0; i < map.size(); ++i) {
    const NodeMap::Entry entry = map[i];
    if (!entry) continue;
    if (entry->node >= inner_.nodes.size()) return Err(BadNodeMap{i});
    const NodeKey& node = inner_.nodes[entry->node];
    if (entry->member && (node.kind() != NodeKind::Stage || *entry->member >= node.members().size())) {
      return Err(BadNodeMap{i});
    }
  }
  inner_.node_map = std::move(map);
  return {};
}

Status<BadNodeId> GraphStore::mark_output(NodeId id) {
  auto guard = lock_.lock(kConsistent);
  if (id >= inner_.nodes.size()) return Err(BadNodeId{id});
  if (inner_.is_output.size() <= id) inner_.is_output.resize(inner_.nodes.size(), false);
  if (inner_.is_output[id]) return {};
  // The list first: if it cannot grow, the flag is still unset.
  inner_.outputs.push_back(id);
  inner_.is_output[id] = true;
  return {};
}

uint64_t GraphStore::node_count() const {
  auto guard = lock_.lock(kConsistent);
  return inner_.nodes.size();
}

std::vector<NodeId> GraphStore::outputs() const {
  auto guard = lock_.lock(kConsistent);
  return inner_.outputs;
}

NodeMap GraphStore::node_map() const {
  auto guard = lock_.lock(kConsistent);
  return inner_.node_map;
}

Result<std::vector<NodeMap::Entry>, BadNodeId> GraphStore::node_map_entries(std::span<const NodeId> ids) const {
  std::vector<NodeMap::Entry> entries;
  entries.reserve(ids.size());
  auto guard = lock_.lock(kConsistent);
  const NodeMap& map = inner_.node_map;
  for (NodeId id : ids) {
    if (id >= map.size()) return Err(BadNodeId{id});
    entries.push_back(map[id]);
  }
  return entries;
}

// The copies are made outside the lock, from a shared view of the arena:
// what the view holds never changes.
Snapshot GraphStore::snapshot() const {
  SharedSnapshot shared = shared_snapshot();
  return Snapshot{shared.nodes.to_vector(), std::move(shared.outputs)};
}

SharedSnapshot GraphStore::shared_snapshot() const {
  auto guard = lock_.lock(kConsistent);
  return SharedSnapshot{inner_.nodes.share(), inner_.outputs};
}

SharedNodes GraphStore::shared_nodes() const {
  auto guard = lock_.lock(kConsistent);
  return inner_.nodes.share();
}

std::vector<NodeKey> GraphStore::snapshot_from(uint64_t start) const {
  SharedNodes nodes = shared_nodes();
  if (start >= nodes.size()) return {};
  return std::vector<NodeKey>(nodes.begin() + start, nodes.end());
}

Result<SharedSnapshot, BadNodeId> GraphStore::snapshot_for(std::optional<std::vector<NodeId>> outputs) const {
  if (!outputs) return shared_snapshot();
  SharedSnapshot snap{shared_nodes(), std::move(*outputs)};
  for (NodeId id : snap.outputs) {
    if (id >= snap.nodes.size()) return Err(BadNodeId{id});
  }
  return snap;
}

namespace {

// Interns the records in order and returns the id each one received. Records
// are normally distinct and topologically ordered, so record p becomes id p
// and inputs need renumbering only after two records collided.
std::vector<NodeId> intern_records(GraphStore& store, std::span<NodeKey> nodes) {
  std::vector<NodeId> ids;
  ids.reserve(nodes.size());
  // All at once while every record is new, as it normally is.
  store.reserve(nodes.size());
  const size_t appended = store.append_new(nodes);
  for (NodeId p = 0; p < appended; ++p) ids.push_back(p);
  bool identity = true;
  std::vector<NodeId> inputs;
  for (NodeKey& node : nodes.subspan(appended)) {
    if (!identity) {
      inputs.clear();
      for (NodeId p : node.inputs()) {
        if (p >= ids.size()) panic("reduced graph references only earlier nodes");  // LCOV_EXCL_LINE
        inputs.push_back(ids[p]);
      }
      node = node.with_inputs(IdList(inputs));
    }
    auto id = store.intern(std::move(node));
    if (!id) panic("reduced graph references only earlier nodes");  // LCOV_EXCL_LINE
    if (id.value() != ids.size()) identity = false;
    ids.push_back(id.value());
  }
  return ids;
}

}  // namespace

std::unique_ptr<GraphStore> GraphStore::from_records(NodeArena nodes, std::span<const uint64_t> outputs,
                                                     NodeMap node_map, bool distinct) {
  auto store = std::make_unique<GraphStore>();
  if (distinct) {
    // Record p is id p: the store takes the keys where they are.
    const size_t count = nodes.size();
    store->inner_.nodes = std::move(nodes);
    store->inner_.unindexed = count > 0;
    for (uint64_t p : outputs) {
      if (p >= count || !store->mark_output(p)) panic("reduced output is valid");  // LCOV_EXCL_LINE
    }
    store->inner_.node_map = std::move(node_map);
    return store;
  }
  std::vector<NodeId> ids = intern_records(*store, nodes.unshared_keys());
  for (uint64_t p : outputs) {
    if (p >= ids.size() || !store->mark_output(ids[p])) panic("reduced output is valid");  // LCOV_EXCL_LINE
  }
  // Record p is normally id p; only a collision renumbers.
  bool identity = true;
  for (NodeId p = 0; p < ids.size() && identity; ++p) identity = ids[p] == p;
  if (!identity) {
    NodeMap mapped;
    mapped.reserve(node_map.size());
    for (NodeMap::Entry entry : node_map) {
      if (entry) entry->node = at_checked(ids, entry->node);
      mapped.push_back(entry);
    }
    node_map = std::move(mapped);
  }
  {
    auto guard = store->lock_.lock(kConsistent);
    store->inner_.node_map = std::move(node_map);
  }
  return store;
}

}  // namespace trellan
