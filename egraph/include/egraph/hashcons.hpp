// The e-graph's hash-cons: canonical e-node -> class id. Slots hold only a
// 32-bit hash and an id; the key itself is the e-node stored under that id in
// the e-graph's node arena, so every key lives exactly once.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <support/huge_pages.hpp>

#include "egraph/enode.hpp"

namespace egraph {

// A vector whose large buffers sit on huge pages, taken from the C heap.
template <class T>
using BigVector = std::vector<T, support::HugePageAllocator<T, support::LargeBlocks::Heap>>;

class HashCons {
 public:
  size_t size() const { return size_; }
  // Makes room for `n` entries without rehashing.
  void reserve(size_t n);

  // The id stored for a key equal to `key`, or kNoId.
  Id find(const ENode& key, uint32_t hash, std::span<const ENode> nodes) const;
  // Where a lookup ended: the id found, or kNoId and the free slot where the
  // key would go.
  struct Probe {
    Id id;
    size_t slot;
  };
  Probe probe(const ENode& key, uint32_t hash, std::span<const ENode> nodes) const;
  // Stores the entry for a key whose probe found nothing, at the slot the
  // probe ended on, when that needs no growth; false (and nothing stored)
  // otherwise. Nothing may be stored between the probe and this call.
  bool insert_at(const Probe& p, uint32_t hash, Id id) {
    if (slots_.empty() || too_full(size_ + 1, slots_.size())) return false;
    slots_[p.slot] = {hash, id};
    ++size_;
    return true;
  }
  // Stores nodes[id] -> id. When an equal key is present its entry is
  // repointed to `id` and the previous id is returned; otherwise kNoId.
  Id insert(uint32_t hash, Id id, std::span<const ENode> nodes);
  void prefetch(uint32_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }
  // The id in the key's home slot when that slot's hash matches, or kNoId:
  // the entry a lookup will most likely compare against.
  Id peek(uint32_t hash) const {
    if (slots_.empty()) return kNoId;
    const Slot& s = slots_[hash & (slots_.size() - 1)];
    return s.id != kNoId && s.hash == hash ? s.id : kNoId;
  }
  // Removes the entry equal to `key`; returns whether there was one.
  bool erase(const ENode& key, uint32_t hash, std::span<const ENode> nodes);

 private:
  struct Slot {
    uint32_t hash;
    Id id;  // kNoId when empty
  };
  // Up to 75% occupancy: eight slots share a cache line, so even the longer
  // probe runs near that load rarely leave the line they start in.
  static bool too_full(size_t entries, size_t capacity) { return entries * 4 > capacity * 3; }
  void rehash(size_t capacity);

  BigVector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace egraph
