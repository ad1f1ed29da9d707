#include "optimizer/mod/dead_code.hpp"

#include <gtest/gtest.h>

#include "common/panic.hpp"
#include "reduce_fixtures.hpp"

namespace trellan {
namespace {

using namespace reduce_testing;

// 0 src a, 1 src b, 2 f(a), 3 g(b) (dead), 4 h(f, a), 5 k(b) (dead)
std::vector<NodeKey> mixed_graph() {
  return {src("a"), src("b"), op("f", {0}), op("g", {1}), op("h", {2, 0}), op("k", {1})};
}

TEST(DeadCode, KeepsExactlyTheNodesThatReachAnOutputInIdOrder) {
  auto nodes = mixed_graph();
  std::vector<uint64_t> outputs{4};
  DeadCode dead = dead_code_elimination(nodes, outputs);
  EXPECT_EQ(dead.kept, (std::vector<uint64_t>{0, 2, 4}));
  EXPECT_EQ(dead.map, (std::vector<uint64_t>{0, kDropped, 1, kDropped, 2, kDropped}));
  EXPECT_EQ(dead.outputs, (std::vector<uint64_t>{2}));
}

TEST(DeadCode, OutputsKeepTheirOrderAndRepeats) {
  auto nodes = mixed_graph();
  std::vector<uint64_t> outputs{5, 2, 5};
  DeadCode dead = dead_code_elimination(nodes, outputs);
  EXPECT_EQ(dead.kept, (std::vector<uint64_t>{0, 1, 2, 5}));
  EXPECT_EQ(dead.outputs, (std::vector<uint64_t>{3, 2, 3}));
}

TEST(DeadCode, NoOutputsKeepNothing) {
  auto nodes = mixed_graph();
  DeadCode dead = dead_code_elimination(nodes, {});
  EXPECT_TRUE(dead.kept.empty());
  EXPECT_TRUE(dead.outputs.empty());
  EXPECT_EQ(dead.map, std::vector<uint64_t>(nodes.size(), kDropped));
}

TEST(DeadCode, SharedInputsAndRepeatedInputsAreKeptOnce) {
  // 0 src, 1 mul(0, 0), 2 add(1, 0), 3 add(2, 1)
  std::vector<NodeKey> nodes{src("x"), op("mul", {0, 0}), op("add", {1, 0}), op("add", {2, 1})};
  std::vector<uint64_t> outputs{3, 3};
  DeadCode dead = dead_code_elimination(nodes, outputs);
  EXPECT_EQ(dead.kept, (std::vector<uint64_t>{0, 1, 2, 3}));
  EXPECT_EQ(dead.outputs, (std::vector<uint64_t>{3, 3}));
}

TEST(DeadCode, MillionNodeChainNeedsNoCallStack) {
  std::vector<NodeKey> nodes;
  const uint64_t n = 1'000'000;
  nodes.reserve(n);
  nodes.push_back(src("x"));
  for (uint64_t i = 1; i < n; ++i) nodes.push_back(op("exp", {i - 1}));
  std::vector<uint64_t> outputs{n - 1};
  DeadCode dead = dead_code_elimination(nodes, outputs);
  EXPECT_EQ(dead.kept.size(), n);
  EXPECT_EQ(dead.outputs, (std::vector<uint64_t>{n - 1}));
}

TEST(DeadCode, OutputBeyondTheNodesIsFatal) {
  auto nodes = mixed_graph();
  std::vector<uint64_t> outputs{6};
  EXPECT_THROW(dead_code_elimination(nodes, outputs), Panic);
}

}  // namespace
}  // namespace trellan
