// Keeps a canonical form of a growing store, one delta at a time, and reduces
// that form once at the end.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "optimizer/engine/engine_graph.hpp"
#include "store/key_index.hpp"
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
  // Canonical id of a store node (not an eliminated identity) whose inputs
  // map to `ins`: an equal canonical key (or, for a commutative op, its
  // mirror) or a new entry.
  uint64_t intern(const NodeKey& node, std::span<const NodeId> ins);

  std::vector<NodeKey> canonical_;  // canonical id = position
  std::vector<uint64_t> remap_;     // store node id -> canonical id
  KeyIndex interned_;               // hash-cons index over canonical_
  uint64_t total_work_ = 0;
};

}  // namespace trellan
