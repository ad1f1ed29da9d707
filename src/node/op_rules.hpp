// The algebraic facts the rewrite rules rest on, kept with the IR model so
// that every layer reads them from one place: the binary ops whose operands
// commute, and the identity ops (an add of 0.0 or a mul by 1.0, the scalar on
// either side), each of which stands for its one input. The optimizer builds
// its rules from them.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "node/node_key.hpp"

namespace trellan::rules {

// Ops whose two operands may be swapped, in rule order. Only an op with no
// params is commuted.
inline constexpr std::array<std::string_view, 8> kCommutative = {"add",     "mul",    "and", "or", "eq", "ne",
                                                                 "maximum", "minimum"};

// An identity op: this name with params {scalar: the float unit, side: one of
// kSides} and exactly one input.
struct IdentityOp {
  std::string_view name;
  double unit;
};
inline constexpr std::array<IdentityOp, 2> kIdentityOps = {{{"add", 0.0}, {"mul", 1.0}}};
inline constexpr std::array<std::string_view, 2> kSides = {"r", "l"};

// Whether an op's name and params are those of an identity op (the input
// count is the caller's to check). Reads the parts; builds no text.
bool is_identity_op(std::string_view name, const ParamMap& params);
inline bool is_identity_op(const NodeKey& op) { return is_identity_op(op.name(), op.params()); }

// Whether an op with this name and params commutes when it has two inputs.
bool is_commutative(std::string_view name, const ParamMap& params);
// Whether an Op key is a commutative op with exactly two inputs and no params.
inline bool is_commutative_pair(const NodeKey& op) {
  return op.inputs().size() == 2 && is_commutative(op.name(), op.params());
}

}  // namespace trellan::rules
