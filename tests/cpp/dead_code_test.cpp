#include "optimizer/passes/dead_code.hpp"

#include <gtest/gtest.h>

#include "reduce_fixtures.hpp"

namespace trellan {
namespace {

using namespace reduce_testing;

TEST(DeadCode, KeepsTheNodesThatReachAnOutputRenumberedInIdOrder) {
  // 0 a, 1 b, 2 f(a), 3 g(b), 4 h(f, a), 5 k(b); outputs name h, k, h
  std::vector<NodeKey> nodes{src("a"), src("b"), op("f", {0}), op("g", {1}), op("h", {2, 0}),
                             op("k", {1})};
  std::vector<uint64_t> outputs{4, 5, 4};
  DeadCode dead = dead_code_elimination(nodes, outputs);
  EXPECT_EQ(dead.kept, (std::vector<uint64_t>{0, 1, 2, 4, 5}));
  EXPECT_EQ(dead.map, (std::vector<uint64_t>{0, 1, 2, kDropped, 3, 4}));
  EXPECT_EQ(dead.outputs, (std::vector<uint64_t>{3, 4, 3}));

  DeadCode none = dead_code_elimination(nodes, {});
  EXPECT_TRUE(none.kept.empty());
  EXPECT_EQ(none.map, std::vector<uint64_t>(nodes.size(), kDropped));
}

}  // namespace
}  // namespace trellan
