// Hashing for the e-graph's tables. The e-graph's own tables hash symbol
// numbers and class ids, never user-chosen bytes, and no table order ever
// decides a result, so there speed is all that matters. Symbol texts may come
// from users: they take the keyed hash at the end.
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

// SipHash-1-3 of text under the key (k0, k1): without the key, colliding texts
// cannot be computed in advance.
inline uint64_t keyed_hash_bytes(uint64_t k0, uint64_t k1, std::string_view s) {
  uint64_t v0 = k0 ^ 0x736f6d6570736575ull, v1 = k1 ^ 0x646f72616e646f6dull;
  uint64_t v2 = k0 ^ 0x6c7967656e657261ull, v3 = k1 ^ 0x7465646279746573ull;
  auto round = [&] {
    v0 += v1; v1 = rotl64(v1, 13); v1 ^= v0; v0 = rotl64(v0, 32);
    v2 += v3; v3 = rotl64(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl64(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl64(v1, 17); v1 ^= v2; v2 = rotl64(v2, 32);
  };
  auto compress = [&](uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  };
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    compress(w);
  }
  uint64_t last = static_cast<uint64_t>(s.size() & 0xFF) << 56;
  if (i < s.size()) {
    uint64_t w = 0;
    std::memcpy(&w, s.data() + i, s.size() - i);
    last |= w;
  }
  compress(last);
  v2 ^= 0xFF;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace egraph
