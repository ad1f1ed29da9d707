// The graph the driver hands to a rewrite engine: one node per live IR node,
// identified by its token text, with children as positions in the same list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace trellan::engine {

struct EngineNode {
  std::string op;                   // node token, e.g. "op|add" or "exch"
  std::vector<uint64_t> children;   // positions of inputs, each < own position
  bool opaque = false;              // true for every node that is not an Op
  bool operator==(const EngineNode&) const = default;
};

struct EngineGraph {
  std::vector<EngineNode> nodes;
  std::vector<uint64_t> outputs;    // positions into nodes; repeats allowed
  bool operator==(const EngineGraph&) const = default;
};

// Result of canonicalize: the canonical graph plus, for every input position,
// the position of the canonical node that now stands for it.
struct Canonical {
  EngineGraph graph;
  std::vector<uint64_t> node_map;
};

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  virtual Canonical canonicalize(const EngineGraph& graph) const = 0;
};

}  // namespace trellan::engine
