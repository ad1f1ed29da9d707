#include "store/plan_task_keys.hpp"

#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

namespace trellan {

std::vector<Digest> plan_task_keys(const ExecutionPlan& plan, std::span<const NodeKey> nodes, const Digest& token) {
  const Digest call = keyed_hash(purpose_key(DigestPurpose::TaskCall), token);
  auto under_call = [&](const Digest& op) { return keyed_hash(call, &op, 1); };
  std::vector<std::optional<Digest>> operators(plan.operators.size());
  // A stage's operator by its shape's first encoding, checked byte for byte (a token spelled
  // another way that parses alike makes another encoding), else by encoding.
  std::vector<std::pair<std::string, Digest>> shapes(plan.shape_first.size());
  std::unordered_map<std::string, Digest> stages;
  std::string bytes;
  std::vector<Digest> ins;
  const size_t n = plan.ids.size();
  std::vector<Digest> keys(n);
  for (size_t s = 0; s < n; ++s) {
    const Digest* op_key;
    if (static_cast<NodeKind>(plan.kinds[s]) != NodeKind::Stage) {
      std::optional<Digest>& known = operators[plan.operator_index[s]];
      if (!known) {
        const auto [kind, name, params, descriptor] = plan.operators[plan.operator_index[s]];
        known = under_call(operator_digest(static_cast<NodeKind>(kind), plan.names[name], plan.params[params],
                                           descriptor < 0 ? nullptr : &plan.descriptors[descriptor]));
      }
      op_key = &*known;
    } else {
      bytes.clear();
      encode_operator(nodes[plan.ids[s]], bytes);
      const int32_t shape = plan.stage_shape[s];
      if (shape >= 0 && shapes[shape].first.empty()) shapes[shape] = {bytes, under_call(operator_digest(bytes))};
      if (shape >= 0 && shapes[shape].first == bytes) {
        op_key = &shapes[shape].second;
      } else {
        auto it = stages.find(bytes);
        if (it == stages.end()) it = stages.emplace(bytes, under_call(operator_digest(bytes))).first;
        op_key = &it->second;
      }
    }
    ins.clear();
    for (int32_t k = plan.input_offsets[s]; k < plan.input_offsets[s + 1]; ++k) ins.push_back(keys[plan.inputs[k]]);
    keys[s] = keyed_hash(*op_key, ins.data(), ins.size());
  }
  return keys;
}

}  // namespace trellan
