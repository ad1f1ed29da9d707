#include <gtest/gtest.h>

#include <cstring>

#include "common/keyed_hash.hpp"

using namespace trellan;

namespace {
uint64_t bytes_one_by_one(const HashKey& k, std::string_view s) {
  KeyedHasher h(k);
  for (char c : s) h.write_u8(static_cast<uint8_t>(c));
  return h.finish();
}
}  // namespace

// The hasher is a byte stream: how writes split the bytes must not matter.
TEST(KeyedHasher, StreamIsIndependentOfWriteBoundaries) {
  HashKey k{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  std::string s = "0123456789abcdefghijklmnopqrstuv";
  for (size_t len = 0; len <= s.size(); ++len) {
    std::string_view part(s.data(), len);
    uint64_t ref = bytes_one_by_one(k, part);
    for (size_t lead = 0; lead <= std::min<size_t>(len, 9); ++lead) {
      KeyedHasher h(k);
      for (size_t i = 0; i < lead; ++i) h.write_u8(static_cast<uint8_t>(part[i]));
      size_t i = lead;
      for (; i + 8 <= len; i += 8) {
        uint64_t w;
        std::memcpy(&w, part.data() + i, 8);
        h.write_u64(w);
      }
      for (; i < len; ++i) h.write_u8(static_cast<uint8_t>(part[i]));
      EXPECT_EQ(h.finish(), ref) << "len " << len << " lead " << lead;
    }
  }
}

TEST(KeyedHasher, KeyAndLengthPrefixMatter) {
  HashKey a{1, 2}, b{1, 3};
  KeyedHasher x(a), y(b);
  x.write_str("abc");
  y.write_str("abc");
  EXPECT_NE(x.finish(), y.finish());
  KeyedHasher p(a), q(a);
  p.write_str("ab");
  p.write_str("c");
  q.write_str("a");
  q.write_str("bc");
  EXPECT_NE(p.finish(), q.finish());
}
