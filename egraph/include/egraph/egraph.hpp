// The e-graph: hash-consed e-nodes grouped into equivalence classes, kept
// closed under congruence by `rebuild`.
//
// Storage is flat and indexed by id. Every class is created by exactly one
// e-node, so an id also names that e-node: `node_[id]` holds it, kept in its
// latest canonical form. A class's node list and user list are linked lists
// threaded through per-id arrays, so merging two classes splices lists in
// constant time and nothing is allocated per class.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "egraph/enode.hpp"
#include "egraph/flat_map.hpp"
#include "egraph/hashcons.hpp"

namespace egraph {

class Pattern;
class Matcher;

class EGraph {
 public:
  // Forward range over the e-nodes of one class.
  class ClassNodes {
   public:
    class iterator {
     public:
      using value_type = ENode;
      using difference_type = std::ptrdiff_t;
      iterator() = default;
      iterator(const EGraph* g, Id head, Id at) : g_(g), head_(head), at_(at) {}
      const ENode& operator*() const { return g_->node_[at_]; }
      const ENode* operator->() const { return &g_->node_[at_]; }
      iterator& operator++() {
        at_ = g_->next_in_class(at_, head_);
        return *this;
      }
      iterator operator++(int) {
        iterator old = *this;
        ++*this;
        return old;
      }
      bool operator==(const iterator& o) const { return at_ == o.at_; }

     private:
      const EGraph* g_ = nullptr;
      Id head_ = kNoId;
      Id at_ = kNoId;
    };
    iterator begin() const { return {g_, head_, head_}; }
    iterator end() const { return {g_, head_, kNoId}; }
    size_t size() const;

   private:
    friend class EGraph;
    ClassNodes(const EGraph* g, Id head) : g_(g), head_(head) {}
    const EGraph* g_;
    Id head_;
  };

  EGraph() = default;
  // Makes room for `ids` classes so that loading a graph does not reallocate.
  void reserve(size_t ids);

  // Adds an e-node; returns an id of the class that contains it.
  Id add(const ENode& node);
  // Canonical id of the class holding an e-node equal to `node` (after
  // canonicalizing its children), if any.
  std::optional<Id> lookup(const ENode& node) const;
  // Canonical id of `id`'s class; modifies nothing.
  Id find(Id id) const;
  // Merges the classes of a and b; false when they were already one class.
  bool unite(Id a, Id b);
  // Restores congruence closure and the canonical, sorted, duplicate-free
  // class node lists. Returns the number of merges it performed.
  size_t rebuild();
  // Cache hints for a later `add(node)`: `prefetch` starts loading the
  // hash-cons slot and the children's union-find entries; once that slot has
  // arrived, `prefetch_match` starts loading the e-node it will compare with.
  void prefetch(const ENode& node) const;
  void prefetch_match(const ENode& node) const;

  size_t hashcons_size() const { return memo_.size() + stale_keys_; }
  size_t class_count() const { return class_count_; }
  size_t id_count() const { return parent_.size(); }
  bool is_clean() const { return clean_; }
  // Identifies this e-graph in this state: changes whenever a class is
  // created or two classes are merged, and differs between e-graphs (a copy
  // or a moved-to e-graph gets a new one).
  std::pair<uint64_t, uint64_t> version() const { return {stamp_.value, version_}; }

  // Class access by canonical id.
  ClassNodes nodes(Id eclass) const { return {this, cls_[eclass].node_head}; }
  size_t user_count(Id eclass) const { return cls_[eclass].user_count; }
  // Canonical ids in ascending order.
  std::vector<Id> class_ids() const;
  // Number of distinct canonical e-nodes with this operator and arity; exact
  // when the e-graph is clean.
  size_t count_nodes(Symbol op, size_t arity) const;
  // Starts keeping lists of the e-nodes with these operators, for the
  // matcher, with one pass over the e-graph. An operator is otherwise
  // indexed on its first search, one pass each.
  void index_ops(std::span<const Symbol> ops) const;

 private:
  friend class Pattern;
  friend class Matcher;

  struct ClassRec {
    Id node_head;                   // cycle through next_node_
    uint32_t user_head, user_tail;  // newest and oldest user, list through users_
    uint32_t user_count;
  };
  struct UserLink {
    Id node;  // the user e-node, named by the id it was added under
    uint32_t next;
  };
  struct OpNodes {
    std::vector<Id> ids;  // e-nodes with this operator, ascending
    size_t dropped = 0;   // how many of them rebuild has removed as duplicates
    bool queued = false;  // listed in ops_with_drops_
    std::vector<std::pair<size_t, size_t>> live;  // (arity, e-nodes not dropped)
    size_t& live_count(size_t arity);
  };

  Id find_mut(Id id);
  // The e-node after `at` in the class whose list starts at `head`, or kNoId.
  Id next_in_class(Id at, Id head) const {
    Id next = next_node_[at];
    return next == head ? kNoId : next;
  }
  // Cache hints. The class of an e-node is assumed to carry the e-node's own
  // id, which is the common case; a wrong guess costs only the hint.
  // For visiting e-node `e` and its class (search, class repair):
  void prefetch_class_of(Id e) const {
    __builtin_prefetch(&node_[e]);
    __builtin_prefetch(&cls_[e]);
    __builtin_prefetch(&parent_[e]);
    __builtin_prefetch(&mark_[e]);
    __builtin_prefetch(&next_node_[e]);
  }
  // Second stage, once next_node_[e] has arrived: the class's next e-node.
  void prefetch_second_node(Id e) const { __builtin_prefetch(&node_[next_node_[e]]); }
  // For a union into the class of `e`:
  void prefetch_union_target(Id e) const {
    __builtin_prefetch(&parent_[e]);
    __builtin_prefetch(&cls_[e]);
    __builtin_prefetch(&next_node_[e]);
  }
  // Starts loading the hash-cons slot of node's key with canonical children.
  void prefetch_canonical_slot(const ENode& node) const;
  // probe: where the hash-cons lookup for node ended, if nothing was stored since.
  Id make_class(ENode&& node, uint32_t hash, const HashCons::Probe* probe);
  void append_user(Id eclass, Id user);
  void repair_classes();
  void sort_class(Id eclass);
  void note_dropped(Id node);
  // E-node ids with operator `op` (possibly dropped ones), for the matcher.
  std::span<const Id> ids_with_op(Symbol op) const;

  BigVector<Id> parent_;        // union-find
  BigVector<ENode> node_;       // node_[id]: the e-node that created class id
  BigVector<Id> next_node_;     // class node lists, each a cycle (merging two is a swap)
  BigVector<uint8_t> dropped_;  // 1 once rebuild removed the e-node as a duplicate
  BigVector<ClassRec> cls_;     // meaningful at canonical ids only
  BigVector<UserLink> users_;
  // Per-id stamps that let rebuild and search visit each class once.
  uint32_t next_epoch() const;
  mutable BigVector<uint32_t> mark_;
  mutable uint32_t epoch_ = 0;
  std::vector<Id> scratch_;

  HashCons memo_;
  size_t stale_keys_ = 0;  // keys made stale by merges; they still count as entries
  std::vector<Id> worklist_;
  std::vector<Id> dirty_;  // ids whose classes need re-sorting at rebuild

  // Operator index, built only for operators that patterns search: graphs
  // have many operators (every source has its own) that no rule names.
  mutable std::vector<OpNodes> ops_;
  mutable FlatMap32 op_slot_;  // symbol number -> index into ops_
  std::vector<uint32_t> ops_with_drops_;

  size_t class_count_ = 0;
  bool clean_ = true;
  // A process-wide unique number per e-graph object, fresh on copy and move.
  struct Stamp {
    Stamp() : value(next()) {}
    Stamp(const Stamp&) : value(next()) {}
    Stamp& operator=(const Stamp&) {
      value = next();
      return *this;
    }
    static uint64_t next();
    uint64_t value;
  };
  Stamp stamp_;
  uint64_t version_ = 0;
};

}  // namespace egraph
