#include "common/keyed_hash.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace trellan {
namespace {

uint64_t hash(HashKey key, std::string_view s, size_t lead) {
  KeyedHasher h(key);
  size_t i = 0;
  for (; i < lead; ++i) h.write_u8(static_cast<uint8_t>(s[i]));
  for (uint64_t w; i + 8 <= s.size(); i += 8) h.write_u64((std::memcpy(&w, s.data() + i, 8), w));
  for (; i < s.size(); ++i) h.write_u8(static_cast<uint8_t>(s[i]));
  return h.finish();
}

// The hasher is a byte stream: how writes split the bytes must not matter,
// while the key and the length prefix of each string must.
TEST(KeyedHasher, StreamIsIndependentOfWriteBoundariesButNotOfKeyOrStrings) {
  const HashKey k{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  const std::string_view s = "0123456789abcdefghijklmnopqrstuv";
  for (size_t len = 0; len <= s.size(); ++len) {
    for (size_t lead = 0; lead <= std::min<size_t>(len, 9); ++lead) {
      EXPECT_EQ(hash(k, s.substr(0, len), lead), hash(k, s.substr(0, len), len)) << len << " " << lead;
    }
  }
  auto of = [](HashKey key, std::initializer_list<std::string_view> strs) {
    KeyedHasher h(key);
    for (std::string_view t : strs) h.write_str(t);
    return h.finish();
  };
  EXPECT_NE(of({1, 2}, {"abc"}), of({1, 3}, {"abc"}));
  EXPECT_NE(of({1, 2}, {"ab", "c"}), of({1, 2}, {"a", "bc"}));
}

}  // namespace
}  // namespace trellan
