// Keeps a canonical form of a growing store, one delta at a time, and reduces
// that form once at the end.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "optimizer/engine/engine_graph.hpp"
#include "optimizer/mod/reduced.hpp"
#include "store/graph_store.hpp"

namespace trellan {

class IncrementalReducer {
 public:
  IncrementalReducer();

  // Consumes the store nodes whose ids are watermark(), watermark()+1, ...
  Result<uint64_t, BadNodeId> step(std::span<const NodeKey> delta);
  Result<Reduced, BadNodeId> finalize(std::span<const NodeId> outputs,
                                      const engine::RewriteEngine& engine,
                                      bool maximal_fusion) const;

  uint64_t watermark() const { return remap_.size(); }
  uint64_t total_work() const { return total_work_; }
  uint64_t canonical_count() const { return canonical_.size(); }

 private:
  // (implementation-defined members)
  std::vector<NodeKey> canonical_;
  std::vector<uint64_t> remap_;
  uint64_t total_work_ = 0;
};

}  // namespace trellan
