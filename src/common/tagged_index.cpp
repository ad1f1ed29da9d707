#include "common/tagged_index.hpp"

#include <algorithm>
#include <bit>

#include "common/panic.hpp"

namespace trellan {

void TaggedIndex::reserve(size_t count) {
  // The stored hashes too, so that inserting up to `count` entries cannot fail.
  using Allocator = support::HugePageAllocator<uint64_t>;
  if (count > hashes_.capacity()) hashes_.reserve(Allocator::good_capacity(std::max(count, 2 * hashes_.capacity())));
  if (2 * count <= slots_.size()) return;
  size_t cap = slots_.empty() ? 64 : slots_.size() * 2;
  while (2 * count > cap) cap *= 2;
  // A table that takes whole huge pages takes all the slots they hold: the
  // pages are cleared whole anyway, and it then grows and rehashes less often.
  rebuild(std::bit_floor(support::HugePageAllocator<uint64_t>::good_capacity(cap)));
}

void TaggedIndex::too_many() { panic("too many entries for one index"); }

// Each entry filled the first free slot of its probe walk, and every entry
// taken back after it is gone already, so emptying its slot restores the
// table as it was before the insert.
void TaggedIndex::truncate(size_t count) noexcept {
  while (size_ > count) {
    const uint64_t id = --size_;
    const uint64_t h = hashes_[id];
    size_t pos = h & mask_;
    while ((slots_[pos] & kIdMask) != id + 1) pos = (pos + 1) & mask_;
    slots_[pos] = 0;
    hashes_.pop_back();
  }
}

// The stored hashes mean no entry is hashed again.
void TaggedIndex::rebuild(size_t cap) {
  support::ZeroedArray<uint64_t> slots(cap);
  const size_t mask = cap - 1;
  // Entries land at random: each one's home is loaded a few entries ahead,
  // so that the misses overlap.
  constexpr uint64_t kAhead = 32;
  for (uint64_t id = 0; id < size_; ++id) {
    if (id + kAhead < size_) __builtin_prefetch(&slots[hashes_[id + kAhead] & mask], 1);
    const uint64_t h = hashes_[id];
    size_t pos = h & mask;
    while (slots[pos] != 0) pos = (pos + 1) & mask;
    slots[pos] = (h & kTagMask) | (id + 1);
  }
  slots_ = std::move(slots);
  mask_ = mask;
}

}  // namespace trellan
