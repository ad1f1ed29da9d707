#include "node/node_key.hpp"

#include <gtest/gtest.h>

namespace trellan {
namespace {

PayloadDescriptor desc(std::optional<std::string> ref) {
  return PayloadDescriptor{"model", "abc", "torch", "2.1", "f32[3]", std::move(ref)};
}

uint64_t hash_of(const NodeKey& key, const HashKey& k) {
  KeyedHasher h(k);
  key.hash(h);
  return h.finish();
}

TEST(NodeKey, EqualKeysHashAlikeAcrossKinds) {
  const HashKey k = HashKey::random();
  const std::vector<NodeKey> keys = {
      NodeKey::source("x", {}), NodeKey::op("x", {}, {}), NodeKey::reduction("x", {}, {}),
      NodeKey::external(desc(std::nullopt), {}, {}), NodeKey::external(desc(""), {}, {}),
      NodeKey::external(desc("-"), {}, {}), NodeKey::stage({}, {}), NodeKey::exchange({}, {}),
      NodeKey::join({}, {}), NodeKey::op("x", {}, {0, 1, 2, 3})};
  for (size_t i = 0; i < keys.size(); ++i) {
    const NodeKey copy = keys[i];
    EXPECT_EQ(copy, keys[i]);
    EXPECT_EQ(hash_of(copy, k), hash_of(keys[i], k));
    for (size_t j = 0; j < keys.size(); ++j) {
      if (i != j) EXPECT_FALSE(keys[i] == keys[j]) << i << " vs " << j;
    }
  }
}

struct ParseCase {
  const char* text;
  const char* canonical;  // the token of the parsed key; null: no parse
};
class ParseOpToken : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseOpToken, AcceptsExactlyWellFormedTokens) {
  const auto parsed = parse_op_token(GetParam().text);
  ASSERT_EQ(parsed.has_value(), GetParam().canonical != nullptr) << GetParam().text;
  if (!parsed) return;
  const NodeKey key = parsed->head == "op" ? NodeKey::op(parsed->name, parsed->params, {})
                                           : NodeKey::reduction(parsed->name, parsed->params, {});
  EXPECT_EQ(key.token(), GetParam().canonical);
}

using P = ParseCase;
INSTANTIATE_TEST_SUITE_P(
    Cases, ParseOpToken,
    testing::Values(
        P{"red|r|k=i1", "red|r|k=i1"}, P{"op|", "op|"}, P{"op|a%7Cb", "op|a%7Cb"}, P{"op|f|", "op|f"},
        P{"op|f|k=f0", "op|f|k=f0000000000000000"}, P{"op|f|k=f3FF0000000000000", "op|f|k=f3ff0000000000000"},
        P{"op|f|k=f+3ff", "op|f|k=f00000000000003ff"}, P{"op|f|k=i+5", "op|f|k=i5"}, P{"op|f|k=i-5", "op|f|k=i-5"},
        P{"op|f|k=s", "op|f|k=s"}, P{"op|f|k=btrue;j=bfalse", "op|f|j=bfalse;k=btrue"},
        P{"op|f|b=i1;a=i2;a=i3", "op|f|a=i2;a=i3;b=i1"}, P{"op", nullptr}, P{"src|x", nullptr}, P{"ext|a", nullptr},
        P{"stage|1", nullptr}, P{"exch", nullptr}, P{"join", nullptr}, P{"Op|x", nullptr}, P{"op|f|k", nullptr},
        P{"op|f|k=i1|extra", nullptr}, P{"op|f|k=x1", nullptr}, P{"op|f|k=i1;", nullptr}, P{"op|f|k=", nullptr},
        P{"op|f|k=i", nullptr}, P{"op|f|k=i-", nullptr}, P{"op|f|k=i+", nullptr}, P{"op|f|k=i+-1", nullptr},
        P{"op|f|k=i1x", nullptr}, P{"op|f|k=i9223372036854775808", nullptr}, P{"op|f|k=bTrue", nullptr},
        P{"op|f|k=f", nullptr}, P{"op|f|k=f-1", nullptr}, P{"op|f|k=f+", nullptr}, P{"op|f|k=fg", nullptr},
        P{"op|f|k=f10000000000000000", nullptr}, P{"op|f|k=f0x1", nullptr}));

}  // namespace
}  // namespace trellan
