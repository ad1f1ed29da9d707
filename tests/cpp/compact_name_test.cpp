#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "node/compact_name.hpp"

using trellan::CompactName;

TEST(CompactName, KeepsEveryLengthInlineAndOnTheHeap) {
  std::string text;
  for (int n = 0; n <= 64; ++n) {
    CompactName name(text);
    EXPECT_EQ(name.view(), text) << n;
    CompactName copy(name);
    EXPECT_EQ(copy.view(), text) << n;
    CompactName moved(std::move(copy));
    EXPECT_EQ(moved.view(), text) << n;
    EXPECT_EQ(copy.view(), "") << n;
    CompactName assigned;
    assigned = name;
    EXPECT_EQ(assigned, name) << n;
    text += static_cast<char>('a' + n % 26);
  }
}

TEST(CompactName, HoldsAnyByteAndComparesByContent) {
  const std::string bytes("a\0b\xff|%=;", 8);
  CompactName a(bytes), b(bytes), c(std::string_view("a"));
  EXPECT_EQ(a.view(), bytes);
  EXPECT_EQ(a, b);
  EXPECT_FALSE(a == c);
  a.swap(c);
  EXPECT_EQ(a.view(), "a");
  EXPECT_EQ(c.view(), bytes);
}
