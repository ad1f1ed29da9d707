#include "store/value_digests.hpp"

#include <functional>

#include "param/param.hpp"

namespace trellan {

namespace {

std::string member_refers(NodeId node, size_t k, const StageRef& ref) {
  return "node " + std::to_string(node) + ": member " + std::to_string(k) + " reads " +
         (ref.kind == StageRef::Kind::Input ? "input " : "member ") + std::to_string(ref.value) +
         ", which the stage does not have";
}

}  // namespace

size_t ValueDigester::OpRefHash::operator()(const OpRef& r) const {
  size_t h = std::hash<std::string_view>()(r.name);
  h ^= std::hash<const void*>()(r.params) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
  h ^= std::hash<const void*>()(r.descriptor) + static_cast<size_t>(r.kind) + (h << 6) + (h >> 2);
  return h;
}

const Digest& ValueDigester::of_key(const NodeKey& key) {
  const PayloadDescriptor* descriptor = key.kind() == NodeKind::External ? &key.descriptor() : nullptr;
  // An empty map may or may not have a block; all empty maps are one operator part.
  const OpRef ref{key.kind(), key.name(), key.params().empty() ? nullptr : key.params().block(), descriptor};
  auto it = ops_.find(ref);
  if (it == ops_.end()) it = ops_.emplace(ref, operator_digest(key.kind(), key.name(), key.params(), descriptor)).first;
  return it->second;
}

// A member is the op or reduction its token names, parsed as the node views
// parse it.
Result<const Digest*, DigestError> ValueDigester::of_member(const StageOp& member) {
  auto it = members_.find(member.token);
  if (it == members_.end()) {
    std::optional<ParsedOpToken> parsed = parse_op_token(member.token);
    if (!parsed) return Err(DigestError{"unparseable stage member token " + display_str(member.token)});
    const NodeKind kind = parsed->head == "op" ? NodeKind::Op : NodeKind::Reduction;
    it = members_.emplace(member.token, operator_digest(kind, parsed->name, parsed->params, nullptr)).first;
  }
  return &it->second;
}

Result<Digest, DigestError> ValueDigester::stage_digest(NodeId node, const NodeKey& stage,
                                                         const DigestTable& out) {
  const std::span<const StageOp> members = stage.members();
  if (members.empty()) return Err(DigestError{"node " + std::to_string(node) + ": a stage without members has no value"});
  const auto slots = stage.inputs();
  scratch_.clear();
  for (size_t k = 0; k < members.size(); ++k) {
    const StageOp& m = members[k];
    auto op = of_member(m);
    if (!op) return Err(op.error());
    ins_.clear();
    for (const StageRef& r : m.inputs) {
      if (r.kind == StageRef::Kind::Input && r.value < slots.size()) {
        ins_.push_back(out[slots[r.value]]);
      } else if (r.kind == StageRef::Kind::Member && r.value < k) {
        ins_.push_back(scratch_[r.value]);
      } else {
        return Err(DigestError{member_refers(node, k, r)});
      }
    }
    scratch_.push_back(keyed_hash(*op.value(), ins_.data(), ins_.size()));
  }
  return scratch_.back();
}

Status<DigestError> ValueDigester::run(std::span<const NodeKey> nodes, size_t begin, DigestTable& out,
                                       size_t& done) {
  done = begin;
  for (size_t i = begin; i < nodes.size(); ++i) {
    const NodeKey& key = nodes[i];
    if (key.kind() == NodeKind::Stage) {
      auto d = stage_digest(i, key, out);
      if (!d) return Err(d.error());
      out[i] = d.value();
    } else {
      const Digest& op = of_key(key);
      const auto inputs = key.inputs();
      if (inputs.size() <= 2) {
        Digest in[2];
        for (size_t j = 0; j < inputs.size(); ++j) in[j] = out[inputs[j]];
        out[i] = keyed_hash(op, in, inputs.size());
      } else {
        ins_.clear();
        for (NodeId j : inputs) ins_.push_back(out[j]);
        out[i] = keyed_hash(op, ins_.data(), ins_.size());
      }
    }
    done = i + 1;
  }
  return {};
}

}  // namespace trellan
