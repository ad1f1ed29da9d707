#include "optimizer/passes/dead_code.hpp"

#include "common/panic.hpp"

namespace trellan {

DeadCode dead_code_elimination(std::span<const NodeKey> nodes, std::span<const uint64_t> outputs) {
  if (nodes.size() >= kDropped) panic("graph too large to reduce");
  DeadCode dead;
  // Marks every node from which an output is reachable (any entry but
  // kDropped), in one sweep from the last node down: inputs precede their
  // consumers, so every consumer of a node is settled before the node itself,
  // and the nodes are read in order instead of at random (and no stack grows
  // with the depth of a chain).
  constexpr uint32_t kReached = 0;
  dead.map.assign(nodes.size(), kDropped);
  for (uint64_t id : outputs) at_checked(dead.map, id) = kReached;
  size_t reached = 0;
  for (uint64_t id = nodes.size(); id-- > 0;) {
    if (dead.map[id] == kDropped) continue;
    ++reached;
    for (NodeId input : nodes[id].inputs()) {
      if (input >= id) panic("reduction input lists a node before its inputs");  // LCOV_EXCL_LINE
      dead.map[input] = kReached;
    }
  }
  dead.kept.reserve(reached);
  for (uint32_t id = 0; id < nodes.size(); ++id) {
    if (dead.map[id] == kDropped) continue;
    dead.map[id] = static_cast<uint32_t>(dead.kept.size());
    dead.kept.push_back(id);
  }
  dead.outputs.reserve(outputs.size());
  for (uint64_t id : outputs) dead.outputs.push_back(dead.map[id]);
  return dead;
}

}  // namespace trellan
