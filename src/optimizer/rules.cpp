#include "optimizer/rules.hpp"

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

}  // namespace trellan::rules
