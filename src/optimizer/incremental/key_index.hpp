// A hash-cons index over an external arena of node keys: open addressing over
// arena positions, so each key lives once, in the arena. Hashing is keyed per
// index, since names and params come from users. A slot keeps the full hash
// beside the position, so a probe reads one table and touches the arena only
// on a hash match.
#pragma once

#include <cstdint>
#include <vector>

#include "common/keyed_hash.hpp"
#include "node/node_key.hpp"

namespace trellan {

class KeyIndex {
 public:
  KeyIndex() : hash_key_(HashKey::random()) {}

  uint64_t hash(const NodeKey& key) const;

  // Where a lookup ended: the position of a matching key, or the free slot
  // at which a new key with that hash goes.
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
    const size_t mask = slots_.size() - 1;
    for (size_t pos = hash & mask;; pos = (pos + 1) & mask) {
      const Slot& s = slots_[pos];
      if (s.id_plus_one == 0) return {false, 0, pos};
      if (s.hash == hash && matches(s.id_plus_one - 1)) return {true, s.id_plus_one - 1, pos};
    }
  }
  void reserve_one() { reserve(size_ + 1); }
  // Sizes the table for `count` keys at once, so a large delta does not
  // rehash the table several times on its way.
  void reserve(size_t count);
  // Records a key that missed at `probe` as the next arena position, which it
  // returns; the caller appends the key to the arena.
  uint64_t insert(const Probe& probe, uint64_t hash);

  size_t size() const { return size_; }

 private:
  struct Slot {
    uint64_t hash;
    uint64_t id_plus_one;  // 0 marks a free slot
  };
  void rebuild(size_t cap);

  HashKey hash_key_;
  std::vector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace trellan
