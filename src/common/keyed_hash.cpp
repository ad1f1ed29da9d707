#include "common/keyed_hash.hpp"

#include <random>

namespace trellan {

HashKey HashKey::random() {
  std::random_device rd;
  HashKey k;
  k.k0 = (uint64_t(rd()) << 32) ^ rd();
  k.k1 = (uint64_t(rd()) << 32) ^ rd();
  return k;
}

void KeyedHasher::push_bytes(const unsigned char* p, size_t n) {
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    push_word(w, 8);
    p += 8;
    n -= 8;
  }
  if (n > 0) {
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    push_word(w, static_cast<unsigned>(n));
  }
}

uint64_t KeyedHasher::finish() const {
  uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
  uint64_t b = (total_ << 56) | tail_;
  v3 ^= b;
  round(v0, v1, v2, v3);
  v0 ^= b;
  v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace trellan
