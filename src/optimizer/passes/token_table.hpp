// Operator identities of one reduction. Every distinct operator text gets a
// small dense id, so the later passes compare and hash integers instead of
// strings; a text that came from a graph node also keeps the first node key
// that had it, from which stage fusion rebuilds every node that is not an op.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/keyed_hash.hpp"
#include "common/tagged_index.hpp"
#include "node/node_key.hpp"

namespace trellan {

using OpId = uint32_t;

class TokenTable {
 public:
  TokenTable();
  TokenTable(const TokenTable&) = delete;
  TokenTable& operator=(const TokenTable&) = delete;

  // Records key under its operator text unless the text is already present
  // (the first key wins) and returns the text's id. The table keeps a
  // reference to key, which must outlive it. distinct: no other key recorded
  // is equal to this one (they come from a store), so a source's operator,
  // which is all there is to it, is new.
  OpId record(const NodeKey& key, bool distinct = false);
  // The id of text, adding it without a key when it is new.
  OpId intern(const std::string& text);
  // The id of text when it is present.
  std::optional<OpId> find(std::string_view text) const;

  // The text of id, written out on first request.
  const std::string& text(OpId id) const;
  // The first key recorded under the text of id. A text that no recorded node
  // carried is the fatal "no entry found for key".
  const NodeKey& first_key(OpId id) const;
  size_t size() const { return keys_.size(); }

 private:
  // The id of text, adding it (with key, when given) if it is new.
  OpId find_or_add(std::string text, const NodeKey* key);
  OpId record_text(const NodeKey& key);
  // A new id for key, whose parts no id has, without its text.
  OpId add_by_parts(const NodeKey& key);
  // Makes by_text_ hold the texts of the ids recorded by parts that text
  // could be: those of ops for an op's text ("op|..."), all of them otherwise.
  void index_texts_for(std::string_view text) const;

  // Sources, ops, reductions, exchanges and joins by their parts: kind, name
  // and params determine the text and the text them, so a node whose parts
  // are new has a new text, which is written out only when asked for (most
  // are sources, one per partition, whose texts nothing reads). Positions
  // index parts_ids_.
  uint64_t parts_hash(const NodeKey& key) const;
  HashKey parts_key_;
  TaggedIndex by_parts_;
  std::vector<OpId> parts_ids_;
  // Operators found by parts lately, by a quick unkeyed hash of the parts,
  // compared before anything is hashed: a graph repeats a few operators over
  // and over. Only a hint: a miss goes on to the keyed index.
  static constexpr size_t kQuickBits = 6;
  static uint64_t quick_hash(const NodeKey& key);
  std::array<OpId, size_t{1} << kQuickBits> quick_;

  HashKey text_key_;                       // texts hold user-chosen names: keyed hashing
  mutable TaggedIndex by_text_;            // positions index text_ids_
  mutable std::vector<OpId> text_ids_;
  mutable std::deque<std::string> texts_;  // by id, empty until written; a deque, so references stay valid
  std::vector<const NodeKey*> keys_;       // by id; null for a text added by intern()
  // Ids recorded by parts whose texts by_text_ lacks, ops apart from the rest.
  mutable std::vector<OpId> unindexed_ops_, unindexed_others_;
  bool interned_ = false;                  // intern() added a text: parts alone no longer tell a text is new
};

// Builds the token table of the dead-code survivors, given as the ascending
// ids in nodes of the nodes that survive, and returns every survivor's
// operator id in survivor order. distinct: no two nodes are equal keys.
std::vector<OpId> record_operators(TokenTable& table, std::span<const NodeKey> nodes,
                                   std::span<const uint64_t> kept, bool distinct);

}  // namespace trellan
