#include "serialize/blob.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "blob_bytes.hpp"

namespace trellan {
namespace {

using testing::Bytes;
using Kind = DecodeError::Kind;

ParamMap params(std::vector<ParamEntry> entries) { return ParamMap::make(std::move(entries)); }

NodeId add(GraphStore& s, NodeKey key) {
  auto id = s.intern(std::move(key));
  EXPECT_TRUE(id.ok());
  return id.value();
}

std::vector<uint8_t> write(const GraphStore& s, std::vector<NodeId> outputs) {
  auto blob = serialize_with(s, outputs);
  EXPECT_TRUE(blob.ok());
  return blob.ok() ? blob.value() : std::vector<uint8_t>{};
}

std::vector<uint8_t> write_marked(const GraphStore& s) { return write(s, s.outputs()); }

std::unique_ptr<GraphStore> read(const std::vector<uint8_t>& blob) {
  auto store = deserialize(blob);
  EXPECT_TRUE(store.ok()) << (store.ok() ? "" : store.error().message());
  return store.ok() ? std::move(store).value() : nullptr;
}

DecodeError read_error(const std::vector<uint8_t>& blob) {
  auto store = deserialize(blob);
  EXPECT_FALSE(store.ok());
  return store.ok() ? DecodeError{} : store.error();
}

// One node of every kind, with params of every tag, a descriptor with and
// without preprocessing_ref, and a stage with both reference kinds.
std::unique_ptr<GraphStore> every_kind() {
  auto s = std::make_unique<GraphStore>();
  NodeId x = add(*s, NodeKey::source("x", params({{"rows", ParamValue::Int(3)}})));
  NodeId a = add(*s, NodeKey::op("add", params({{"side", ParamValue::Str("r")},
                                                {"scalar", ParamValue::Float(0.5)}}), {x}));
  NodeId r = add(*s, NodeKey::reduction("sum", params({{"axis", ParamValue::Int(-1)},
                                                       {"keep", ParamValue::Bool(true)}}), {a}));
  PayloadDescriptor with_ref{"model", "sha256:ab", "torch", "2.1", "f32[3]", "prep/1"};
  PayloadDescriptor without_ref{"model", "sha256:cd", "jax", "0.4", "", std::nullopt};
  NodeId e1 = add(*s, NodeKey::external(with_ref, ParamMap(), {r}));
  add(*s, NodeKey::external(without_ref, params({{"k", ParamValue::Str("v\xc3\xa9")}}), {x, x}));
  NodeId st = add(*s, NodeKey::stage({x, a}, {StageOp{"op|neg", {StageRef::input(0)}},
                                              StageOp{"op|add", {StageRef::member(0), StageRef::input(1)}}}));
  NodeId ex = add(*s, NodeKey::exchange(params({{"scheme", ParamValue::Str("hash")}}), {st}));
  NodeId j = add(*s, NodeKey::join(ParamMap(), {ex, e1}));
  add(*s, NodeKey::source(std::string(5000, 'n'), ParamMap()));  // larger than the writer guesses
  EXPECT_TRUE(s->mark_output(j).ok());
  EXPECT_TRUE(s->mark_output(r).ok());
  return s;
}

TEST(BlobWriter, EmptyStoreIsTwelveBytes) {
  GraphStore s;
  EXPECT_EQ(write(s, {}), (std::vector<uint8_t>{'T', 'I', 'R', '1', 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(BlobWriter, OneMarkedSourceIsThirtyBytes) {
  GraphStore s;
  add(s, NodeKey::source("x", ParamMap()));
  ASSERT_TRUE(s.mark_output(0).ok());
  const std::vector<uint8_t> expected = {0x54, 0x49, 0x52, 0x31, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01,
                                         0x00, 0x00, 0x00, 0x78, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00,
                                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(write_marked(s), expected);
}

TEST(BlobWriter, RecordsFollowTheFieldLayout) {
  GraphStore s;
  // A NaN with sign and payload is written as held, not canonicalized.
  const double odd_nan = std::bit_cast<double>(0xFFF0000000000123ULL);
  add(s, NodeKey::source("s", ParamMap()));
  add(s, NodeKey::op("f", params({{"i", ParamValue::Int(-2)}, {"n", ParamValue::Float(odd_nan)},
                                  {"b", ParamValue::Bool(true)}, {"t", ParamValue::Str("")}}),
                     {0, 0}));
  add(s, NodeKey::external({"k", "h", "fw", "v", "io", std::nullopt}, ParamMap(), {1}));
  add(s, NodeKey::external({"k", "h", "fw", "v", "io", ""}, ParamMap(), {}));
  add(s, NodeKey::stage({2}, {StageOp{"op|g", {StageRef::input(0)}},
                              StageOp{"op|h", {StageRef::member(0), StageRef::input(7)}}}));
  add(s, NodeKey::exchange(ParamMap(), {4}));
  add(s, NodeKey::join(params({{"how", ParamValue::Str("inner")}}), {5, 3}));

  Bytes b;
  b.header(7).source("s");
  b.u8(1).str("f").u32(4);  // params in key order: b, i, n, t
  b.str("b").u8(2).u8(1);
  b.str("i").u8(0).u64(uint64_t(-2));
  b.str("n").u8(1).u64(0xFFF0000000000123ULL);
  b.str("t").u8(3).str("");
  b.ids({0, 0});
  b.u8(3).str("k").str("h").str("fw").str("v").str("io").u8(0).u32(0).ids({1});
  b.u8(3).str("k").str("h").str("fw").str("v").str("io").u8(1).str("").u32(0).ids({});
  b.u8(4).ids({2}).u32(2);
  b.str("op|g").u32(1).u8(0).u32(0);
  b.str("op|h").u32(2).u8(1).u32(0).u8(0).u32(7);
  b.u8(5).u32(0).ids({4});
  b.u8(6).u32(1).str("how").u8(3).str("inner").ids({5, 3});
  b.outputs({6, 6, 0});
  EXPECT_EQ(write(s, {6, 6, 0}), b.vec());

  auto back = read(b);
  ASSERT_TRUE(back);
  const ParamValue& nan = back->snapshot().nodes[1].params().entries()[2].second;
  EXPECT_EQ(std::bit_cast<uint64_t>(nan.as_float()), 0xFFF0000000000123ULL);
}

TEST(BlobWriter, ReferenceValueBeyond32BitsIsRefused) {
  GraphStore s;
  add(s, NodeKey::source("x", ParamMap()));
  add(s, NodeKey::stage({0}, {StageOp{"op|g", {StageRef::input(0xFFFFFFFFULL)}}}));
  EXPECT_TRUE(serialize_with(s, {}).ok());
  add(s, NodeKey::stage({0}, {StageOp{"op|g", {StageRef::input(1ULL << 32)}}}));
  auto blob = serialize_with(s, {});
  ASSERT_FALSE(blob.ok());
  EXPECT_EQ(blob.error().message(),
            "cannot write trellan IR blob: stage reference value 4294967296 in node 2 does not fit "
            "in a 32-bit field");
}

TEST(BlobRoundTrip, EveryKindKeepsIdsAndBytes) {
  auto s = every_kind();
  const auto blob = write_marked(*s);
  auto back = read(blob);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->snapshot().nodes, s->snapshot().nodes);
  EXPECT_EQ(back->outputs(), s->outputs());
  EXPECT_TRUE(back->node_map().empty());
  EXPECT_EQ(write_marked(*back), blob);
}

TEST(BlobRoundTrip, OutputsAreWrittenInOrderAndLoadedOnce) {
  GraphStore s;
  for (const char* n : {"a", "b", "c"}) add(s, NodeKey::source(n, ParamMap()));
  const auto blob = write(s, {2, 0, 2});
  const auto tail = Bytes().outputs({2, 0, 2}).vec();
  ASSERT_GE(blob.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), blob.end() - tail.size()));
  EXPECT_TRUE(s.outputs().empty());  // the store's own marks are not read or changed

  auto back = read(blob);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->outputs(), (std::vector<NodeId>{2, 0}));
  EXPECT_EQ(write_marked(*back).size(), blob.size() - 8);
}

TEST(BlobReader, TrailingBytesAreIgnored) {
  auto blob = Bytes().header(1).source("x").outputs({0}).vec();
  auto with_tail = blob;
  with_tail.insert(with_tail.end(), {0xFF, 0x00, 0x07});
  auto back = read(with_tail);
  ASSERT_TRUE(back);
  EXPECT_EQ(write_marked(*back), blob);
}

TEST(BlobReader, ParamsAreSortedAndBoolBytesNormalized) {
  // Keys out of order, one key twice, Bool bytes 2 and 255.
  Bytes given;
  given.header(1).u8(0).str("x").u32(4);
  given.str("z").u8(2).u8(2).str("b").u8(2).u8(255).str("a").u8(2).u8(0).str("b").u8(0).u64(7);
  given.outputs({});
  Bytes sorted;
  sorted.header(1).u8(0).str("x").u32(4);
  sorted.str("a").u8(2).u8(0).str("b").u8(2).u8(1).str("b").u8(0).u64(7).str("z").u8(2).u8(1);
  sorted.outputs({});
  auto back = read(given);
  ASSERT_TRUE(back);
  EXPECT_EQ(write_marked(*back), sorted.vec());
}

TEST(BlobReader, HeaderErrors) {
  const std::vector<uint8_t> magic = {'T', 'I', 'R', '1'};
  for (size_t n = 0; n < 4; ++n) {
    EXPECT_EQ(read_error(std::vector<uint8_t>(magic.begin(), magic.begin() + n)).kind,
              Kind::Truncated) << n;
  }
  for (size_t n = 4; n < 8; ++n) {
    auto blob = Bytes().raw("TIR1").vec();
    blob.resize(n, 0);
    EXPECT_EQ(read_error(blob).message(), "truncated trellan IR blob") << n;
  }
  // Bad magic wins over a header too short for the count.
  EXPECT_EQ(read_error(Bytes().raw("XXXX").vec()).message(),
            "not a trellan IR blob (bad magic/version)");
  EXPECT_EQ(read_error(Bytes().raw("TIR2").u32(0).u32(0).vec()).kind, Kind::BadMagic);
  EXPECT_EQ(read_error(Bytes().raw("TIR").vec()).kind, Kind::Truncated);
}

TEST(BlobReader, TagErrorsNameTheirRecord) {
  EXPECT_EQ(read_error(Bytes().header(1).u8(7).vec()).message(), "invalid node tag 7");
  EXPECT_EQ(read_error(Bytes().header(1).u8(255).vec()).message(), "invalid node tag 255");
  EXPECT_EQ(read_error(Bytes().header(1).u8(0).str("x").u32(1).str("k").u8(4).vec()).message(),
            "invalid param tag 4");
  auto stage = Bytes().header(2).source("x").u8(4).ids({0}).u32(1).str("op|g").u32(1);
  EXPECT_EQ(read_error(stage.u8(2).u32(0).outputs({}).vec()).message(), "invalid stage-ref tag 2");
}

TEST(BlobReader, InvalidUtf8InAnyString) {
  const std::string bad = "\xFF";
  const std::string msg = "invalid utf-8 in trellan IR blob";
  EXPECT_EQ(read_error(Bytes().header(1).source(bad).outputs({}).vec()).message(), msg);
  // a Str value, a preprocessing_ref, a stage member token
  EXPECT_EQ(read_error(Bytes().header(1).u8(0).str("x").u32(1).str("k").u8(3).str(bad).vec()).kind,
            Kind::InvalidUtf8);
  EXPECT_EQ(read_error(Bytes().header(1).u8(3).str("k").str("h").str("f").str("v").str("io")
                           .u8(1).str(bad).vec()).kind,
            Kind::InvalidUtf8);
  EXPECT_EQ(read_error(Bytes().header(1).u8(4).ids({}).u32(1).str(bad).vec()).kind,
            Kind::InvalidUtf8);
}

TEST(BlobReader, NodeReferencesMustPointBackward) {
  auto self = Bytes().header(2).source("x").op("f", {1}).outputs({}).vec();
  EXPECT_EQ(read_error(self).message(), "node reference 1 out of range");
  auto later = Bytes().header(3).source("x").op("f", {0, 5}).source("y").outputs({}).vec();
  EXPECT_EQ(read_error(later).message(), "node reference 5 out of range");
  auto output = Bytes().header(1).source("x").outputs({0, 1}).vec();
  EXPECT_EQ(read_error(output).message(), "node reference 1 out of range");

  // Member references name earlier members only; input slots are not checked.
  auto member_self = Bytes().header(1).u8(4).ids({}).u32(2).str("op|a").u32(0).str("op|b").u32(1);
  EXPECT_EQ(read_error(member_self.u8(1).u32(1).outputs({}).vec()).message(),
            "node reference 1 out of range");
  auto slots = Bytes().header(1).u8(4).ids({}).u32(2).str("op|a").u32(1).u8(0).u32(0xFFFFFFFF);
  slots.str("op|b").u32(1).u8(1).u32(0).outputs({0});
  auto back = read(slots);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->snapshot().nodes[0].members()[0].inputs[0], StageRef::input(0xFFFFFFFF));
}

TEST(BlobReader, FirstErrorInReadingOrderWins) {
  // An out-of-range input before the data runs out beats truncation.
  EXPECT_EQ(read_error(Bytes().header(1).u8(1).str("f").u32(0).u32(2).u64(9).vec()).kind,
            Kind::BadNodeRef);
  // A bad param tag beats a later bad string.
  EXPECT_EQ(read_error(Bytes().header(1).u8(0).str("x").u32(2).str("k").u8(9).str("\xFF").vec()).kind,
            Kind::BadTag);
  // A bad string beats a later bad node tag.
  EXPECT_EQ(read_error(Bytes().header(2).source("\xC0\x80").u8(9).vec()).kind, Kind::InvalidUtf8);
  // A bad record stops decoding before the output list is looked at.
  EXPECT_EQ(read_error(Bytes().header(1).u8(8).vec()).kind, Kind::BadTag);
}

}  // namespace
}  // namespace trellan
