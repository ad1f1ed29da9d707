// Where each node of a store's source landed in the reduced store.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <vector>

#include <support/huge_pages.hpp>

#include "node/id_list.hpp"

namespace trellan {

struct Placement {
  NodeId node;                    // id in the reduced store
  std::optional<uint64_t> member; // index among the stage's members, when fused
};

// Indexed by the source store's node ids; nullopt marks a dropped node.
//
// Packed: an entry is two 32-bit words (node, member) with an all-ones word
// for "dropped" and "no member", 8 bytes where an optional pair takes 32. A
// map that meets a value too large for 32 bits switches to two 64-bit words
// per entry; no store of this size fits in memory today, but the map does not
// rely on it.
class NodeMap {
 public:
  using Entry = std::optional<Placement>;

  class const_iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Entry;
    const_iterator(const NodeMap* map, size_t i) : map_(map), i_(i) {}
    Entry operator*() const { return (*map_)[i_]; }
    const_iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator==(const const_iterator& o) const { return i_ == o.i_; }

   private:
    const NodeMap* map_;
    size_t i_;
  };

  NodeMap() = default;
  NodeMap(size_t count, Entry entry) {
    reserve(count);
    for (size_t i = 0; i < count; ++i) push_back(entry);
  }
  NodeMap(std::initializer_list<Entry> entries) {
    reserve(entries.size());
    for (const Entry& e : entries) push_back(e);
  }

  size_t size() const { return wide_ ? words64_.size() / 2 : words32_.size() / 2; }
  bool empty() const { return size() == 0; }
  void reserve(size_t count) {
    if (wide_) {
      words64_.reserve(2 * count);
    } else {
      words32_.reserve(2 * count);
    }
  }

  Entry operator[](size_t i) const {
    uint64_t node, member;
    if (wide_) {
      node = words64_[2 * i];
      member = words64_[2 * i + 1];
    } else {
      node = words32_[2 * i] == kNone32 ? kNone : words32_[2 * i];
      member = words32_[2 * i + 1] == kNone32 ? kNone : words32_[2 * i + 1];
    }
    if (node == kNone) return std::nullopt;
    return Placement{node, member == kNone ? std::nullopt : std::optional<uint64_t>(member)};
  }

  void push_back(const Entry& e) {
    const uint64_t node = e ? e->node : kNone;
    const uint64_t member = e && e->member ? *e->member : kNone;
    if (!wide_ && (fits_not(node) || fits_not(member))) widen();
    if (wide_) {
      words64_.push_back(node);
      words64_.push_back(member);
    } else {
      words32_.push_back(static_cast<uint32_t>(node));
      words32_.push_back(static_cast<uint32_t>(member));
    }
  }
  void emplace_back(const Entry& e) { push_back(e); }

  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }

 private:
  static constexpr uint64_t kNone = ~uint64_t{0};
  static constexpr uint32_t kNone32 = ~uint32_t{0};
  // A value that a 32-bit word cannot hold apart from the "none" word.
  static bool fits_not(uint64_t v) { return v != kNone && v >= kNone32; }

  void widen() {
    support::MappedVector<uint64_t> words;
    words.reserve(words32_.capacity());
    for (uint32_t w : words32_) words.push_back(w == kNone32 ? kNone : w);
    words64_ = std::move(words);
    words32_ = {};
    wide_ = true;
  }

  // A reduction's node map has an entry per node it was handed: large maps
  // take mapped blocks.
  support::MappedVector<uint32_t> words32_;  // (node, member) per entry while every value fits
  support::MappedVector<uint64_t> words64_;  // the same, once one does not
  bool wide_ = false;
};

}  // namespace trellan
