// A small open-addressing map from 32-bit keys to 32-bit values, used for
// per-e-graph tables keyed by symbol numbers. Lookup only; never iterated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace egraph {

class FlatMap32 {
 public:
  static constexpr uint32_t kMissing = 0xFFFFFFFFu;

  uint32_t get(uint32_t key) const {
    if (slots_.empty()) return kMissing;
    size_t mask = slots_.size() - 1;
    for (size_t i = spread(key) & mask;; i = (i + 1) & mask) {
      if (slots_[i].value == kMissing) return kMissing;
      if (slots_[i].key == key) return slots_[i].value;
    }
  }

  // `value` must not be kMissing; `key` must not be present yet.
  void put(uint32_t key, uint32_t value) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    place(key, value);
    ++size_;
  }

 private:
  struct Slot {
    uint32_t key;
    uint32_t value;
  };
  static uint64_t spread(uint32_t key) { return (key * 0x9E3779B97F4A7C15ull) >> 32; }
  void place(uint32_t key, uint32_t value) {
    size_t mask = slots_.size() - 1;
    size_t i = spread(key) & mask;
    while (slots_[i].value != kMissing) i = (i + 1) & mask;
    slots_[i] = {key, value};
  }
  void grow() {
    std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2, Slot{0, kMissing});
    old.swap(slots_);
    for (const Slot& s : old)
      if (s.value != kMissing) place(s.key, s.value);
  }

  std::vector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace egraph
