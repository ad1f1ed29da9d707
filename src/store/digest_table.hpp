// The value digests a store keeps, by node id: an append-only table of
// chunks of 2 MiB, one huge page each. Past the first chunk, growing never
// moves a digest already kept, so a store that grows by a few nodes between
// calls pays for those nodes only, and the table holds 32 bytes per node plus
// at most one partly filled chunk. The first chunk starts small and doubles
// up to full size, so that a small store keeps a small table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include <support/huge_pages.hpp>

#include "store/digest_hash.hpp"

namespace trellan {

class DigestTable {
 public:
  static constexpr size_t kChunkBits = 16;
  static constexpr size_t kChunk = size_t{1} << kChunkBits;

  DigestTable() = default;
  DigestTable(const DigestTable&) = delete;
  DigestTable& operator=(const DigestTable&) = delete;
  ~DigestTable() {
    for (size_t c = 0; c < chunks_.size(); ++c) Alloc().deallocate(chunks_[c], c == 0 ? first_capacity_ : kChunk);
  }

  size_t size() const { return size_; }
  Digest& operator[](size_t i) { return chunks_[i >> kChunkBits][i & (kChunk - 1)]; }
  const Digest& operator[](size_t i) const { return chunks_[i >> kChunkBits][i & (kChunk - 1)]; }

  // Room for count digests; the new ones are unspecified until written. On
  // failure (out of memory) the size is as before.
  void grow_to(size_t count) {
    if (count <= size_) return;
    if (chunks_.empty() || first_capacity_ < std::min(count, kChunk)) grow_first(std::min(count, kChunk));
    const size_t needed = (count + kChunk - 1) >> kChunkBits;
    chunks_.reserve(needed);
    while (chunks_.size() < needed) chunks_.push_back(Alloc().allocate(kChunk));
    size_ = count;
  }
  // Keeps the first count digests; allocates nothing.
  void shrink_to(size_t count) {
    if (count < size_) size_ = count;
  }

 private:
  using Alloc = support::HugePageAllocator<Digest>;

  // Makes the first chunk hold at least count digests, doubling it.
  void grow_first(size_t count) {
    size_t capacity = std::max<size_t>(first_capacity_, 64);
    while (capacity < count) capacity *= 2;
    capacity = std::min(capacity, kChunk);
    if (chunks_.empty()) chunks_.reserve(1);
    Digest* grown = Alloc().allocate(capacity);
    if (!chunks_.empty()) {
      std::copy(chunks_[0], chunks_[0] + std::min(size_, first_capacity_), grown);
      Alloc().deallocate(chunks_[0], first_capacity_);
      chunks_[0] = grown;
    } else {
      chunks_.push_back(grown);  // cannot fail: room reserved
    }
    first_capacity_ = capacity;
  }

  std::vector<Digest*> chunks_;
  size_t first_capacity_ = 0;  // the first chunk's; every other chunk holds kChunk
  size_t size_ = 0;
};

}  // namespace trellan
