#include "store/graph_store.hpp"

namespace trellan {

GraphStore::GraphStore() : hash_key_(HashKey::random()) {}

uint64_t GraphStore::hash_key(const NodeKey& key) const {
  KeyedHasher h(hash_key_);
  key.hash(h);
  return h.finish();
}

// Doubles the slot table; hashes are kept per node so nothing is rehashed.
void GraphStore::grow_index() {
  size_t cap = inner_.slots.empty() ? 64 : inner_.slots.size() * 2;
  std::vector<uint64_t> slots(cap, 0);
  size_t mask = cap - 1;
  for (size_t id = 0; id < inner_.nodes.size(); ++id) {
    size_t pos = inner_.hashes[id] & mask;
    while (slots[pos] != 0) pos = (pos + 1) & mask;
    slots[pos] = id + 1;
  }
  inner_.slots = std::move(slots);
}

Result<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
  uint64_t h = hash_key(key);  // outside the lock: the key is ours alone
  auto guard = lock_.lock();
  const uint64_t n = inner_.nodes.size();
  for (NodeId input : key.inputs()) {
    if (input >= n) return Err(BadNodeId{input});
  }
  if ((n + 1) * 8 > inner_.slots.size() * 7) grow_index();
  size_t mask = inner_.slots.size() - 1;
  size_t pos = h & mask;
  while (uint64_t slot = inner_.slots[pos]) {
    NodeId id = slot - 1;
    if (inner_.hashes[id] == h && inner_.nodes[id] == key) return id;
    pos = (pos + 1) & mask;
  }
  inner_.nodes.push_back(std::move(key));
  inner_.hashes.push_back(h);
  inner_.slots[pos] = n + 1;
  return n;
}

Status<BadNodeId> GraphStore::mark_output(NodeId id) {
  auto guard = lock_.lock();
  if (id >= inner_.nodes.size()) return Err(BadNodeId{id});
  if (inner_.is_output.size() <= id) inner_.is_output.resize(inner_.nodes.size(), false);
  if (inner_.is_output[id]) return {};
  inner_.is_output[id] = true;
  inner_.outputs.push_back(id);
  return {};
}

uint64_t GraphStore::node_count() const {
  auto guard = lock_.lock();
  return inner_.nodes.size();
}

std::vector<NodeId> GraphStore::outputs() const {
  auto guard = lock_.lock();
  return inner_.outputs;
}

NodeMap GraphStore::node_map() const {
  auto guard = lock_.lock();
  return inner_.node_map;
}

Snapshot GraphStore::snapshot() const {
  auto guard = lock_.lock();
  return Snapshot{inner_.nodes, inner_.outputs};
}

std::vector<NodeKey> GraphStore::snapshot_from(uint64_t start) const {
  auto guard = lock_.lock();
  if (start >= inner_.nodes.size()) return {};
  return std::vector<NodeKey>(inner_.nodes.begin() + static_cast<ptrdiff_t>(start), inner_.nodes.end());
}

}  // namespace trellan
