// Search results: for each matched class, the substitutions found there.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "egraph/enode.hpp"
#include "egraph/subst.hpp"

namespace egraph {

class Pattern;
class Matcher;

struct SearchMatches {
  Id eclass;                       // canonical id of the matched class
  std::span<const Subst> substs;   // never empty
};

// All matches of one search, stored flat: one allocation per search, not one
// per matched class.
class Matches {
 public:
  // Set by a search that visited every candidate of a pattern of the form
  // (op ?v1 ... ?vn) on a clean e-graph: each group then lists every e-node
  // of its class with that operator and arity, child k bound to vars[k], as
  // of e-graph version `version`.
  struct Snapshot {
    std::pair<uint64_t, uint64_t> version;
    Symbol op;
    std::vector<Var> vars;
  };
  const std::optional<Snapshot>& snapshot() const { return snapshot_; }

  size_t size() const { return classes_.size(); }  // matched classes
  bool empty() const { return classes_.empty(); }
  size_t total() const { return count_; }  // substitutions over all classes

  SearchMatches operator[](size_t i) const {
    materialize();
    uint32_t begin = i == 0 ? 0 : ends_[i - 1];
    return {classes_[i], std::span<const Subst>(substs_).subspan(begin, ends_[i] - begin)};
  }

  class iterator {
   public:
    iterator(const Matches* m, size_t i) : m_(m), i_(i) {}
    SearchMatches operator*() const { return (*m_)[i_]; }
    iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator==(const iterator& o) const { return i_ == o.i_; }

   private:
    const Matches* m_;
    size_t i_;
  };
  iterator begin() const { return {this, 0}; }
  iterator end() const { return {this, size()}; }

  // Appends the substitutions found in one class; an empty list adds nothing.
  void add(Id eclass, std::span<const Subst> substs) {
    materialize();
    flat_.reset();
    snapshot_.reset();  // no longer exactly what a search found
    for (const Subst& s : substs) push(s);
    close_class(eclass);
  }

 private:
  friend class Pattern;
  friend class Matcher;

  // A search of (op ?v1 ... ?vn) keeps each match as the n children of the
  // matched e-node, as they were then; substitutions are built from them only
  // when someone asks for them.
  struct Flat {
    uint32_t arity;
    std::vector<std::pair<Var, uint32_t>> binds;  // (variable, child position), in binding order
    std::vector<Id> kids;                         // arity per match
  };

  // The matcher's building blocks: emplace a class's substitutions, then close it.
  void push(const Subst& s) {
    substs_.push_back(s);
    ++count_;
  }
  Subst& emplace() {
    ++count_;
    return substs_.emplace_back();
  }
  void start_flat(uint32_t arity, std::vector<std::pair<Var, uint32_t>> binds) {
    flat_ = Flat{arity, std::move(binds), {}};
  }
  void push_flat(std::span<const Id> kids) {
    flat_->kids.insert(flat_->kids.end(), kids.begin(), kids.end());
    ++count_;
  }
  // Children of flat match j.
  std::span<const Id> flat_kids(size_t j) const {
    return std::span<const Id>(flat_->kids).subspan(j * flat_->arity, flat_->arity);
  }
  // First match of class i.
  size_t class_begin(size_t i) const { return i == 0 ? 0 : ends_[i - 1]; }
  size_t class_end(size_t i) const { return ends_[i]; }
  void close_class(Id eclass) {
    uint32_t begin = ends_.empty() ? 0 : ends_.back();
    if (count_ == begin) return;
    classes_.push_back(eclass);
    ends_.push_back(static_cast<uint32_t>(count_));
  }
  void materialize() const {
    if (!flat_ || substs_.size() == count_) return;
    substs_.reserve(count_);
    for (size_t j = substs_.size(); j < count_; ++j) {
      Subst& s = substs_.emplace_back();
      for (auto [var, k] : flat_->binds) s.insert(var, flat_->kids[j * flat_->arity + k]);
    }
  }

  std::vector<Id> classes_;
  std::vector<uint32_t> ends_;  // end of each class's run in substs_
  mutable std::vector<Subst> substs_;  // built on demand from flat_ when that is set
  size_t count_ = 0;
  std::optional<Flat> flat_;
  std::optional<Snapshot> snapshot_;
};

}  // namespace egraph
