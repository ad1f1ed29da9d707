#include "common/keyed_hash.hpp"

#include <atomic>
#include <random>

namespace trellan {

namespace {

HashKey from_entropy() {
  std::random_device rd;
  HashKey k;
  k.k0 = (uint64_t(rd()) << 32) ^ rd();
  k.k1 = (uint64_t(rd()) << 32) ^ rd();
  return k;
}

}  // namespace

// Opening the entropy source costs microseconds, and every store, reduction
// and index wants a key: draw one secret per process and derive each key from
// it and a counter. Keys stay distinct and unpredictable without the secret.
HashKey HashKey::random() {
  static const HashKey secret = from_entropy();
  static std::atomic<uint64_t> counter{0};
  const uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  KeyedHasher a(secret), b(secret);
  a.write_u64(n);
  a.write_u8(0);
  b.write_u64(n);
  b.write_u8(1);
  return HashKey{a.finish(), b.finish()};
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

}  // namespace trellan
