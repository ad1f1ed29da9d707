#include "param/param.hpp"

#include <gtest/gtest.h>

#include <bit>

namespace trellan {
namespace {

const double kSignedNan = std::bit_cast<double>(0xFFF8000000000000ULL);
const double kPayloadNan = std::bit_cast<double>(0x7FF0000000000001ULL);

ParamMap map(std::vector<ParamEntry> entries) { return ParamMap::make(std::move(entries)); }

struct EqualityCase {
  ParamMap a, b;
  bool equal;
};

// Maps built apart (never sharing an entry block): == and the digest that
// node hashing uses must agree.
TEST(ParamMap, EqualityAndDigestAgree) {
  const EqualityCase cases[] = {
      {map({{"k", ParamValue::Int(1)}}), map({{"k", ParamValue::Int(1)}}), true},
      {map({{"a", ParamValue::Int(1)}, {"b", ParamValue::Str("s")}}),
       map({{"b", ParamValue::Str("s")}, {"a", ParamValue::Int(1)}}), true},
      {map({{"k", ParamValue::Float(kSignedNan)}}), map({{"k", ParamValue::Float(kPayloadNan)}}), true},
      {map({{"k", ParamValue::Int(1)}}), map({{"k", ParamValue::Float(1.0)}}), false},
      {map({{"k", ParamValue::Float(0.0)}}), map({{"k", ParamValue::Float(-0.0)}}), false},
      {map({{"k", ParamValue::Int(1)}}), ParamMap(), false},
  };
  for (const EqualityCase& c : cases) {
    const std::string row = c.a.display() + " vs " + c.b.display();
    EXPECT_EQ(c.a == c.b, c.equal) << row;
    EXPECT_EQ(c.b == c.a, c.equal) << row;
    if (c.equal) EXPECT_EQ(c.a.digest(), c.b.digest()) << row;
  }
}

TEST(ParamValue, EveryNanIsOneValueButKeepsItsBits) {
  const ParamValue a = ParamValue::Float(kSignedNan), b = ParamValue::Float(kPayloadNan);
  EXPECT_EQ(a, b);
  std::string token;
  a.append_token(token);
  b.append_token(token);
  EXPECT_EQ(token, "f7ff8000000000000f7ff8000000000000");
  EXPECT_EQ(std::bit_cast<uint64_t>(a.as_float()), 0xFFF8000000000000ULL);
  EXPECT_EQ(std::bit_cast<uint64_t>(b.as_float()), 0x7FF0000000000001ULL);
}

}  // namespace
}  // namespace trellan
