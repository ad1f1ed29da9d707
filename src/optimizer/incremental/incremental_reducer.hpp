// Keeps a canonical form of a growing store, one delta at a time, and reduces
// that form once at the end.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "optimizer/engine/engine_graph.hpp"
#include "optimizer/passes/driver.hpp"
#include "store/graph_store.hpp"
#include "store/key_index.hpp"

namespace trellan {

class IncrementalReducer {
 public:
  IncrementalReducer();

  // Consumes the store nodes whose ids are watermark(), watermark()+1, ...
  // Each node is consumed whole or not at all: when an allocation fails
  // part-way, the nodes before it stay consumed and the reducer stays
  // consistent, as after a step that fails on an unknown input id.
  Result<uint64_t, BadNodeId> step(std::span<const NodeKey> delta);
  Result<Reduced, BadNodeId> finalize(std::span<const NodeId> outputs,
                                      const engine::RewriteEngine& engine,
                                      bool maximal_fusion) const;

  uint64_t watermark() const { return remap_.size(); }
  uint64_t total_work() const { return total_work_; }
  uint64_t canonical_count() const { return canonical_.size(); }

 private:
  // What the rules make of one node, decided before its lookup: eliminated
  // as an identity (standing for `first`), or looked up by `hash` as a
  // commutative op (the hash of its ascending orientation) or as it is.
  struct Prepared {
    enum class Rule : uint8_t { Identity, Commutative, Plain };
    Rule rule;
    uint64_t hash;
    NodeId first;
  };
  // The canonical ids of node's inputs into ins, or the first input that is
  // not covered by remap_.
  std::optional<NodeId> canonical_inputs(const NodeKey& node, std::vector<NodeId>& ins) const;
  Prepared prepare(const NodeKey& node, std::span<const NodeId> ins) const;
  // The canonical id of a prepared node: an equal canonical key (or, for a
  // commutative op, its mirror), or a new entry.
  uint64_t settle(const NodeKey& node, std::span<const NodeId> ins, const Prepared& p);

  // The canonical form, canonical id = position, in chunks of a fixed size:
  // it grows by a chunk at a time and never moves a key, since moving a
  // million keys on every doubling of one array would cost as much as the
  // steps themselves.
  class Chunked {
   public:
    static constexpr size_t kChunk = size_t{1} << 12;
    const NodeKey& operator[](uint64_t id) const { return chunks_[id / kChunk][id % kChunk]; }
    size_t size() const { return size_; }
    // Makes room for one more key; push_back then cannot fail.
    void reserve_one();
    void push_back(NodeKey key);
    // A contiguous copy, for the driver.
    std::vector<NodeKey> flat() const;

   private:
    std::vector<std::vector<NodeKey>> chunks_;  // each reserved for kChunk keys
    size_t size_ = 0;
  };

  Chunked canonical_;
  std::vector<uint64_t> remap_;     // store node id -> canonical id
  // Scratch of step, kept so that a step of one node allocates nothing.
  std::vector<NodeId> ins_, guess_;
  KeyIndex interned_;               // hash-cons index over canonical_
  uint64_t total_work_ = 0;
};

}  // namespace trellan
