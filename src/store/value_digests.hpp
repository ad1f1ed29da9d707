// Value digests: a 32-byte name for what a node computes, equal across
// stores, processes and machines. A node's digest hashes its operator's
// digest and its inputs' digests in order, and nothing else: no rewrite rule
// applies, so two nodes share a digest only when they perform the same
// operations on the same inputs in the same order. A stage is the value of its
// last member, its members digested one by one as the ops they stand for, so
// fusion never changes a digest.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/result.hpp"
#include "node/node_key.hpp"
#include "store/digest_hash.hpp"
#include "store/digest_table.hpp"

namespace trellan {

// Why a digest could not be computed: a stage that has no value, or a node
// that does not exist. The message is the one the node views give.
struct DigestError {
  std::string text;
  const std::string& message() const { return text; }
};

// Digests nodes in id order, remembering the digest of every distinct
// operator it meets, so that a node's own hash covers 32 bytes per input
// and 32 for its operator.
class ValueDigester {
 public:
  // Writes the digests of nodes[begin, nodes.size()) to out at the same
  // positions, reading those of earlier nodes from out. done ends as the
  // position up to which out holds digests, also when a stage fails.
  Status<DigestError> run(std::span<const NodeKey> nodes, size_t begin, DigestTable& out, size_t& done);

 private:
  // An operator by the parts a stored key shares with its equals: the name
  // text, the pooled params block and the descriptor, all of which outlive
  // the pass.
  struct OpRef {
    NodeKind kind;
    std::string_view name;
    const void* params;
    const void* descriptor;
    bool operator==(const OpRef&) const = default;
  };
  struct OpRefHash {
    size_t operator()(const OpRef& r) const;
  };

  const Digest& of_key(const NodeKey& key);
  Result<const Digest*, DigestError> of_member(const StageOp& member);
  Result<Digest, DigestError> stage_digest(NodeId node, const NodeKey& stage, const DigestTable& out);

  std::unordered_map<OpRef, Digest, OpRefHash> ops_;
  std::unordered_map<std::string_view, Digest> members_;  // by member token
  std::vector<Digest> scratch_;                           // member digests of one stage
  std::vector<Digest> ins_;                               // input digests of one node
};

}  // namespace trellan
