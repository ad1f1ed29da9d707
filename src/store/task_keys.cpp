#include "store/task_keys.hpp"

#include <algorithm>
#include <unordered_map>

#include "common/panic.hpp"

namespace trellan {

std::vector<NodeId> needed_nodes(std::span<const NodeKey> nodes, std::span<const NodeId> ids) {
  std::vector<bool> seen(nodes.size(), false);
  std::vector<NodeId> stack(ids.begin(), ids.end());
  std::vector<NodeId> needed;
  while (!stack.empty()) {
    const NodeId i = stack.back();
    stack.pop_back();
    if (seen[i]) continue;
    seen[i] = true;
    needed.push_back(i);
    for (NodeId j : nodes[i].inputs()) {
      if (!seen[j]) stack.push_back(j);
    }
  }
  std::sort(needed.begin(), needed.end());
  return needed;
}

void task_keys_of(std::span<const NodeKey> nodes, const Digest& token, std::span<const NodeId> needed,
                  std::span<Digest> out) {
  const Digest call = keyed_hash(purpose_key(DigestPurpose::TaskCall), token);
  // A node's key is keyed by its operator's digest hashed under the call's
  // key, remembered per distinct operator encoding so that each is hashed
  // once.
  std::unordered_map<std::string, Digest> ops;
  std::string bytes;
  std::vector<Digest> ins;
  const auto position = [&](NodeId id) {
    const auto at = std::lower_bound(needed.begin(), needed.end(), id);
    if (at == needed.end() || *at != id) panic("task key of a node whose input was not computed");
    return static_cast<size_t>(at - needed.begin());
  };
  for (size_t k = 0; k < needed.size(); ++k) {
    const NodeKey& key = nodes[needed[k]];
    bytes.clear();
    if (key.kind() == NodeKind::Stage) {
      encode_stage_operator(key.members(), bytes);
    } else {
      encode_operator(key.kind(), key.name(), key.params(),
                      key.kind() == NodeKind::External ? &key.descriptor() : nullptr, bytes);
    }
    auto it = ops.find(bytes);
    if (it == ops.end()) {
      const Digest op = keyed_hash(purpose_key(DigestPurpose::Operator),
                                   {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
      it = ops.emplace(bytes, keyed_hash(call, &op, 1)).first;
    }
    ins.clear();
    for (NodeId j : key.inputs()) ins.push_back(out[position(j)]);
    out[k] = keyed_hash(it->second, ins.data(), ins.size());
  }
}

std::vector<Digest> task_keys(std::span<const NodeKey> nodes, const Digest& token, std::span<const NodeId> ids) {
  const std::vector<NodeId> needed = needed_nodes(nodes, ids);
  std::vector<Digest> keys(needed.size());
  task_keys_of(nodes, token, needed, keys);
  std::vector<Digest> out;
  out.reserve(ids.size());
  for (NodeId id : ids) out.push_back(keys[std::lower_bound(needed.begin(), needed.end(), id) - needed.begin()]);
  return out;
}

}  // namespace trellan
