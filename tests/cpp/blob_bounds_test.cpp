// Deterministic bounds checks of the blob reader: every prefix, every
// single-byte corruption and every count field declared huge must end in a
// clean DecodeError, without a crash or a large allocation.
#include <gtest/gtest.h>

#include "blob_bytes.hpp"
#include "serialize/blob.hpp"
#include "serialize/reader.hpp"
#include "serialize/utf8.hpp"

namespace trellan {
namespace {

using testing::Bytes;
using Kind = DecodeError::Kind;

std::vector<uint8_t> rich_blob() {
  GraphStore s;
  auto id = [&](NodeKey k) { return s.intern(std::move(k)).value(); };
  NodeId x = id(NodeKey::source("x\xc3\xa9", ParamMap::make({{"n", ParamValue::Int(4)}})));
  NodeId a = id(NodeKey::op("add", ParamMap::make({{"scalar", ParamValue::Float(2.0)},
                                                   {"side", ParamValue::Str("r")},
                                                   {"on", ParamValue::Bool(true)}}), {x}));
  NodeId r = id(NodeKey::reduction("sum", ParamMap(), {a, x, a}));
  NodeId e = id(NodeKey::external({"m", "h", "fw", "1", "io", "p"}, ParamMap(), {r}));
  NodeId st = id(NodeKey::stage({x, e}, {StageOp{"op|f", {StageRef::input(1)}},
                                         StageOp{"op|g", {StageRef::member(0), StageRef::input(0)}}}));
  NodeId ex = id(NodeKey::exchange(ParamMap::make({{"k", ParamValue::Str("v")}}), {st}));
  NodeId j = id(NodeKey::join(ParamMap(), {ex, ex}));
  EXPECT_TRUE(s.mark_output(j).ok());
  EXPECT_TRUE(s.mark_output(a).ok());
  return serialize_with(s, s.outputs()).value();
}

TEST(BlobBounds, EveryPrefixIsTruncated) {
  const auto blob = rich_blob();
  ASSERT_TRUE(deserialize(blob).ok());
  for (size_t n = 0; n < blob.size(); ++n) {
    auto r = deserialize(std::span<const uint8_t>(blob.data(), n));
    ASSERT_FALSE(r.ok()) << n;
    EXPECT_EQ(r.error().kind, Kind::Truncated) << "prefix of " << n << " bytes";
  }
}

TEST(BlobBounds, EverySingleByteCorruptionEndsCleanly) {
  const auto blob = rich_blob();
  int failures = 0;
  for (size_t i = 0; i < blob.size(); ++i) {
    for (uint8_t v : {uint8_t(0x00), uint8_t(0xFF), uint8_t(blob[i] ^ 0x01), uint8_t(blob[i] ^ 0x80)}) {
      auto copy = blob;
      copy[i] = v;
      auto r = deserialize(copy);
      if (!r.ok()) {
        ++failures;
        EXPECT_FALSE(r.error().message().empty());
      }
    }
  }
  EXPECT_GT(failures, 0);
}

// Each count field of a short blob set to 2^32 - 1: the reader must run out of
// data and say so, not reserve for the declared count.
TEST(BlobBounds, HugeDeclaredCountsEndInTruncated) {
  const uint32_t huge = 0xFFFFFFFF;
  const std::vector<std::vector<uint8_t>> blobs = {
      Bytes().header(huge).u32(0),                                          // nodes
      Bytes().header(1).u8(0).u32(huge).raw("x"),                           // string length
      Bytes().header(1).u8(0).str("x").u32(huge).str("k").u8(2).u8(1),      // params
      Bytes().header(2).source("x").u8(1).str("f").u32(0).u32(huge).u64(0),  // inputs
      Bytes().header(1).u8(4).ids({}).u32(huge).str("op|f").u32(0),         // members
      Bytes().header(1).u8(4).ids({}).u32(1).str("op|f").u32(huge).u8(0).u32(0),  // references
      Bytes().header(1).source("x").u32(huge).u64(0),                       // outputs
  };
  for (size_t k = 0; k < blobs.size(); ++k) {
    auto r = deserialize(blobs[k]);
    ASSERT_FALSE(r.ok()) << k;
    EXPECT_EQ(r.error().kind, Kind::Truncated) << k;
  }
}

TEST(Reader, InputsCheckTheirBoundInListOrder) {
  const auto data = Bytes().raw("TIR1").u32(0).ids({0, 2, 3}).vec();
  EXPECT_TRUE(Reader(data, 8).inputs(4).ok());
  auto at_bound = Reader(data, 8).inputs(3);
  ASSERT_FALSE(at_bound.ok());
  EXPECT_EQ(at_bound.error().kind, Kind::BadNodeRef);
  EXPECT_EQ(at_bound.error().value, 3u);
  EXPECT_EQ(Reader(data, 8).inputs(2).error().value, 2u);  // the first offender

  // Ids present before the data ends are checked before truncation is reported.
  auto cut = Bytes().raw("TIR1").u32(0).u32(3).u64(1).u64(0).vec();
  EXPECT_EQ(Reader(cut, 8).inputs(1).error().kind, Kind::BadNodeRef);
  EXPECT_EQ(Reader(cut, 8).inputs(2).error().kind, Kind::Truncated);
  // A bound of zero admits only the empty list.
  EXPECT_TRUE(Reader(Bytes().raw("TIR1").u32(0).ids({}).vec(), 8).inputs(0).ok());
}

TEST(Reader, AnyNonZeroPresenceByteMeansPresent) {
  auto d = Reader(Bytes().raw("TIR1").u32(0).str("k").str("h").str("f").str("v").str("io")
                      .u8(7).str("").vec(), 8).descriptor();
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d.value().preprocessing_ref, std::optional<std::string>(""));
}

TEST(Utf8, StrictValidation) {
  auto ok = [](std::string_view s) {
    return valid_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  };
  EXPECT_TRUE(ok(""));
  EXPECT_TRUE(ok("plain ascii text, longer than eight bytes"));
  EXPECT_TRUE(ok("\xC2\x80"));              // U+0080
  EXPECT_TRUE(ok("\xE0\xA0\x80"));          // U+0800
  EXPECT_TRUE(ok("\xED\x9F\xBF"));          // U+D7FF
  EXPECT_TRUE(ok("\xEE\x80\x80"));          // U+E000
  EXPECT_TRUE(ok("\xF0\x90\x80\x80"));      // U+10000
  EXPECT_TRUE(ok("\xF4\x8F\xBF\xBF"));      // U+10FFFF
  EXPECT_TRUE(ok("1234567\xC3\xA9" "abcdefgh"));  // a sequence across an 8-byte block

  EXPECT_FALSE(ok("\x80"));                 // lone continuation
  EXPECT_FALSE(ok("\xC0\x80"));             // overlong NUL
  EXPECT_FALSE(ok("\xE0\x9F\xBF"));         // overlong 3-byte
  EXPECT_FALSE(ok("\xF0\x8F\xBF\xBF"));     // overlong 4-byte
  EXPECT_FALSE(ok("\xED\xA0\x80"));         // U+D800
  EXPECT_FALSE(ok("\xED\xBF\xBF"));         // U+DFFF
  EXPECT_FALSE(ok("\xF4\x90\x80\x80"));     // U+110000
  EXPECT_FALSE(ok("\xF5\x80\x80\x80"));
  EXPECT_FALSE(ok("\xE2\x82"));             // cut short
  EXPECT_FALSE(ok("1234567\xE2\x82"));
  EXPECT_FALSE(ok("\xF0\x90\x80\x7F"));
}

}  // namespace
}  // namespace trellan
