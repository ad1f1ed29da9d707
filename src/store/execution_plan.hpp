// What an executor needs to run the nodes some outputs depend on, as flat
// arrays: the steps in run order (ascending ids, so inputs come first), their
// kinds, names, params and descriptors as indices into small tables of the
// distinct ones, their inputs as step indices, stage members with their
// references, and where each value is read last, so that it can be freed.
//
// Memory: 41 bytes per step, 4 per input reference, 21 per stage member and
// 4 per member reference, plus the distinct names, params, descriptors and
// operators.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "node/node_key.hpp"
#include "store/graph_store.hpp"

namespace trellan {

struct ExecutionPlan {
  // Steps.
  std::vector<int64_t> ids;               // node id of each step, ascending
  std::vector<uint8_t> kinds;             // NodeKind of each step
  std::vector<int32_t> name_index;        // into names; -1: the kind has no name
  std::vector<int32_t> params_index;      // into params
  std::vector<int32_t> descriptor_index;  // into descriptors; -1 but for externals
  // The operator step s runs on its input values, in order, into operators: a
  // stage's only member when it reads the stage's inputs in order; -1 for any
  // other stage, whose members must run.
  std::vector<int32_t> operator_index;
  std::vector<int32_t> input_offsets;     // steps + 1: step s reads inputs[off[s], off[s+1])
  std::vector<int32_t> inputs;            // step indices, each below its reader
  std::vector<int32_t> last_use;          // the last step reading each step, or -1
  std::vector<int32_t> outputs;           // requested outputs as steps, in order

  // Stage members, flat: step s owns members [member_offsets[s], member_offsets[s+1]).
  std::vector<int32_t> member_offsets;        // steps + 1
  std::vector<uint8_t> member_kinds;          // NodeKind::Op or NodeKind::Reduction
  std::vector<int32_t> member_name_index;     // into names
  std::vector<int32_t> member_params_index;   // into params
  std::vector<int32_t> member_operator_index; // into operators
  std::vector<int32_t> ref_offsets;           // members + 1, into refs
  std::vector<int32_t> refs;                  // r >= 0: member r of the stage; r < 0: input slot ~r
  std::vector<int32_t> member_last_use;       // last reading member, within the stage, or -1

  // Stages whose members run the same operators on the same references share a
  // shape, so that an executor can prepare each shape once: per step, its shape
  // (-1 for steps that are one call); per shape, its first step and its steps.
  std::vector<int32_t> stage_shape;
  std::vector<int32_t> shape_first;
  std::vector<int32_t> shape_uses;

  // The distinct values the indices name, in first-use order.
  std::vector<std::string> names;
  std::vector<ParamMap> params;
  std::vector<PayloadDescriptor> descriptors;
  // The distinct operators of steps and members: kind, name, params, descriptor
  // (-1 when none), so that an executor makes one callable for each.
  std::vector<std::array<int32_t, 4>> operators;
};

struct PlanError {
  enum class Kind { BadNodeId, Invalid, TooLarge };
  Kind kind = Kind::Invalid;
  NodeId id = 0;          // BadNodeId: the id
  std::string text;       // Invalid, TooLarge: the message
  std::string message() const;
};

// The plan for `outputs` (none: the marks), in one pass over the needed nodes,
// their inputs and members. A stage without members, a member reference out of
// range or forward, or a member token that does not parse is Invalid.
Result<ExecutionPlan, PlanError> build_execution_plan(const GraphStore& store,
                                                      std::optional<std::vector<NodeId>> outputs);

}  // namespace trellan
