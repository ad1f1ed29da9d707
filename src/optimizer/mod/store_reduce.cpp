// The store's reduction operations: reduce a shared view of the arena, then turn the
// result into a new, independent store.
#include "common/panic.hpp"
#include "optimizer/mod/driver.hpp"
#include "store/graph_store.hpp"

namespace trellan {

StoreAndReport GraphStore::reduce_with(const engine::RewriteEngine& engine,
                                       bool maximal_fusion) const {
  SharedSnapshot snap = shared_snapshot();
  return from_reduced(reduce_with_mode(snap.nodes, snap.outputs, engine, maximal_fusion));
}

Result<StoreAndReport, BadNodeId> GraphStore::reduce_with_outputs(
    std::span<const NodeId> outputs, const engine::RewriteEngine& engine,
    bool maximal_fusion) const {
  SharedNodes nodes = shared_nodes();
  for (NodeId id : outputs) {
    if (id >= nodes.size()) return Err(BadNodeId{id});
  }
  return from_reduced(reduce_with_mode(nodes, outputs, engine, maximal_fusion));
}

namespace {

// Interns the reduced nodes in order and returns the id each one received.
// Reduced nodes are distinct and topologically ordered, so node p normally
// becomes id p and inputs need renumbering only after two nodes collided.
std::vector<NodeId> intern_all(GraphStore& store, std::vector<NodeKey>& nodes) {
  std::vector<NodeId> ids;
  ids.reserve(nodes.size());
  // All at once while every node is new, as it normally is.
  store.reserve(nodes.size());
  const size_t appended = store.append_new(nodes);
  for (NodeId p = 0; p < appended; ++p) ids.push_back(p);
  bool identity = true;
  std::vector<NodeId> inputs;
  for (NodeKey& node : std::span<NodeKey>(nodes).subspan(appended)) {
    if (!identity) {
      inputs.clear();
      for (NodeId p : node.inputs()) {
        if (p >= ids.size()) panic("reduced graph references only earlier nodes");
        inputs.push_back(ids[p]);
      }
      node = node.with_inputs(IdList(inputs));
    }
    auto id = store.intern(std::move(node));
    if (!id) panic("reduced graph references only earlier nodes");
    if (id.value() != ids.size()) identity = false;
    ids.push_back(id.value());
  }
  return ids;
}

}  // namespace

StoreAndReport GraphStore::from_reduced(Reduced reduced) {
  auto store = std::make_unique<GraphStore>();
  std::vector<NodeId> ids = intern_all(*store, reduced.nodes);
  for (uint64_t p : reduced.outputs) {
    if (p >= ids.size() || !store->mark_output(ids[p])) panic("reduced output is valid");
  }
  NodeMap node_map = std::move(reduced.node_map);
  // Reduced position p is normally id p; only a collision renumbers.
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
    auto guard = store->lock_.lock(PoisonMutex::OnFailure::Consistent);
    store->inner_.node_map = std::move(node_map);
  }
  return {std::move(store), reduced.report};
}

}  // namespace trellan
