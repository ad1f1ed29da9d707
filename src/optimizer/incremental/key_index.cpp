#include "optimizer/incremental/key_index.hpp"

namespace trellan {

uint64_t KeyIndex::hash(const NodeKey& key) const {
  KeyedHasher h(hash_key_);
  key.hash(h);
  return h.finish();
}

// At most 7/8 of the slots are in use, so a probe walk stays short.
void KeyIndex::reserve(size_t count) {
  if (count * 8 <= slots_.size() * 7) return;
  size_t cap = slots_.empty() ? 64 : slots_.size() * 2;
  while (count * 8 > cap * 7) cap *= 2;
  rebuild(cap);
}

uint64_t KeyIndex::insert(const Probe& probe, uint64_t hash) {
  const uint64_t id = size_++;
  slots_[probe.slot] = Slot{hash, id + 1};
  return id;
}

// The stored hashes mean no key is hashed again.
void KeyIndex::rebuild(size_t cap) {
  std::vector<Slot> slots(cap, Slot{0, 0});
  const size_t mask = cap - 1;
  for (const Slot& s : slots_) {
    if (s.id_plus_one == 0) continue;
    size_t pos = s.hash & mask;
    while (slots[pos].id_plus_one != 0) pos = (pos + 1) & mask;
    slots[pos] = s;
  }
  slots_ = std::move(slots);
}

}  // namespace trellan
