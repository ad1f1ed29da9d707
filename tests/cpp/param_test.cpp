#include "param/param.hpp"

#include <gtest/gtest.h>

#include <bit>

namespace trellan::test {

const double kSignedNan = std::bit_cast<double>(0xFFF8000000000000ULL);
const double kPayloadNan = std::bit_cast<double>(0x7FF0000000000001ULL);

ParamMap one(ParamValue v) { return ParamMap::make({{"k", std::move(v)}}); }

// Maps built apart (never sharing an entry block): == and the digest that
// node hashing uses must agree.
TEST(ParamMap, EqualityAndDigestAgree) {
  const std::tuple<ParamMap, ParamMap, bool> cases[] = {
      {one(ParamValue::Int(1)), one(ParamValue::Int(1)), true},
      {ParamMap::make({{"a", ParamValue::Int(1)}, {"b", ParamValue::Str("s")}}),
       ParamMap::make({{"b", ParamValue::Str("s")}, {"a", ParamValue::Int(1)}}), true},
      {one(ParamValue::Float(kSignedNan)), one(ParamValue::Float(kPayloadNan)), true},
      {one(ParamValue::Int(1)), one(ParamValue::Float(1.0)), false},
      {one(ParamValue::Float(0.0)), one(ParamValue::Float(-0.0)), false},
      {one(ParamValue::Int(1)), ParamMap(), false}};
  for (const auto& [a, b, equal] : cases) {
    EXPECT_EQ(a == b, equal) << a.display() << " vs " << b.display();
    EXPECT_EQ(b == a, equal) << a.display() << " vs " << b.display();
    if (equal) EXPECT_EQ(a.digest(), b.digest()) << a.display();
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

}  // namespace trellan::test
