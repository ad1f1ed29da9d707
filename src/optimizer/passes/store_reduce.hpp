// Reduction of a store: the reduced graph of what the store holds, as a new,
// independent store with the report of the reduction.
#pragma once

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/result.hpp"
#include "optimizer/engine/engine_graph.hpp"
#include "optimizer/passes/driver.hpp"
#include "store/graph_store.hpp"

namespace trellan {

using StoreAndReport = std::pair<std::unique_ptr<GraphStore>, ReductionReport>;

// Reduces the nodes store holds now against outputs, or against its marks
// when none are given; an output that names no node is the error. The store
// lock is held only while the nodes are shared out, never while reducing.
Result<StoreAndReport, BadNodeId> reduce_store(const GraphStore& store, std::optional<std::vector<NodeId>> outputs,
                                               const engine::RewriteEngine& engine, bool maximal_fusion);

// The store a reduction's result describes, with its report.
StoreAndReport store_from_reduced(Reduced reduced);

}  // namespace trellan
