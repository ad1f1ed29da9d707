// Task keys: a 32-byte name for a task of one run, equal only for identical
// tasks. A node's key hashes, under a key made from the token that names the
// run's callables, its own operator (a stage's members spelled out) and its
// inputs' keys in order. No rule applies: an identity op, commutative twins,
// and a stage and the chain it replaced are all different tasks.
#pragma once

#include <span>
#include <vector>

#include "node/node_key.hpp"
#include "store/digest_hash.hpp"

namespace trellan {

// The nodes that the given ids need (themselves and everything they read),
// in ascending id order. Every id must name one of the nodes.
std::vector<NodeId> needed_nodes(std::span<const NodeKey> nodes, std::span<const NodeId> ids);

// The keys of needed into out, in the same order. needed lists distinct node
// ids, each after the inputs of its node (an executor's run order, or
// needed_nodes), and holds all of those inputs.
void task_keys_of(std::span<const NodeKey> nodes, const Digest& token, std::span<const NodeId> needed,
                  std::span<Digest> out);

// The keys of ids, in the given order.
std::vector<Digest> task_keys(std::span<const NodeKey> nodes, const Digest& token, std::span<const NodeId> ids);

}  // namespace trellan
