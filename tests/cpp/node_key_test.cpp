#include <gtest/gtest.h>

#include <bit>

#include "node/node_key.hpp"

using namespace trellan;

namespace {
ParamMap params(std::vector<ParamEntry> e) { return ParamMap::make(std::move(e)); }
ParamMap add_scalar(double v, const char* side) {
  std::vector<ParamEntry> e;
  e.emplace_back("scalar", ParamValue::Float(v));
  e.emplace_back("side", ParamValue::Str(side));
  return params(std::move(e));
}
PayloadDescriptor desc(std::optional<std::string> pref) {
  return PayloadDescriptor{"model", "abc", "torch", "2.1", "f32[3]", std::move(pref)};
}
uint64_t hash_of(const NodeKey& key, const HashKey& k) {
  KeyedHasher h(k);
  key.hash(h);
  return h.finish();
}
}  // namespace

TEST(NodeKeyToken, PerVariant) {
  EXPECT_EQ(NodeKey::source("x", {}).token(), "src|x");
  EXPECT_EQ(NodeKey::op("add", add_scalar(0.0, "r"), {0}).token(),
            "op|add|scalar=f0000000000000000;side=sr");
  EXPECT_EQ(NodeKey::op("a|b", {}, {}).token(), "op|a%7Cb");
  EXPECT_EQ(NodeKey::reduction("sum", {}, {0}).token(), "red|sum");
  EXPECT_EQ(NodeKey::exchange({}, {0}).token(), "exch");
  EXPECT_EQ(NodeKey::join({}, {0, 1}).token(), "join");
  EXPECT_EQ(NodeKey::external(desc(std::nullopt), {}, {}).token(), "ext|model|abc|torch|2.1|f32[3]|-");
  EXPECT_EQ(NodeKey::external(desc(""), {}, {}).token(), "ext|model|abc|torch|2.1|f32[3]|");
  std::vector<StageOp> members(3, StageOp{"op|neg", {StageRef::input(0)}});
  EXPECT_EQ(NodeKey::stage({0}, members).token(), "stage|3");
}

TEST(NodeKeyLabel, PerVariant) {
  EXPECT_EQ(NodeKey::source("x", {}).label(), "Source x");
  EXPECT_EQ(NodeKey::op("add", add_scalar(1.0, "r"), {0}).label(), "Op add {scalar=1, side=\"r\"}");
  EXPECT_EQ(NodeKey::op("a|b", {}, {}).label(), "Op a|b");
  EXPECT_EQ(NodeKey::reduction("sum", {}, {0}).label(), "Reduction sum");
  EXPECT_EQ(NodeKey::exchange({}, {0}).label(), "Exchange");
  EXPECT_EQ(NodeKey::join({}, {0}).label(), "Join");
  EXPECT_EQ(NodeKey::external(desc(std::nullopt), {}, {}).label(), "External model:abc [torch 2.1]");
  std::vector<ParamEntry> e;
  e.emplace_back("scheme", ParamValue::Str("hash"));
  EXPECT_EQ(NodeKey::exchange(params(e), {0}).label(), "Exchange {scheme=\"hash\"}");
  EXPECT_EQ(NodeKey::stage({0}, {StageOp{"op|neg", {}}}).label(), "Stage[1 members]");
}

TEST(NodeKey, InputOrderMattersForKeyNotToken) {
  NodeKey a = NodeKey::op("sub", {}, {1, 2}), b = NodeKey::op("sub", {}, {2, 1});
  EXPECT_FALSE(a == b);
  EXPECT_EQ(a.token(), b.token());
}

TEST(NodeKey, EqualKeysHashAlikeAcrossKinds) {
  HashKey k = HashKey::random();
  std::vector<NodeKey> keys = {
      NodeKey::source("x", {}), NodeKey::op("x", {}, {}), NodeKey::reduction("x", {}, {}),
      NodeKey::external(desc(std::nullopt), {}, {}), NodeKey::external(desc(""), {}, {}),
      NodeKey::external(desc("-"), {}, {}), NodeKey::stage({}, {}), NodeKey::exchange({}, {}),
      NodeKey::join({}, {}), NodeKey::op("x", {}, {0, 1, 2, 3})};
  for (size_t i = 0; i < keys.size(); ++i) {
    NodeKey copy = keys[i];
    EXPECT_EQ(copy, keys[i]);
    EXPECT_EQ(hash_of(copy, k), hash_of(keys[i], k));
    for (size_t j = 0; j < keys.size(); ++j) {
      if (i != j) EXPECT_FALSE(keys[i] == keys[j]) << i << " vs " << j;
    }
  }
}

TEST(NodeKey, WithInputsKeepsEverythingElse) {
  std::vector<StageOp> members = {StageOp{"op|neg", {StageRef::input(0)}}};
  NodeKey s = NodeKey::stage({0}, members).with_inputs({5});
  EXPECT_EQ(s.members(), members);
  EXPECT_EQ(std::vector<NodeId>(s.inputs().begin(), s.inputs().end()), std::vector<NodeId>{5});
  NodeKey src = NodeKey::source("x", {});
  EXPECT_EQ(src.with_inputs({1, 2}), src);
  NodeKey big = NodeKey::op("f", {}, {1, 2, 3, 4}).with_inputs({9, 8, 7});
  EXPECT_EQ(big, NodeKey::op("f", {}, {9, 8, 7}));
}

TEST(OperatorText, InjectiveWhereTokensCollide) {
  PayloadDescriptor a{"a|b", "c", "f", "v", "io", std::nullopt};
  PayloadDescriptor b{"a", "b|c", "f", "v", "io", std::nullopt};
  NodeKey ea = NodeKey::external(a, {}, {0}), eb = NodeKey::external(b, {}, {0});
  EXPECT_EQ(ea.token(), eb.token());
  EXPECT_NE(ea.operator_text(), eb.operator_text());
  NodeKey absent = NodeKey::external(desc(std::nullopt), {}, {});
  NodeKey dash = NodeKey::external(desc("-"), {}, {});
  EXPECT_EQ(absent.token(), dash.token());
  EXPECT_NE(absent.operator_text(), dash.operator_text());
  NodeKey s1 = NodeKey::stage({0}, {StageOp{"op|neg", {StageRef::input(0)}}});
  NodeKey s2 = NodeKey::stage({0}, {StageOp{"op|abs", {StageRef::input(0)}}});
  EXPECT_EQ(s1.token(), s2.token());
  EXPECT_NE(s1.operator_text(), s2.operator_text());
  NodeKey o = NodeKey::op("add", add_scalar(0.0, "r"), {0});
  EXPECT_EQ(o.operator_text(), o.token());
}

struct ParseCase {
  const char* text;
  bool ok;
};
class ParseOpToken : public ::testing::TestWithParam<ParseCase> {};
TEST_P(ParseOpToken, AcceptsExactlyWellFormedTokens) {
  EXPECT_EQ(parse_op_token(GetParam().text).has_value(), GetParam().ok) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(
    Cases, ParseOpToken,
    ::testing::Values(ParseCase{"red|r|k=i1", true}, ParseCase{"op|", true}, ParseCase{"op|add", true},
                      ParseCase{"op|f|", true}, ParseCase{"op|f|k=f0", true},
                      ParseCase{"op|f|k=f+3ff", true}, ParseCase{"op|f|k=i+5", true},
                      ParseCase{"op|f|k=i-5", true}, ParseCase{"op|f|k=s", true},
                      ParseCase{"op|f|k=btrue;j=bfalse", true}, ParseCase{"op", false},
                      ParseCase{"src|x", false}, ParseCase{"ext|a", false}, ParseCase{"stage|1", false},
                      ParseCase{"exch", false}, ParseCase{"join", false}, ParseCase{"Op|x", false},
                      ParseCase{"op|f|k", false}, ParseCase{"op|f|k=x1", false},
                      ParseCase{"op|f|k=i1;", false}, ParseCase{"op|f|k=", false},
                      ParseCase{"op|f|k=i", false}, ParseCase{"op|f|k=i-", false},
                      ParseCase{"op|f|k=i+", false}, ParseCase{"op|f|k=i+-1", false},
                      ParseCase{"op|f|k=i1x", false}, ParseCase{"op|f|k=i9223372036854775808", false},
                      ParseCase{"op|f|k=bTrue", false}, ParseCase{"op|f|k=f", false},
                      ParseCase{"op|f|k=f-1", false}, ParseCase{"op|f|k=f+", false},
                      ParseCase{"op|f|k=fg", false}, ParseCase{"op|f|k=f10000000000000000", false},
                      ParseCase{"op|f|k=f0x1", false}));

TEST(ParseOpToken, ReadsFieldsBack) {
  auto p = parse_op_token("red|r|k=i1");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->head, "red");
  EXPECT_EQ(p->name, "r");
  ASSERT_EQ(p->params.size(), 1u);
  EXPECT_EQ(p->params.entries()[0].second, ParamValue::Int(1));
  auto f = parse_op_token("op|f|k=f3FF0000000000000");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->params.entries()[0].second.as_float(), 1.0);
  auto esc = parse_op_token("op|a%7Cb|x=i1|extra");  // the rest keeps its "|"
  EXPECT_FALSE(esc);
  auto name = parse_op_token("op|a%7Cb");
  ASSERT_TRUE(name);
  EXPECT_EQ(name->name, "a|b");
  auto sorted = parse_op_token("op|f|b=i1;a=i2;a=i3");
  ASSERT_TRUE(sorted);
  EXPECT_EQ(sorted->params.token(), "a=i2;a=i3;b=i1");
}

TEST(ParseOpToken, RoundTripsEveryOpAndReductionKey) {
  std::vector<ParamEntry> e;
  e.emplace_back("s;=|%", ParamValue::Str("v;=|%3D"));
  e.emplace_back("i", ParamValue::Int(-3));
  e.emplace_back("f", ParamValue::Float(-0.0));
  e.emplace_back("b", ParamValue::Bool(true));
  e.emplace_back("nan", ParamValue::Float(std::bit_cast<double>(0xFFF0000000000001ULL)));
  for (NodeKey key : {NodeKey::op("we|ird;=%", params(e), {0}), NodeKey::reduction("", {}, {})}) {
    auto p = parse_op_token(key.token());
    ASSERT_TRUE(p) << key.token();
    EXPECT_EQ(p->head, key.is_op() ? "op" : "red");
    EXPECT_EQ(p->name, key.name());
    EXPECT_EQ(p->params, key.params());
  }
}
