// The deduplicated graph between common-subexpression elimination and stage
// fusion: operators by id (see TokenTable), children in one flat array, so a
// million-node graph costs a few vectors instead of a million small ones.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "optimizer/mod/token_table.hpp"

namespace trellan {

struct OpGraph {
  std::vector<OpId> op;           // per node
  std::vector<uint8_t> opaque;    // per node: 1 unless the node is an op
  std::vector<uint64_t> first{0}; // children of node i are children[first[i], first[i + 1])
  std::vector<uint32_t> children; // positions fit 32 bits: cse refuses larger graphs
  std::vector<uint64_t> outputs;  // positions, order and repeats kept

  size_t size() const { return op.size(); }
  std::span<const uint32_t> children_of(size_t i) const {
    return {children.data() + first[i], children.data() + first[i + 1]};
  }
  void add(OpId id, bool is_opaque, std::span<const uint64_t> kids) {
    op.push_back(id);
    opaque.push_back(is_opaque ? 1 : 0);
    for (uint64_t k : kids) children.push_back(static_cast<uint32_t>(k));
    first.push_back(children.size());
  }
};

}  // namespace trellan
