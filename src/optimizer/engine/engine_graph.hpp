// The graph the driver hands to a rewrite engine: one node per live IR node,
// identified by its token text, with children as positions in the same list.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace trellan::engine {

struct EngineNode {
  std::string op;                   // node token, e.g. "op|add" or "exch"
  std::vector<uint64_t> children;   // positions of inputs, each < own position
  bool opaque = false;              // true for every node that is not an Op
};

struct EngineGraph {
  std::vector<EngineNode> nodes;
  std::vector<uint64_t> outputs;    // positions into nodes; repeats allowed
};

// Result of canonicalize: the canonical graph plus, for every input position,
// the position of the canonical node that now stands for it.
struct Canonical {
  EngineGraph graph;
  std::vector<uint64_t> node_map;
};

// The same graph with every operator text replaced by a dense id (equal ids
// exactly for equal texts; OpNames tells them apart) and the children of all
// nodes in one flat array: a million-node graph is a few vectors instead of
// a million strings and a million small vectors.
struct OpGraph {
  std::vector<uint32_t> op;        // per node
  std::vector<uint8_t> opaque;     // per node: 1 unless the node is an op
  std::vector<uint64_t> first{0};  // children of node i are children[first[i], first[i + 1])
  std::vector<uint64_t> children;
  std::vector<uint64_t> outputs;   // positions, order and repeats kept

  size_t size() const { return op.size(); }
  std::span<const uint64_t> children_of(size_t i) const {
    return {children.data() + first[i], children.data() + first[i + 1]};
  }
  void add(uint32_t id, bool is_opaque, std::span<const uint64_t> kids) {
    op.push_back(id);
    opaque.push_back(is_opaque ? 1 : 0);
    children.insert(children.end(), kids.begin(), kids.end());
    first.push_back(children.size());
  }
  void reserve(size_t nodes, size_t kids) {
    op.reserve(nodes);
    opaque.reserve(nodes);
    first.reserve(nodes + 1);
    children.reserve(kids);
  }
};

struct CanonicalOps {
  OpGraph graph;
  std::vector<uint64_t> node_map;
  // Whether no two nodes of graph share an operator and children (in order):
  // the classes were closed under congruence, so common-subexpression
  // elimination would find nothing to merge.
  bool closed = false;
};

// The operator texts behind the ids of an OpGraph.
class OpNames {
 public:
  virtual ~OpNames() = default;
  virtual std::string_view text(uint32_t id) const = 0;
  // The id of text, adding it when it is new.
  virtual uint32_t intern(std::string_view text) = 0;
  // The id of text when it is present.
  virtual bool find(std::string_view text, uint32_t& id) const = 0;
};

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  virtual Canonical canonicalize(const EngineGraph& graph) const = 0;
  // The same canonicalization on the id form. This default goes through the
  // text form; an engine that works on ids overrides it.
  virtual CanonicalOps canonicalize_ops(const OpGraph& graph, OpNames& names) const;
};

// Conversions between the two forms.
EngineGraph to_text_form(const OpGraph& graph, const OpNames& names);
OpGraph to_op_form(const EngineGraph& graph, OpNames& names);

}  // namespace trellan::engine
