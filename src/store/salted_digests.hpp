// Salted digests: the value digests of a plan's steps, computed again with
// each operator's digest mixed with a salt, 32 bytes that name the callable
// (or the data) that runs the operator. The recursion is the value digest's:
// a step hashes its inputs' salted digests in order under its operator's
// salted key, and a stage is the value of its last member, each member salted
// by its own operator, so a fused stage and the chain it replaced still agree.
// Two steps share a salted digest exactly when they share a value digest and
// every operator they depend on, transitively, has the same salt.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "store/digest_hash.hpp"
#include "store/execution_plan.hpp"

namespace trellan {

struct SaltedDigests {
  std::vector<Digest> digests;     // per step
  std::vector<uint8_t> unsalted;   // per step: 1 when it depends on an operator without a salt
};

// salts and unsalted have one entry per plan operator; the salt of an
// operator marked unsalted is never read.
SaltedDigests salted_digests(const ExecutionPlan& plan, std::span<const Digest> salts,
                             std::span<const uint8_t> unsalted);

}  // namespace trellan
