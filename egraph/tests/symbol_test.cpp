#include "egraph/symbol.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace egraph {
namespace {

TEST(Symbol, EqualTextsShareOneNumber) {
  Symbol a("op|add|scalar=f0000000000000000;side=sr");
  Symbol b(std::string("op|add|scalar=f0000000000000000;side=") + "sr");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, Symbol("op|add"));
  EXPECT_EQ(a.str(), "op|add|scalar=f0000000000000000;side=sr");
  EXPECT_EQ(Symbol(""), Symbol());
  EXPECT_EQ(Symbol().str(), "");
  EXPECT_EQ(Symbol(std::string_view("a\0b", 3)).str(), std::string_view("a\0b", 3));
}

TEST(Symbol, ConcurrentInterningGivesOneNumberPerText) {
  constexpr int kThreads = 8, kTexts = 4000;
  std::vector<std::vector<uint32_t>> seen(kThreads, std::vector<uint32_t>(kTexts));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread walks the texts in its own order.
      for (int k = 0; k < kTexts; ++k) {
        int i = (k * 7919 + t * 131) % kTexts;
        seen[t][i] = Symbol("concurrent-" + std::to_string(i)).number();
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<uint32_t> numbers = seen[0];
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], numbers);
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ(std::unique(numbers.begin(), numbers.end()), numbers.end());
  for (int i = 0; i < kTexts; i += 97) {
    EXPECT_EQ(Symbol("concurrent-" + std::to_string(i)).number(), seen[0][i]);
    EXPECT_EQ(Symbol(Symbol("concurrent-" + std::to_string(i))).str(), "concurrent-" + std::to_string(i));
  }
}

}  // namespace
}  // namespace egraph
