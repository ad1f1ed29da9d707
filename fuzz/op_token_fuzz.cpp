// parse_op_token on arbitrary text, and the token round trip.
//
// The first input byte picks the mode:
//  - even: the rest is text for parse_op_token. When it parses, the key
//    rebuilt from the result has a token that parses to the same triple,
//    and that token is a fixed point (token -> parse -> token).
//  - odd: the rest drives the fields of an Op or Reduction key (name, keys,
//    value types and payloads). Its token must parse back to exactly its
//    head, name and params, with float bits as written in the token.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "node/node_key.hpp"
#include "param/escape.hpp"

using namespace trellan;

namespace {

NodeKey key_of(const ParsedOpToken& p) {
  return p.head == "op" ? NodeKey::op(p.name, p.params, {}) : NodeKey::reduction(p.name, p.params, {});
}

// Entry by entry, with float bits compared exactly: a parsed float holds
// the bits its token spells, which are the canonical bits of the original.
void check_same_params(const ParamMap& original, const ParamMap& parsed) {
  auto a = original.entries();
  auto b = parsed.entries();
  FUZZ_CHECK(a.size() == b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    FUZZ_CHECK(a[i].first == b[i].first);
    FUZZ_CHECK(a[i].second.tag() == b[i].second.tag());
    FUZZ_CHECK(a[i].second == b[i].second);
    if (a[i].second.tag() == ParamValue::Tag::Float) {
      FUZZ_CHECK(std::bit_cast<uint64_t>(b[i].second.as_float()) ==
                 canonical_float_bits(a[i].second.as_float()));
    }
  }
}

void parse_text(std::string_view text) {
  auto parsed = parse_op_token(text);
  if (!parsed) return;
  FUZZ_CHECK(parsed->head == "op" || parsed->head == "red");
  std::string token = key_of(*parsed).token();
  auto again = parse_op_token(token);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(again->head == parsed->head);
  FUZZ_CHECK(again->name == parsed->name);
  check_same_params(parsed->params, again->params);
  FUZZ_CHECK(key_of(*again).token() == token);
}

ParamValue fuzzed_value(FuzzedDataProvider& fdp) {
  switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return ParamValue::Int(fdp.ConsumeIntegral<int64_t>());
    case 1: return ParamValue::Float(std::bit_cast<double>(fdp.ConsumeIntegral<uint64_t>()));
    case 2: return ParamValue::Bool(fdp.ConsumeBool());
    default: return ParamValue::Str(fdp.ConsumeRandomLengthString(64));
  }
}

void round_trip_fields(FuzzedDataProvider& fdp) {
  const bool is_op = fdp.ConsumeBool();
  std::string name = fdp.ConsumeRandomLengthString(64);
  FUZZ_CHECK(unescape_token(escape_token(name)) == name);
  std::vector<ParamEntry> entries;
  const int count = fdp.ConsumeIntegralInRange<int>(0, 8);
  for (int i = 0; i < count && fdp.remaining_bytes() > 0; ++i) {
    std::string key = fdp.ConsumeRandomLengthString(16);
    entries.emplace_back(std::move(key), fuzzed_value(fdp));
  }
  ParamMap params = ParamMap::make(std::move(entries));
  NodeKey key = is_op ? NodeKey::op(name, params, {}) : NodeKey::reduction(name, params, {});
  std::string token = key.token();

  auto parsed = parse_op_token(token);
  FUZZ_CHECK(parsed.has_value());
  FUZZ_CHECK(parsed->head == (is_op ? "op" : "red"));
  FUZZ_CHECK(parsed->name == name);
  check_same_params(params, parsed->params);
  FUZZ_CHECK(key_of(*parsed).token() == token);
  FUZZ_CHECK(key_of(*parsed) == key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    parse_text(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  } else {
    FuzzedDataProvider fdp(data + 1, size - 1);
    round_trip_fields(fdp);
  }
  return 0;
}
