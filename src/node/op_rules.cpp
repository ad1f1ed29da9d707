#include "node/op_rules.hpp"

#include <algorithm>

#include "param/param.hpp"

namespace trellan::rules {

// Params are sorted, "scalar" before "side", and a float compares by its
// canonical bits, as its text writes it.
bool is_identity_op(std::string_view name, const ParamMap& params) {
  const auto identity = std::ranges::find(kIdentityOps, name, &IdentityOp::name);
  if (identity == kIdentityOps.end()) return false;
  const auto entries = params.entries();
  if (entries.size() != 2 || entries[0].first != "scalar" || entries[1].first != "side") return false;
  const ParamValue& scalar = entries[0].second;
  const ParamValue& side = entries[1].second;
  return scalar.tag() == ParamValue::Tag::Float &&
         canonical_float_bits(scalar.as_float()) == canonical_float_bits(identity->unit) &&
         side.tag() == ParamValue::Tag::Str && std::ranges::find(kSides, side.as_str()) != kSides.end();
}

bool is_commutative(std::string_view name, const ParamMap& params) {
  return params.empty() && std::ranges::find(kCommutative, name) != kCommutative.end();
}

}  // namespace trellan::rules
