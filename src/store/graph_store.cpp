#include "store/graph_store.hpp"

namespace trellan {

GraphStore::GraphStore() = default;

Result<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
  // The index's hash key never changes, so hashing needs no lock: the key is
  // ours alone.
  const uint64_t h = inner_.index.hash(key);
  auto guard = lock_.lock();
  const uint64_t n = inner_.nodes.size();
  for (NodeId input : key.inputs()) {
    if (input >= n) return Err(BadNodeId{input});
  }
  inner_.index.reserve_one();
  const auto probe = inner_.index.find(h, [&](uint64_t id) { return inner_.nodes[id] == key; });
  if (probe.found) return probe.id;
  key.share_params(inner_.params);
  inner_.index.insert(probe, h);
  inner_.nodes.push_back(std::move(key));
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
