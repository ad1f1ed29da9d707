#include "egraph/symbol.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace egraph {
namespace {

TEST(SymbolTable, EqualTextsShareOneNumber) {
  SymbolTable t;
  Symbol a = t.intern("op|add|scalar=f0000000000000000;side=sr");
  Symbol b = t.intern(std::string("op|add|scalar=f0000000000000000;side=") + "sr");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, t.intern("op|add"));
  EXPECT_EQ(t.str(a), "op|add|scalar=f0000000000000000;side=sr");
  EXPECT_EQ(t.str(t.intern(std::string_view("a\0b", 3))), std::string_view("a\0b", 3));
  EXPECT_EQ(t.find("op|add"), t.intern("op|add"));
  EXPECT_EQ(t.find("never interned"), std::nullopt);
}

// Numbers follow first-intern order whatever the hash key, so no hash value
// decides a symbol's number; growing the table keeps every number.
TEST(SymbolTable, NumbersFollowFirstInternOrderUnderAnyKey) {
  std::vector<std::string> texts;
  for (int i = 0; i < 5000; ++i) texts.push_back("text-" + std::to_string((i * 7919) % 5000));
  for (SymbolKey key : {SymbolKey{0, 0}, SymbolKey{1, 2}, SymbolKey::random()}) {
    SymbolTable t(key);
    for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(t.intern(texts[i]).number(), i);
    for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(t.intern(texts[i]).number(), i);
    EXPECT_EQ(t.size(), texts.size());
  }
}

}  // namespace
}  // namespace egraph
