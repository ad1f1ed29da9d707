// Class ids and e-nodes: an operator symbol applied to an ordered list of
// child classes.
#pragma once

#include <algorithm>
#include <compare>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>

#include "egraph/symbol.hpp"

namespace egraph {

// Dense class id: the n-th id ever created is n - 1.
using Id = uint32_t;
// Marks "no id" in tables and lists; never a valid id.
inline constexpr Id kNoId = 0xFFFFFFFFu;

// An e-node is 16 bytes: nodes with up to two children (nearly all of them)
// keep their children inline, so copying one never allocates. The number of
// children is fixed at construction; only the ids can be rewritten.
class ENode {
 public:
  ENode() : inline_{0, 0} {}
  ENode(Symbol op, std::span<const Id> children) : op_(op), n_(static_cast<uint32_t>(children.size())) {
    Id* dst = n_ <= kInline ? inline_ : (heap_ = new Id[n_]);
    for (uint32_t i = 0; i < n_; ++i) dst[i] = children[i];  // usually 1 or 2: no memcpy call
  }
  ENode(Symbol op, std::initializer_list<Id> children)
      : ENode(op, std::span<const Id>(children.begin(), children.size())) {}
  explicit ENode(Symbol op) : op_(op), inline_{0, 0} {}

  ENode(const ENode& o) : ENode(o.op_, o.children()) {}
  ENode(ENode&& o) noexcept : op_(o.op_), n_(o.n_) {
    std::memcpy(static_cast<void*>(&heap_), static_cast<const void*>(&o.heap_), sizeof(heap_));
    o.n_ = 0;
  }
  ENode& operator=(const ENode& o) {
    if (this != &o) *this = ENode(o);
    return *this;
  }
  ENode& operator=(ENode&& o) noexcept {
    if (this != &o) {
      release();
      op_ = o.op_;
      n_ = o.n_;
      std::memcpy(static_cast<void*>(&heap_), static_cast<const void*>(&o.heap_), sizeof(heap_));
      o.n_ = 0;
    }
    return *this;
  }
  ~ENode() { release(); }

  Symbol op() const { return op_; }
  size_t arity() const { return n_; }
  std::span<const Id> children() const { return {data(), n_}; }
  std::span<Id> children() { return {data(), n_}; }

  // Same operator and the same number of children.
  bool matches(const ENode& o) const { return op_ == o.op_ && n_ == o.n_; }

  friend bool operator==(const ENode& a, const ENode& b) {
    return a.matches(b) && std::equal(a.data(), a.data() + a.n_, b.data());
  }
  // Operator number first, then children element by element.
  friend std::strong_ordering operator<=>(const ENode& a, const ENode& b) {
    if (auto c = a.op_ <=> b.op_; c != 0) return c;
    auto ca = a.children(), cb = b.children();
    return std::lexicographical_compare_three_way(ca.begin(), ca.end(), cb.begin(), cb.end());
  }

 private:
  static constexpr uint32_t kInline = 2;
  Id* data() { return n_ <= kInline ? inline_ : heap_; }
  const Id* data() const { return n_ <= kInline ? inline_ : heap_; }
  void release() {
    if (n_ > kInline) delete[] heap_;
  }

  Symbol op_;
  uint32_t n_ = 0;
  union {
    Id inline_[kInline];
    Id* heap_;
  };
};

}  // namespace egraph
