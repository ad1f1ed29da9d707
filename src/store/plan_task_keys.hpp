// Task keys (task_keys.hpp) of a plan's steps, computed from the plan itself:
// its steps are the needed nodes in run order and their inputs are step
// indices, so no node is looked up by id, and a step that is not a stage
// hashes its operator once per plan operator, from the plan's tables. Only a
// stage's operator is encoded from its node, whose member tokens it spells.
#pragma once

#include <span>
#include <vector>

#include "node/node_key.hpp"
#include "store/digest_hash.hpp"
#include "store/execution_plan.hpp"

namespace trellan {

// The key of each step, equal to task_keys(nodes, token, {its id}); nodes
// are those of the store the plan was built from.
std::vector<Digest> plan_task_keys(const ExecutionPlan& plan, std::span<const NodeKey> nodes, const Digest& token);

}  // namespace trellan
