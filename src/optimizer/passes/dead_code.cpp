#include "optimizer/passes/dead_code.hpp"

#include <algorithm>

#include "common/panic.hpp"

namespace trellan {

namespace {

// Marks every node from which an output is reachable, in one sweep from the
// last node down: inputs precede their consumers, so every consumer of a node
// is settled before the node itself, and the nodes are read in order instead
// of at random (and no stack grows with the depth of a chain).
support::MappedVector<uint8_t> reach(std::span<const NodeKey> nodes, std::span<const uint64_t> outputs) {
  support::MappedVector<uint8_t> reached(nodes.size(), 0);
  for (uint64_t id : outputs) at_checked(reached, id) = 1;
  for (uint64_t id = nodes.size(); id-- > 0;) {
    if (!reached[id]) continue;
    for (NodeId input : nodes[id].inputs()) {
      if (input >= id) panic("reduction input lists a node before its inputs");  // LCOV_EXCL_LINE
      reached[input] = 1;
    }
  }
  return reached;
}

}  // namespace

DeadCode dead_code_elimination(std::span<const NodeKey> nodes, std::span<const uint64_t> outputs) {
  support::MappedVector<uint8_t> reached = reach(nodes, outputs);
  DeadCode dead;
  dead.map.assign(nodes.size(), kDropped);
  dead.kept.reserve(static_cast<size_t>(std::count(reached.begin(), reached.end(), 1)));
  for (uint64_t id = 0; id < nodes.size(); ++id) {
    if (!reached[id]) continue;
    dead.map[id] = dead.kept.size();
    dead.kept.push_back(id);
  }
  dead.outputs.reserve(outputs.size());
  for (uint64_t id : outputs) dead.outputs.push_back(dead.map[id]);
  return dead;
}

}  // namespace trellan
