#include "store/salted_digests.hpp"

#include <algorithm>

namespace trellan {

namespace {

// Each operator's key: its operator digest (as value digests have it) and its salt, hashed
// under the Salted purpose.
std::vector<Digest> salted_operators(const ExecutionPlan& plan, std::span<const Digest> salts,
                                     std::span<const uint8_t> unsalted) {
  std::vector<Digest> keys(plan.operators.size());
  for (size_t o = 0; o < plan.operators.size(); ++o) {
    const auto [kind, name, params, descriptor] = plan.operators[o];
    const Digest parts[2] = {
        operator_digest(static_cast<NodeKind>(kind), plan.names[name], plan.params[params],
                        descriptor < 0 ? nullptr : &plan.descriptors[descriptor]),
        unsalted[o] ? Digest{} : salts[o]};
    keys[o] = keyed_hash(purpose_key(DigestPurpose::Salted), parts, 2);
  }
  return keys;
}

}  // namespace

SaltedDigests salted_digests(const ExecutionPlan& plan, std::span<const Digest> salts,
                             std::span<const uint8_t> unsalted) {
  const std::vector<Digest> ops = salted_operators(plan, salts, unsalted);
  const size_t n = plan.ids.size();
  SaltedDigests out;
  out.digests.resize(n);
  out.unsalted.assign(n, 0);
  std::vector<Digest> ins, members;
  for (size_t s = 0; s < n; ++s) {
    const int32_t lo = plan.input_offsets[s], hi = plan.input_offsets[s + 1];
    uint8_t tainted = 0;
    for (int32_t k = lo; k < hi; ++k) tainted |= out.unsalted[plan.inputs[k]];
    if (static_cast<NodeKind>(plan.kinds[s]) != NodeKind::Stage) {
      const int32_t op = plan.operator_index[s];
      ins.clear();
      for (int32_t k = lo; k < hi; ++k) ins.push_back(out.digests[plan.inputs[k]]);
      out.digests[s] = keyed_hash(ops[op], ins.data(), ins.size());
      out.unsalted[s] = tainted | unsalted[op];
      continue;
    }
    members.clear();
    const int32_t first = plan.member_offsets[s], end = plan.member_offsets[s + 1];
    for (int32_t m = first; m < end; ++m) {
      const int32_t op = plan.member_operator_index[m];
      ins.clear();
      for (int32_t r = plan.ref_offsets[m]; r < plan.ref_offsets[m + 1]; ++r) {
        const int32_t ref = plan.refs[r];
        ins.push_back(ref >= 0 ? members[ref] : out.digests[plan.inputs[lo + ~ref]]);
      }
      members.push_back(keyed_hash(ops[op], ins.data(), ins.size()));
      tainted |= unsalted[op];
    }
    out.digests[s] = members.back();
    out.unsalted[s] = tainted;
  }
  return out;
}

}  // namespace trellan
