// KeyedHasher::finish_rows: the hashes of many rows after one shared prefix,
// eight rows at a time, one row per vector lane. The rounds are those of
// finish_with_counted, so each row's hash is exactly its own; the processor
// runs eight rows' rounds as one where it has wide vectors, chosen when the
// program loads.
#include "common/keyed_hash.hpp"

namespace trellan {

namespace {

constexpr size_t kLanes = 8;
using Lanes = uint64_t __attribute__((vector_size(kLanes * sizeof(uint64_t))));

// Not under ThreadSanitizer: the clones' resolver runs while the program
// loads, before the sanitizer's runtime is up, and its instrumented entry
// crashes there.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define TRELLAN_LANE_TARGETS __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define TRELLAN_LANE_TARGETS
#endif

// The state of KeyedHasher::finish_rows's prefix, as plain words.
struct Prefix {
  uint64_t v[4];
  uint64_t tail;
  uint64_t total;
  unsigned shift;
};

// rows is a multiple of kLanes; each row is `width` words at words + row * width.
TRELLAN_LANE_TARGETS
void hash_lanes(const Prefix& p, const uint64_t* words, size_t width, size_t rows, uint64_t* out) {
  const Lanes zero = {};
  for (size_t r = 0; r < rows; r += kLanes) {
    Lanes v0 = zero + p.v[0], v1 = zero + p.v[1], v2 = zero + p.v[2], v3 = zero + p.v[3];
    Lanes tail = zero + p.tail;
#define TRELLAN_ROUND()                                     \
  v0 += v1; v1 = (v1 << 13) | (v1 >> 51); v1 ^= v0;         \
  v0 = (v0 << 32) | (v0 >> 32);                             \
  v2 += v3; v3 = (v3 << 16) | (v3 >> 48); v3 ^= v2;         \
  v0 += v3; v3 = (v3 << 21) | (v3 >> 43); v3 ^= v0;         \
  v2 += v1; v1 = (v1 << 17) | (v1 >> 47); v1 ^= v2;         \
  v2 = (v2 << 32) | (v2 >> 32);
    for (size_t j = 0; j <= width; ++j) {
      Lanes x = zero + width;  // the count first, then the words
      if (j > 0) {
        for (size_t l = 0; l < kLanes; ++l) x[l] = words[(r + l) * width + j - 1];
      }
      const Lanes m = tail | (x << p.shift);
      tail = (x >> (63 - p.shift)) >> 1;
      v3 ^= m;
      TRELLAN_ROUND()
      v0 ^= m;
    }
    const Lanes b = ((zero + (p.total + 8 * (width + 1))) << 56) | tail;
    v3 ^= b;
    TRELLAN_ROUND()
    v0 ^= b;
    v2 ^= 0xff;
    TRELLAN_ROUND()
    TRELLAN_ROUND()
    TRELLAN_ROUND()
#undef TRELLAN_ROUND
    const Lanes h = v0 ^ v1 ^ v2 ^ v3;
    for (size_t l = 0; l < kLanes; ++l) out[r + l] = h[l];
  }
}

}  // namespace

void KeyedHasher::finish_rows(std::span<const uint64_t> words, size_t width, std::span<uint64_t> out) const {
  const size_t rows = out.size();
  const size_t whole = rows / kLanes * kLanes;
  const Prefix p{{v0_, v1_, v2_, v3_}, tail_, total_, 8 * tail_len_};
  hash_lanes(p, words.data(), width, whole, out.data());
  for (size_t r = whole; r < rows; ++r) out[r] = finish_with_counted(words.subspan(r * width, width));
}

}  // namespace trellan
