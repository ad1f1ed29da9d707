// Fast unkeyed hashing for the e-graph's internal tables. The inputs are
// interned numbers and class ids, never attacker-chosen bytes, and no table
// order ever decides a result, so speed is all that matters here.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace egraph {

inline constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;

inline uint64_t rotl64(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline uint64_t hash_combine(uint64_t h, uint64_t v) { return (rotl64(h, 23) ^ v) * kMul; }

inline uint64_t hash_finish(uint64_t h) {
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  h ^= h >> 32;
  return h;
}

inline uint64_t hash_bytes(std::string_view s) {
  uint64_t h = s.size() * kMul;
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = hash_combine(h, w);
  }
  if (i < s.size()) {
    uint64_t w = 0;
    std::memcpy(&w, s.data() + i, s.size() - i);
    h = hash_combine(h, w);
  }
  return hash_finish(h);
}

}  // namespace egraph
