#include "common/keyed_hash.hpp"

#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace trellan::test
