#include "node/node_key.hpp"

#include <gtest/gtest.h>

namespace trellan::test {

PayloadDescriptor desc(std::optional<std::string> ref) {
  return PayloadDescriptor{"model", "abc", "torch", "2.1", "f32[3]", std::move(ref)};
}

TEST(NodeKey, EqualKeysHashAlikeAcrossKinds) {
  const auto hash = [k = HashKey::random()](const NodeKey& key) {
    KeyedHasher h(k);
    key.hash(h);
    return h.finish();
  };
  const std::vector<NodeKey> keys = {
      NodeKey::source("x", {}), NodeKey::op("x", {}, {}), NodeKey::reduction("x", {}, {}),
      NodeKey::external(desc(std::nullopt), {}, {}), NodeKey::external(desc(""), {}, {}),
      NodeKey::external(desc("-"), {}, {}), NodeKey::stage({}, {StageOp{"op|g", {StageRef::input(0)}}}),
      NodeKey::stage({}, {StageOp{"op|g", {StageRef::member(0)}}}), NodeKey::exchange({}, {}), NodeKey::join({}, {}),
      NodeKey::op("x", {}, {0, 1, 2, 3})};
  for (size_t i = 0; i < keys.size(); ++i) {
    const NodeKey copy = keys[i];
    EXPECT_EQ(copy, keys[i]);
    EXPECT_EQ(hash(copy), hash(keys[i]));
    for (size_t j = 0; j < keys.size(); ++j) {
      if (i != j) EXPECT_FALSE(keys[i] == keys[j]) << i << " vs " << j;
    }
  }
}

// A reduction puts the members of all its stages in one block. A stage cut
// from it equals (and hashes like) the same stage built on its own, and one
// taken into another graph keeps none of the block alive.
TEST(NodeKey, StagesSharingABlockCompareByMembersAndLetItGo) {
  const auto hash = [k = HashKey::random()](const NodeKey& key) {
    KeyedHasher h(k);
    key.hash(h);
    return h.finish();
  };
  const StageOp f{"op|f", {StageRef::input(0)}}, g{"op|g", {StageRef::member(0), StageRef::input(1)}};
  auto block = std::make_shared<std::vector<StageOp>>(std::vector<StageOp>{f, g, f});
  const std::weak_ptr<std::vector<StageOp>> watch = block;
  NodeKey both = NodeKey::stage({1, 2}, std::shared_ptr<const StageOp>(block, block->data()), 2);
  NodeKey last = NodeKey::stage({1, 2}, std::shared_ptr<const StageOp>(block, block->data() + 2), 1);
  block.reset();
  const NodeKey alone = NodeKey::stage({1, 2}, {f, g});
  EXPECT_EQ(both, alone);
  EXPECT_EQ(hash(both), hash(alone));
  EXPECT_FALSE(both == last);
  EXPECT_EQ(last, NodeKey::stage({1, 2}, {f}));

  const NodeKey moved = both.with_inputs({7, 8});
  both = NodeKey();
  last = NodeKey();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(moved, NodeKey::stage({7, 8}, {f, g}));
}

// A text, and the token of the key it parses to (null: it does not parse).
using P = std::pair<const char*, const char*>;
class ParseOpToken : public testing::TestWithParam<P> {};

TEST_P(ParseOpToken, AcceptsExactlyWellFormedTokens) {
  const auto [text, canonical] = GetParam();
  const auto parsed = parse_op_token(text);
  ASSERT_EQ(parsed.has_value(), canonical != nullptr) << text;
  if (!parsed) return;
  const NodeKey key = parsed->head == "op" ? NodeKey::op(parsed->name, parsed->params, {})
                                           : NodeKey::reduction(parsed->name, parsed->params, {});
  EXPECT_EQ(key.token(), canonical);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseOpToken,
    testing::Values(
        P{"red|r|k=i1", "red|r|k=i1"}, P{"op|", "op|"}, P{"op|a%7Cb", "op|a%7Cb"}, P{"op|f|", "op|f"},
        P{"op|f|k=f0", "op|f|k=f0000000000000000"}, P{"op|f|k=f3FF0000000000000", "op|f|k=f3ff0000000000000"},
        P{"op|f|k=f+3ff", "op|f|k=f00000000000003ff"}, P{"op|f|k=i+5", "op|f|k=i5"}, P{"op|f|k=i-5", "op|f|k=i-5"},
        P{"op|f|k=s", "op|f|k=s"}, P{"op|f|k=btrue;j=bfalse", "op|f|j=bfalse;k=btrue"},
        P{"op|f|b=i1;a=i2;a=i3", "op|f|a=i2;a=i3;b=i1"}, P{"op", nullptr}, P{"src|x", nullptr}, P{"exch", nullptr},
        P{"Op|x", nullptr}, P{"op|f|k", nullptr}, P{"op|f|k=i1|extra", nullptr}, P{"op|f|k=x1", nullptr},
        P{"op|f|k=i1;", nullptr}, P{"op|f|k=", nullptr}, P{"op|f|k=i", nullptr}, P{"op|f|k=i-", nullptr},
        P{"op|f|k=i+-1", nullptr}, P{"op|f|k=i1x", nullptr}, P{"op|f|k=i9223372036854775808", nullptr},
        P{"op|f|k=bTrue", nullptr}, P{"op|f|k=f", nullptr}, P{"op|f|k=f-1", nullptr}, P{"op|f|k=f+", nullptr},
        P{"op|f|k=fg", nullptr}, P{"op|f|k=f10000000000000000", nullptr}, P{"op|f|k=f0x1", nullptr}));

}  // namespace trellan::test
