// The rewrite rules' vocabulary: the algebraic facts of node/op_rules.hpp and
// the operator texts of the identity ops, from which the engine builds its
// rules.
#pragma once

#include <string>
#include <vector>

#include "node/op_rules.hpp"

namespace trellan::rules {

// The operator texts of the identity ops in rule order: each op of
// kIdentityOps with its scalar on each side of kSides.
std::vector<std::string> identity_tokens();

}  // namespace trellan::rules
