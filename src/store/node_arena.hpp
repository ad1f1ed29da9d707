// The store's arena of node keys: only ever appended to (but for a failed
// batch taking back its own appends), and shareable.
//
// share() returns a view of the keys present at that moment that stays valid
// and unchanged however the arena grows later, and outlives the arena if need
// be, without copying a key: the keys live in a reference-counted buffer, and
// when the arena outgrows a buffer that a view still holds, it copies the keys
// into the new buffer instead of moving them out of the old one. A buffer no
// view holds is moved as a vector would move it.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "node/node_key.hpp"

namespace trellan {

// The first count keys of an arena as they were when shared. Cheap to copy.
class SharedNodes {
 public:
  SharedNodes() = default;
  SharedNodes(std::shared_ptr<const void> owner, const NodeKey* data, size_t count)
      : owner_(std::move(owner)), data_(data), count_(count) {}

  std::span<const NodeKey> span() const { return {data_, count_}; }
  operator std::span<const NodeKey>() const { return span(); }
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  const NodeKey& operator[](size_t i) const { return data_[i]; }
  const NodeKey* begin() const { return data_; }
  const NodeKey* end() const { return data_ + count_; }
  std::vector<NodeKey> to_vector() const { return {begin(), end()}; }

 private:
  std::shared_ptr<const void> owner_;
  const NodeKey* data_ = nullptr;
  size_t count_ = 0;
};

class NodeArena {
 public:
  NodeArena() = default;
  // huge_pages: whether a large arena asks for transparent huge pages. A
  // store's arena does, for recording; a reduction's result, written once in
  // order, need not pay for them.
  explicit NodeArena(bool huge_pages) : huge_pages_(huge_pages) {}
  NodeArena(const NodeArena&) = delete;
  NodeArena& operator=(const NodeArena&) = delete;
  // Moving hands the keys over whole: a reduction builds its result's keys in
  // an arena that the store it makes then owns.
  NodeArena(NodeArena&&) noexcept = default;
  NodeArena& operator=(NodeArena&&) noexcept = default;

  size_t size() const { return buf_ ? buf_->size : 0; }
  size_t capacity() const { return buf_ ? buf_->capacity : 0; }
  const NodeKey& operator[](size_t i) const { return buf_->data[i]; }
  std::span<const NodeKey> span() const {
    return buf_ ? std::span<const NodeKey>(buf_->data, buf_->size) : std::span<const NodeKey>();
  }
  operator std::span<const NodeKey>() const { return span(); }
  // The keys, to be moved out of; only while no view shares them.
  std::span<NodeKey> unshared_keys() {
    return buf_ ? std::span<NodeKey>(buf_->data, buf_->size) : std::span<NodeKey>();
  }
  const NodeKey* begin() const { return span().data(); }
  const NodeKey* end() const { return span().data() + size(); }

  // Room for `count` keys in all.
  void reserve(size_t count);
  // Room for one more key, growing geometrically; push_back then cannot fail.
  void reserve_one() {
    if (size() == capacity()) reserve(2 * size() + 1);
  }
  // Appends a key; there must be room for it (reserve first).
  void push_back(NodeKey&& key) noexcept {
    new (buf_->data + buf_->size) NodeKey(std::move(key));
    ++buf_->size;
  }

  // Builds NodeKey(args...) in place at the end; there must be room for it.
  // If building throws, the arena is as it was.
  template <class... Args>
  void emplace_back(Args&&... args) {
    new (buf_->data + buf_->size) NodeKey(std::forward<Args>(args)...);
    ++buf_->size;
  }

  // Destroys the keys from position `count` on. No view may hold them: a
  // batch takes back what it appended, under the lock views are shared under.
  void truncate(size_t count) noexcept {
    while (size() > count) std::destroy_at(buf_->data + --buf_->size);
  }

  // The keys present now, kept as they are while the arena grows on.
  SharedNodes share() const;

 private:
  struct Buffer {
    NodeKey* data = nullptr;
    size_t capacity = 0;
    size_t size = 0;  // keys constructed, at the front
    Buffer(size_t cap, bool huge_pages);
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
  };

  std::shared_ptr<Buffer> buf_;
  bool huge_pages_ = true;
};

}  // namespace trellan
