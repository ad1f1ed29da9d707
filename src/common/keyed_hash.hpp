// Keyed hashing for tables whose keys come from users (names, params): a
// SipHash-1-3 stream under a random 128-bit key, so colliding inputs cannot be
// precomputed. Hash values never leave the process and never decide an order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace trellan {

struct HashKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
  static HashKey random();  // fresh per call; secret per process, from the OS entropy source
};

class KeyedHasher {
 public:
  explicit KeyedHasher(const HashKey& key)
      : v0_(key.k0 ^ 0x736f6d6570736575ULL),
        v1_(key.k1 ^ 0x646f72616e646f6dULL),
        v2_(key.k0 ^ 0x6c7967656e657261ULL),
        v3_(key.k1 ^ 0x7465646279746573ULL) {}

  void write_u8(uint8_t b) { push_word(b, 1); }
  void write_u64(uint64_t x) { push_word(x, 8); }
  // Length-prefixed, so adjacent strings cannot run together.
  void write_str(std::string_view s) {
    write_u64(s.size());
    push_bytes(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  }
  uint64_t finish() const { return finish(v0_, v1_, v2_, v3_, total_, tail_); }
  // What finish() would return after write_u64(words.size()) and write_u64
  // of each word, without changing this hasher. The pending bytes stay as
  // many after each whole word, so the words need no branch: a batch hashes
  // many short rows after one shared prefix, and straight-line rounds of
  // successive rows overlap in the processor.
  uint64_t finish_with_counted(std::span<const uint64_t> words) const {
    uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    const unsigned shift = 8 * tail_len_;
    uint64_t tail = tail_;
    const auto push = [&](uint64_t x) {
      const uint64_t m = tail | (x << shift);
      tail = (x >> (63 - shift)) >> 1;  // the bytes of x past the block; none when shift is 0
      v3 ^= m;
      round(v0, v1, v2, v3);
      v0 ^= m;
    };
    push(words.size());
    for (uint64_t x : words) push(x);
    return finish(v0, v1, v2, v3, total_ + 8 * (words.size() + 1), tail);
  }
  // finish_with_counted of each of out.size() rows of `width` words, the
  // rows one after another in `words`, into out: several rows at a time.
  void finish_rows(std::span<const uint64_t> words, size_t width, std::span<uint64_t> out) const;

 private:
  static uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }
  static void round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
  void compress(uint64_t m) {
    v3_ ^= m;
    round(v0_, v1_, v2_, v3_);
    v0_ ^= m;
  }
  // Appends the low n bytes (1..8) of x to the stream, merging with the
  // pending tail by shifts instead of byte by byte.
  void push_word(uint64_t x, unsigned n) {
    total_ += n;
    unsigned filled = tail_len_ + n;
    tail_ |= x << (8 * tail_len_);
    if (filled >= 8) {
      compress(tail_);
      filled -= 8;
      tail_ = filled ? x >> (8 * (n - filled)) : 0;
    }
    tail_len_ = filled;
  }
  void push_bytes(const unsigned char* p, size_t n);
  // Inline: a batch hashes row after row, and its rows' rounds overlap when
  // the state stays in registers.
  static uint64_t finish(uint64_t v0, uint64_t v1, uint64_t v2, uint64_t v3, uint64_t total, uint64_t tail) {
    const uint64_t b = (total << 56) | tail;
    v3 ^= b;
    round(v0, v1, v2, v3);
    v0 ^= b;
    v2 ^= 0xff;
    for (int i = 0; i < 3; ++i) round(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
  }

  uint64_t v0_, v1_, v2_, v3_;
  uint64_t tail_ = 0;
  unsigned tail_len_ = 0;
  uint64_t total_ = 0;
};

}  // namespace trellan
