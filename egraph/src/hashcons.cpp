#include "egraph/hashcons.hpp"

namespace egraph {

Id HashCons::find(const ENode& key, uint32_t hash, std::span<const ENode> nodes) const {
  if (slots_.empty()) return kNoId;
  size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.id == kNoId) return kNoId;
    if (s.hash == hash && nodes[s.id] == key) return s.id;
  }
}

HashCons::Probe HashCons::probe(const ENode& key, uint32_t hash, std::span<const ENode> nodes) const {
  if (slots_.empty()) return {kNoId, 0};
  size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.id == kNoId) return {kNoId, i};
    if (s.hash == hash && nodes[s.id] == key) return {s.id, i};
  }
}

Id HashCons::insert(uint32_t hash, Id id, std::span<const ENode> nodes) {
  if (too_full(size_ + 1, slots_.size())) rehash(slots_.empty() ? 1024 : slots_.size() * 2);
  const ENode& key = nodes[id];
  size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& s = slots_[i];
    if (s.id == kNoId) {
      s = {hash, id};
      ++size_;
      return kNoId;
    }
    if (s.hash == hash && nodes[s.id] == key) {
      Id previous = s.id;
      s.id = id;
      return previous;
    }
  }
}

bool HashCons::erase(const ENode& key, uint32_t hash, std::span<const ENode> nodes) {
  if (slots_.empty()) return false;
  size_t mask = slots_.size() - 1;
  size_t i = hash & mask;
  for (;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.id == kNoId) return false;
    if (s.hash == hash && nodes[s.id] == key) break;
  }
  // Backward-shift deletion keeps every probe run unbroken without tombstones.
  for (size_t j = i;;) {
    j = (j + 1) & mask;
    if (slots_[j].id == kNoId) break;
    size_t home = slots_[j].hash & mask;
    bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (!stays) {
      slots_[i] = slots_[j];
      i = j;
    }
  }
  slots_[i].id = kNoId;
  --size_;
  return true;
}

void HashCons::reserve(size_t n) {
  size_t capacity = slots_.empty() ? 1024 : slots_.size();
  while (too_full(n, capacity)) capacity *= 2;
  if (capacity > slots_.size()) rehash(capacity);
}

void HashCons::rehash(size_t capacity) {
  BigVector<Slot> old(capacity, Slot{0, kNoId});
  old.swap(slots_);
  size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.id == kNoId) continue;
    size_t i = s.hash & mask;
    while (slots_[i].id != kNoId) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

}  // namespace egraph
