#include "egraph/symbol.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace egraph::test {

// Equal texts share one number; numbers follow first-intern order whatever
// the hash key, so no hash value decides one, and growing the table keeps them.
TEST(SymbolTable, NumbersFollowFirstInternOrderUnderAnyKey) {
  std::vector<std::string> texts{"op|add|scalar=f0000000000000000;side=sr", std::string("a\0b", 3), "a"};
  for (int i = 0; i < 5000; ++i) texts.push_back("text-" + std::to_string((i * 7919) % 5000));
  for (SymbolKey key : {SymbolKey{0, 0}, SymbolKey{1, 2}, SymbolKey::random()}) {
    SymbolTable t(key);
    EXPECT_EQ(t.find("a"), std::nullopt);
    for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(t.intern(texts[i]).number(), i);
    for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(t.intern(std::string(texts[i])).number(), i);
    for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(t.str(*t.find(texts[i])), texts[i]);
    EXPECT_EQ(t.size(), texts.size());
  }
}

}  // namespace egraph::test
