#include "optimizer/rules.hpp"

#include <algorithm>

#include "param/param.hpp"

namespace trellan::rules {

std::vector<std::string> identity_tokens() {
  std::vector<std::string> tokens;
  for (const IdentityOp& op : kIdentityOps) {
    for (std::string_view side : kSides) {
      ParamMap params = ParamMap::make({{"scalar", ParamValue::Float(op.unit)}, {"side", ParamValue::Str(std::string(side))}});
      tokens.push_back(NodeKey::op(op.name, std::move(params), {}).operator_text());
    }
  }
  return tokens;
}

// Params are sorted, "scalar" before "side", and a float compares by its
// canonical bits, as its text writes it.
bool is_identity_op(const NodeKey& op) {
  const auto identity = std::ranges::find(kIdentityOps, op.name(), &IdentityOp::name);
  if (identity == kIdentityOps.end()) return false;
  const auto entries = op.params().entries();
  if (entries.size() != 2 || entries[0].first != "scalar" || entries[1].first != "side") return false;
  const ParamValue& scalar = entries[0].second;
  const ParamValue& side = entries[1].second;
  return scalar.tag() == ParamValue::Tag::Float &&
         canonical_float_bits(scalar.as_float()) == canonical_float_bits(identity->unit) &&
         side.tag() == ParamValue::Tag::Str && std::ranges::find(kSides, side.as_str()) != kSides.end();
}

bool is_commutative_pair(const NodeKey& op) {
  return op.inputs().size() == 2 && op.params().empty() &&
         std::ranges::find(kCommutative, op.name()) != kCommutative.end();
}

}  // namespace trellan::rules
