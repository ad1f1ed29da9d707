// An immutable list of node ids that keeps up to two ids inline: most nodes
// have one or two inputs, and a store may hold millions of them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <vector>

namespace trellan {

using NodeId = uint64_t;

class IdList {
 public:
  IdList() : size_(0) {}
  IdList(std::span<const NodeId> ids) { assign(ids.data(), ids.size()); }
  IdList(const std::vector<NodeId>& ids) { assign(ids.data(), ids.size()); }
  IdList(std::initializer_list<NodeId> ids) { assign(ids.begin(), ids.size()); }
  IdList(const IdList& o) { assign(o.data(), o.size_); }
  IdList(IdList&& o) noexcept : size_(o.size_) {
    std::memcpy(&u_, &o.u_, sizeof u_);
    o.size_ = 0;
  }
  IdList& operator=(const IdList& o) {
    if (this != &o) {
      IdList copy(o);
      swap(copy);
    }
    return *this;
  }
  IdList& operator=(IdList&& o) noexcept {
    swap(o);
    return *this;
  }
  ~IdList() {
    if (size_ > kInline) delete[] u_.heap;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const NodeId* data() const { return size_ > kInline ? u_.heap : u_.inline_ids; }
  const NodeId* begin() const { return data(); }
  const NodeId* end() const { return data() + size_; }
  NodeId operator[](size_t i) const { return data()[i]; }
  std::span<const NodeId> span() const { return {data(), size_}; }
  std::vector<NodeId> to_vector() const { return {begin(), end()}; }

  bool operator==(const IdList& o) const {
    return size_ == o.size_ && std::equal(begin(), end(), o.begin());
  }
  void swap(IdList& o) noexcept {
    std::swap(size_, o.size_);
    std::swap(u_, o.u_);
  }

 private:
  static constexpr size_t kInline = 2;
  void assign(const NodeId* p, size_t n) {
    size_ = n;
    if (n > kInline) {
      u_.heap = new NodeId[n];
      std::copy(p, p + n, u_.heap);
    } else {
      // Spelled out: a copy of unknown length would call memmove for a word
      // or two.
      if (n > 0) u_.inline_ids[0] = p[0];
      if (n > 1) u_.inline_ids[1] = p[1];
    }
  }

  uint64_t size_;
  union U {
    NodeId inline_ids[kInline];
    NodeId* heap;
  } u_;
};

}  // namespace trellan
