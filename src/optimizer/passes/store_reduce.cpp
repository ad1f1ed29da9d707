#include "optimizer/passes/store_reduce.hpp"

namespace trellan {

Result<StoreAndReport, BadNodeId> reduce_store(const GraphStore& store, std::optional<std::vector<NodeId>> outputs,
                                               const engine::RewriteEngine& engine, bool maximal_fusion) {
  auto snap = store.snapshot_for(std::move(outputs));
  if (!snap) return Err(snap.error());
  const SharedSnapshot& s = snap.value();
  return store_from_reduced(reduce_with_mode(s.nodes, s.outputs, engine, maximal_fusion, /*distinct_keys=*/true));
}

StoreAndReport store_from_reduced(Reduced reduced) {
  return {GraphStore::from_records(std::move(reduced.nodes), reduced.outputs, std::move(reduced.node_map)),
          reduced.report};
}

}  // namespace trellan
