// The algebraic rules of canonicalization, in one place for the rewrite
// engine and the incremental reducer: the binary ops whose operands commute,
// and the identity ops (an add of 0.0 or a mul by 1.0, the scalar on either
// side), each of which stands for its one input.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

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

// The operator texts of the identity ops in rule order: each op of
// kIdentityOps with its scalar on each side of kSides.
std::vector<std::string> identity_tokens();

// Whether an Op key's name and params are those of an identity op (its
// inputs are not looked at). Reads the key's parts; builds no text.
bool is_identity_op(const NodeKey& op);

// Whether an Op key is a commutative op with exactly two inputs and no params.
bool is_commutative_pair(const NodeKey& op);

}  // namespace trellan::rules
