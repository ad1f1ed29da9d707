// Dead-code elimination: keeps exactly the nodes from which an output can be
// reached and renumbers them densely in ascending id order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <support/huge_pages.hpp>

#include "node/node_key.hpp"

namespace trellan {

// Map entry of a node that did not survive.
inline constexpr uint32_t kDropped = ~uint32_t{0};

// The survivors are described rather than copied: survivor s is nodes[kept[s]]
// with every input i replaced by map[i]. Copying a million keys only to
// renumber their inputs would cost more than the whole pass. Positions and ids
// take 32 bits: a graph of more nodes is refused.
struct DeadCode {
  support::MappedVector<uint32_t> map;   // per node: its survivor position, or kDropped
  support::MappedVector<uint32_t> kept;  // per survivor: its node id, ascending
  std::vector<uint64_t> outputs;         // the outputs as survivor positions, order and repeats kept
};

// nodes: every input of node i is smaller than i. outputs: ids into nodes.
DeadCode dead_code_elimination(std::span<const NodeKey> nodes, std::span<const uint64_t> outputs);

}  // namespace trellan
