#include "store/task_keys.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "common/panic.hpp"

namespace trellan {

std::vector<NodeId> needed_nodes(std::span<const NodeKey> nodes, std::span<const NodeId> ids) {
  std::vector<bool> seen(nodes.size(), false);
  std::vector<NodeId> stack(ids.begin(), ids.end());
  NodeId last = 0;
  while (!stack.empty()) {
    const NodeId i = stack.back();
    stack.pop_back();
    if (seen[i]) continue;
    seen[i] = true;
    last = std::max(last, i);
    for (NodeId j : nodes[i].inputs()) {
      if (!seen[j]) stack.push_back(j);
    }
  }
  std::vector<NodeId> needed;
  for (NodeId i = 0; i <= last && i < seen.size(); ++i) {
    if (seen[i]) needed.push_back(i);
  }
  return needed;
}

void task_keys_of(std::span<const NodeKey> nodes, const Digest& token, std::span<const NodeId> needed,
                  std::span<Digest> out) {
  constexpr uint64_t kAbsent = ~uint64_t{0};
  const Digest call = keyed_hash(purpose_key(DigestPurpose::TaskCall), token);
  // A node's key is keyed by its operator's digest hashed under the call's
  // key, remembered per distinct operator encoding so that each is hashed
  // once.
  std::unordered_map<std::string, Digest> ops;
  std::string bytes;
  std::vector<Digest> ins;
  std::vector<uint64_t> position;  // by node id: its place in needed
  for (size_t k = 0; k < needed.size(); ++k) {
    const NodeKey& key = nodes[needed[k]];
    bytes.clear();
    encode_operator(key, bytes);
    auto it = ops.find(bytes);
    if (it == ops.end()) {
      const Digest op = operator_digest(bytes);
      it = ops.emplace(bytes, keyed_hash(call, &op, 1)).first;
    }
    ins.clear();
    for (NodeId j : key.inputs()) {
      if (j >= position.size() || position[j] == kAbsent) panic("task key of a node before its inputs");
      ins.push_back(out[position[j]]);
    }
    out[k] = keyed_hash(it->second, ins.data(), ins.size());
    if (needed[k] >= position.size()) position.resize(needed[k] + 1, kAbsent);
    position[needed[k]] = k;
  }
}

std::vector<Digest> task_keys(std::span<const NodeKey> nodes, const Digest& token, std::span<const NodeId> ids) {
  const std::vector<NodeId> needed = needed_nodes(nodes, ids);
  std::vector<Digest> keys(needed.size());
  task_keys_of(nodes, token, needed, keys);
  std::vector<uint64_t> position(needed.empty() ? 0 : needed.back() + 1);
  for (size_t k = 0; k < needed.size(); ++k) position[needed[k]] = k;
  std::vector<Digest> out;
  out.reserve(ids.size());
  for (NodeId id : ids) out.push_back(keys[position[id]]);
  return out;
}

}  // namespace trellan
