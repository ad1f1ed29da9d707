#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "param/escape.hpp"
#include "param/param.hpp"

using namespace trellan;

namespace {
uint64_t hash_of(const ParamMap& m, const HashKey& k) {
  KeyedHasher h(k);
  m.hash(h);
  return h.finish();
}
ParamMap one(std::string key, ParamValue v) {
  std::vector<ParamEntry> e;
  e.emplace_back(std::move(key), std::move(v));
  return ParamMap::make(std::move(e));
}
}  // namespace

TEST(Escape, RoundTripsAndEscapesSeparators) {
  for (std::string s : {"", "plain", "a=b", "%3D", "a|b;c=d%e", "%%%", "%7C|", "x y\n\xc3\xa9"}) {
    EXPECT_EQ(unescape_token(escape_token(s)), s) << s;
  }
  EXPECT_EQ(escape_token("a=b"), "a%3Db");
  EXPECT_EQ(escape_token("a%3D"), "a%253D");
  EXPECT_EQ(unescape_token("a%253D"), "a%3D");
  EXPECT_EQ(escape_token("%;=|"), "%25%3B%3D%7C");
}

TEST(ParamValueToken, PerVariant) {
  EXPECT_EQ(ParamValue::Int(42).token(), "i42");
  EXPECT_EQ(ParamValue::Int(-7).token(), "i-7");
  EXPECT_EQ(ParamValue::Int(std::numeric_limits<int64_t>::min()).token(), "i-9223372036854775808");
  EXPECT_EQ(ParamValue::Int(std::numeric_limits<int64_t>::max()).token(), "i9223372036854775807");
  EXPECT_EQ(ParamValue::Float(1.0).token(), "f3ff0000000000000");
  EXPECT_EQ(ParamValue::Float(0.0).token(), "f0000000000000000");
  EXPECT_EQ(ParamValue::Float(-0.0).token(), "f8000000000000000");
  EXPECT_EQ(ParamValue::Bool(true).token(), "btrue");
  EXPECT_EQ(ParamValue::Bool(false).token(), "bfalse");
  EXPECT_EQ(ParamValue::Str("r").token(), "sr");
  EXPECT_EQ(ParamValue::Str("").token(), "s");
  EXPECT_EQ(ParamValue::Str("a=b").token(), "sa%3Db");
}

TEST(ParamValue, EveryNanIsOneValueButKeepsItsBits) {
  double signed_nan = std::bit_cast<double>(0xFFF8000000000000ULL);
  double payload_nan = std::bit_cast<double>(0x7FF0000000000001ULL);
  ParamValue a = ParamValue::Float(signed_nan), b = ParamValue::Float(payload_nan);
  EXPECT_EQ(a.token(), "f7ff8000000000000");
  EXPECT_EQ(b.token(), "f7ff8000000000000");
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::bit_cast<uint64_t>(a.as_float()), 0xFFF8000000000000ULL);
  HashKey k = HashKey::random();
  EXPECT_EQ(hash_of(one("k", a), k), hash_of(one("k", b), k));
  EXPECT_FALSE(ParamValue::Float(0.0) == ParamValue::Float(-0.0));
  EXPECT_FALSE(ParamValue::Int(1) == ParamValue::Float(1.0));
}

TEST(ParamMap, SortsByKeyBytesStablyAndKeepsRepeats) {
  std::vector<ParamEntry> e;
  e.emplace_back("b", ParamValue::Int(1));
  e.emplace_back("a", ParamValue::Int(2));
  e.emplace_back("B", ParamValue::Int(3));
  e.emplace_back("aa", ParamValue::Int(4));
  e.emplace_back("a", ParamValue::Int(5));
  e.emplace_back("\xc3\xa9", ParamValue::Int(6));
  ParamMap m = ParamMap::make(e);
  std::vector<std::string> keys;
  for (auto& [k, v] : m.entries()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "a", "aa", "b", "\xc3\xa9"}));
  EXPECT_EQ(m.entries()[1].second.as_int(), 2);
  EXPECT_EQ(m.entries()[2].second.as_int(), 5);
  EXPECT_EQ(m.token(), "B=i3;a=i2;a=i5;aa=i4;b=i1;\xc3\xa9=i6");
}

TEST(ParamMap, TokenAndDisplay) {
  std::vector<ParamEntry> e;
  e.emplace_back("side", ParamValue::Str("r"));
  e.emplace_back("scalar", ParamValue::Float(0.0));
  ParamMap m = ParamMap::make(e);
  EXPECT_EQ(m.token(), "scalar=f0000000000000000;side=sr");
  EXPECT_EQ(m.display(), "{scalar=0, side=\"r\"}");
  EXPECT_EQ(ParamMap().token(), "");
  EXPECT_EQ(ParamMap().display(), "{}");
  EXPECT_EQ(one("key", ParamValue::Str("")).token(), "key=s");
}

TEST(ParamMap, EqualityAndHashAgree) {
  HashKey k = HashKey::random();
  ParamMap a = one("k", ParamValue::Int(1));
  ParamMap b = one("k", ParamValue::Int(1));
  ParamMap c = one("k", ParamValue::Float(1.0));
  EXPECT_EQ(a, b);
  EXPECT_EQ(hash_of(a, k), hash_of(b, k));
  EXPECT_FALSE(a == c);
  EXPECT_FALSE(a == ParamMap());
}

struct DisplayCase {
  double v;
  const char* text;
};
class FloatDisplay : public ::testing::TestWithParam<DisplayCase> {};
TEST_P(FloatDisplay, ShortestWithoutExponent) {
  EXPECT_EQ(display_float(GetParam().v), GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(
    Values, FloatDisplay,
    ::testing::Values(DisplayCase{1.0, "1"}, DisplayCase{0.5, "0.5"}, DisplayCase{0.1, "0.1"},
                      DisplayCase{-2.25, "-2.25"}, DisplayCase{1e21, "1000000000000000000000"},
                      DisplayCase{1e-7, "0.0000001"}, DisplayCase{-0.0, "-0"},
                      DisplayCase{1.2345678901234568e20, "123456789012345680000"},
                      DisplayCase{123.456, "123.456"}, DisplayCase{5e-324, "0.000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000005"},
                      DisplayCase{std::numeric_limits<double>::infinity(), "inf"},
                      DisplayCase{-std::numeric_limits<double>::infinity(), "-inf"},
                      DisplayCase{std::nan(""), "NaN"}));

TEST(StrDisplay, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(display_str("r"), "\"r\"");
  EXPECT_EQ(display_str("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(display_str(std::string("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
  EXPECT_EQ(display_str("\x01\x7f"), "\"\\u{1}\\u{7f}\"");
  EXPECT_EQ(display_str("it's \xc3\xa9"), "\"it's \xc3\xa9\"");
}
