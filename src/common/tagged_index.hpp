// An open-addressing index over an external arena: maps a hash to the arena
// positions whose entries have it, so each entry lives once, in the arena.
//
// A slot is one word: the arena position plus the top bits of the entry's hash
// as a tag, so a probe reads one small table and looks at the arena only when
// the tag matches. The table is kept at most half full, which keeps the linear
// probe walk to a slot or two. The full hashes are kept per position as well,
// only so that growing the table never hashes an entry again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <support/huge_pages.hpp>

namespace trellan {

class TaggedIndex {
 public:
  // Where a lookup ended: the position of a matching entry, or the free slot
  // at which a new entry with that hash goes.
  struct Probe {
    bool found;
    uint64_t id;
    size_t slot;
  };

  // Walks the probe sequence of `hash` and returns the first position for
  // which matches(id) holds. Call reserve_one() first when an insert may
  // follow: a probe's slot stays valid only until the index next grows.
  template <class Matches>
  Probe find(uint64_t hash, Matches&& matches) const {
    if (slots_.empty()) return {false, 0, 0};
    const uint64_t tag = hash & kTagMask;
    for (size_t pos = hash & mask_;; pos = (pos + 1) & mask_) {
      const uint64_t s = slots_[pos];
      if (s == 0) return {false, 0, pos};
      if ((s & kTagMask) == tag && matches((s & kIdMask) - 1)) return {true, (s & kIdMask) - 1, pos};
    }
  }
  // Starts loading the slot where the probe for `hash` begins, so that a
  // lookup made a little later finds it in cache.
  void prefetch(uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & mask_]);
  }
  void reserve_one() {
    if (2 * (size_ + 1) > slots_.size()) reserve(size_ + 1);
  }
  // Sizes the table for `count` entries at once, so a large batch does not
  // rehash the table several times on its way; inserts up to that many
  // entries then cannot fail.
  void reserve(size_t count);
  // Records an entry that missed at `probe` as the next arena position, which
  // it returns; the caller appends the entry to the arena. Inline: a batch
  // inserts entry after entry.
  uint64_t insert(const Probe& probe, uint64_t hash) {
    const uint64_t id = size_;
    if (id + 1 > kIdMask) too_many();
    hashes_.push_back(hash);  // the one step that can fail: nothing changed yet
    slots_[probe.slot] = (hash & kTagMask) | (id + 1);
    ++size_;
    return id;
  }

  // Takes back the entries from position `count` on, newest first, as if
  // they had never been inserted; the table must not have grown since.
  void truncate(size_t count) noexcept;

  size_t size() const { return size_; }

 private:
  // Positions take the low 40 bits (position + 1; 0 marks a free slot), the
  // tag the top 24 bits of the hash. A slot's place comes from the low bits
  // of the hash, so tag and place are independent.
  static constexpr unsigned kIdBits = 40;
  static constexpr uint64_t kIdMask = (uint64_t{1} << kIdBits) - 1;
  static constexpr uint64_t kTagMask = ~kIdMask;

  void rebuild(size_t cap);
  [[noreturn]] static void too_many();

  support::ZeroedArray<uint64_t> slots_;
  std::vector<uint64_t, support::HugePageAllocator<uint64_t>> hashes_;  // by position
  size_t mask_ = 0;
  size_t size_ = 0;
};

}  // namespace trellan
