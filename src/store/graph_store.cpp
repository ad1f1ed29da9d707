#include "store/graph_store.hpp"

#include <atomic>
#include <type_traits>

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
  inner_.index.reserve_one();
  return intern_locked(key, h);
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

Status<BadNodeId> GraphStore::intern_run(std::span<NodeKey> keys, std::vector<NodeId>* ids) {
  auto [done, error] = run_locked(keys, ids, false);
  if (error) return Err(*error);
  return {};
}

size_t GraphStore::append_new(std::span<NodeKey> keys) { return run_locked(keys, nullptr, true).first; }

std::pair<size_t, std::optional<BadNodeId>> GraphStore::run_locked(std::span<NodeKey> keys,
                                                                   std::vector<NodeId>* ids,
                                                                   bool stop_at_existing) {
  std::vector<uint64_t> hashes(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) hashes[i] = inner_.index.hash(keys[i]);
  auto guard = lock_.lock(kConsistent);
  // Room for every key at once: the table cannot grow between a prefetch and
  // the probe it prepares.
  inner_.index.reserve(inner_.nodes.size() + keys.size());
  constexpr size_t kAhead = 16;
  for (size_t i = 0; i < std::min(kAhead, keys.size()); ++i) inner_.index.prefetch(hashes[i]);
  for (size_t i = 0; i < keys.size(); ++i) {
    if (i + kAhead < keys.size()) inner_.index.prefetch(hashes[i + kAhead]);
    const uint64_t n = inner_.nodes.size();
    for (NodeId input : keys[i].inputs()) {
      if (input >= n) return {i, BadNodeId{input}};
    }
    NodeId id = 0;
    if (stop_at_existing) {
      const auto probe = inner_.index.find(hashes[i], [&](uint64_t at) { return inner_.nodes[at] == keys[i]; });
      if (probe.found) return {i, std::nullopt};
      id = append_locked(keys[i], hashes[i], probe);
    } else {
      id = intern_locked(keys[i], hashes[i]);
    }
    if (ids) ids->push_back(id);
  }
  return {keys.size(), std::nullopt};
}

void GraphStore::reserve(uint64_t count) {
  auto guard = lock_.lock(kConsistent);
  inner_.nodes.reserve(count);
  inner_.index.reserve(count);
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

}  // namespace trellan
