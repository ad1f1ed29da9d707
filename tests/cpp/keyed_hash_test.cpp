#include "common/keyed_hash.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <span>
#include <vector>

namespace trellan::test {

// The hasher is a byte stream: how writes split the bytes must not matter,
// while the key and the length prefix of each string must.
TEST(KeyedHasher, StreamIsIndependentOfWriteBoundariesButNotOfKeyOrStrings) {
  const HashKey k{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  const std::string_view s = "0123456789abcdefghijklmnopqrstuv";
  for (size_t len = 0; len <= s.size(); ++len) {
    for (size_t lead = 0; lead <= std::min<size_t>(len, 9); ++lead) {  // bytes one by one, then words
      KeyedHasher h(k), bytewise(k);
      size_t i = 0;
      for (; i < lead; ++i) h.write_u8(static_cast<uint8_t>(s[i]));
      for (uint64_t w; i + 8 <= len; i += 8) h.write_u64((std::memcpy(&w, s.data() + i, 8), w));
      for (; i < len; ++i) h.write_u8(static_cast<uint8_t>(s[i]));
      for (i = 0; i < len; ++i) bytewise.write_u8(static_cast<uint8_t>(s[i]));
      EXPECT_EQ(h.finish(), bytewise.finish()) << len << " " << lead;
    }
  }
  KeyedHasher a(k), b(HashKey{k.k0, k.k1 + 1}), c(k);
  for (KeyedHasher* h : {&a, &b}) h->write_str("abc");
  c.write_str("ab");
  c.write_str("c");
  EXPECT_NE(a.finish(), b.finish());
  EXPECT_NE(a.finish(), c.finish());
}

// The branch-free continuations, of one row or of many rows at a time, hash
// what the writes would, whatever the number of bytes pending before them.
TEST(KeyedHasher, CountedContinuationsEqualTheWrites) {
  const HashKey k{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  std::vector<uint64_t> words = {~0ULL, 0x8000000000000001ULL, 3, 0};
  for (uint64_t i = 0; words.size() < 3 * 17; ++i) words.push_back(i * 0x9E3779B97F4A7C15ULL);
  for (size_t pending = 0; pending < 8; ++pending) {
    KeyedHasher prefix(k);
    for (size_t i = 0; i < 8 + pending; ++i) prefix.write_u8(static_cast<uint8_t>(0xA0 + i));
    const auto written = [&](std::span<const uint64_t> row) {
      KeyedHasher h = prefix;
      h.write_u64(row.size());
      for (uint64_t w : row) h.write_u64(w);
      return h.finish();
    };
    for (size_t width = 0; width <= 3; ++width) {
      EXPECT_EQ(prefix.finish_with_counted(std::span(words).first(width)), written(std::span(words).first(width)));
      for (size_t rows : {0, 7, 8, 17}) {  // none, the lanes not filled, filled, and more
        std::vector<uint64_t> hashes(rows);
        prefix.finish_rows(words, width, hashes);
        for (size_t r = 0; r < rows; ++r) {
          EXPECT_EQ(hashes[r], written(std::span(words).subspan(r * width, width))) << pending << " " << width << " " << r;
        }
      }
    }
  }
}

}  // namespace trellan::test
