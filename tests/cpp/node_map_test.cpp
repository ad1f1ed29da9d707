// The packed node map switches to wide words for a value past 32 bits and
// keeps every entry it held before; no reduction of a test's size gets there.
#include "store/node_map.hpp"

#include <gtest/gtest.h>

namespace trellan::test {

TEST(NodeMap, HoldsEveryValue) {
  const std::vector<NodeMap::Entry> entries = {
      Placement{0, std::nullopt}, std::nullopt, Placement{7, 3}, Placement{0xFFFFFFFEull, 0xFFFFFFFEull},
      Placement{0xFFFFFFFFull, std::nullopt}, Placement{1ull << 40, 1ull << 35}, std::nullopt};
  const auto fields = [](NodeMap::Entry e) { return e ? std::optional(std::pair(e->node, e->member)) : std::nullopt; };
  NodeMap map;
  for (const auto& e : entries) map.push_back(e);
  ASSERT_EQ(map.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(fields(map[i]), fields(entries[i])) << i;
}

}  // namespace trellan::test
