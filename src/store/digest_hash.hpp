// The hashing under value digests and task keys: BLAKE3 in keyed mode, and
// the byte encoding of a node's operator (everything about a node but its
// inputs). An operator's digest is a keyed hash of its encoding under a key
// derived (BLAKE3's key-derivation mode) from a context string that names
// the purpose and the version; a node's hash over its inputs is keyed by its
// operator's digest, so one compression covers up to two inputs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "node/node_key.hpp"

namespace trellan {

inline constexpr size_t kDigestSize = 32;
using Digest = std::array<uint8_t, kDigestSize>;

enum class DigestPurpose {
  Operator,  // an operator's encoding
  TaskCall,  // the token that names one call's callables
  Salted,    // an operator's digest with the salt of the callable that runs it
};
// The context string of a purpose: "trellan value digest v1 operator",
// "trellan task key v1 call" or "trellan cache key v1 salted operator".
std::string_view digest_context(DigestPurpose purpose);
// BLAKE3 in key-derivation mode over that context, with empty key material.
const Digest& purpose_key(DigestPurpose purpose);

// BLAKE3 in keyed mode.
Digest keyed_hash(const Digest& key, std::span<const uint8_t> data);
// keyed_hash of the n digests at data, one after another.
Digest keyed_hash(const Digest& key, const Digest* data, size_t n);
// BLAKE3 in its plain mode over the pieces, one after another.
Digest content_hash(std::span<const std::span<const uint8_t>> pieces);

// Appends the encoding of an operator to out: the kind as one byte; the name
// of a source, op or reduction; the descriptor of an external; then the
// params. Texts are a u64 byte count and the bytes; integers are
// little-endian. A descriptor is its five texts, then 0 for an absent
// preprocessing_ref or 1 and the text.
void encode_operator(NodeKind kind, std::string_view name, const ParamMap& params,
                     const PayloadDescriptor* descriptor, std::string& out);
// The same for the operator of a key of any kind. A stage's is kind 4, the
// member count, and per member its token text, its reference count and each
// reference as one byte (0 input slot, 1 member) and a u64.
void encode_operator(const NodeKey& key, std::string& out);

// An operator's digest: keyed_hash of its encoding under the Operator key.
Digest operator_digest(std::string_view encoding);
// The same for an operator given by its parts.
Digest operator_digest(NodeKind kind, std::string_view name, const ParamMap& params,
                       const PayloadDescriptor* descriptor);

}  // namespace trellan
