#include "optimizer/passes/token_table.hpp"

#include <algorithm>
#include <limits>

#include "common/panic.hpp"

namespace trellan {

TokenTable::TokenTable() : parts_key_(HashKey::random()), text_key_(HashKey::random()) {}

OpId TokenTable::find_or_add(std::string text, const NodeKey* key) {
  KeyedHasher h(text_key_);
  h.write_str(text);
  const uint64_t hash = h.finish();
  by_text_.reserve_one();
  const auto probe = by_text_.find(hash, [&](uint64_t id) { return texts_[id] == text; });
  if (probe.found) return static_cast<OpId>(probe.id);
  if (texts_.size() >= std::numeric_limits<OpId>::max()) panic("too many distinct operators");
  // Everything that can fail comes before the index learns of the new id.
  if (keys_.size() == keys_.capacity()) keys_.reserve(2 * keys_.size() + 1);
  std::optional<NodeKey> first;
  if (key) first = *key;
  texts_.push_back(std::move(text));
  keys_.push_back(std::move(first));
  return static_cast<OpId>(by_text_.insert(probe, hash));
}

OpId TokenTable::record_text(const NodeKey& key) { return find_or_add(key.operator_text(), &key); }

uint64_t TokenTable::parts_hash(const NodeKey& key) const {
  KeyedHasher h(parts_key_);
  h.write_u8(static_cast<uint8_t>(key.kind()));
  h.write_str(key.name());
  h.write_u64(key.params().digest());
  return h.finish();
}

OpId TokenTable::record(const NodeKey& key) {
  // An external's or a stage's text holds more than these parts.
  if (key.kind() == NodeKind::External || key.kind() == NodeKind::Stage) return record_text(key);
  auto same_parts = [&](OpId id) {
    const NodeKey& seen = *keys_[id];
    return seen.kind() == key.kind() && seen.name() == key.name() && seen.params() == key.params();
  };
  if (auto r = recent_.find(same_parts)) return *r;
  const uint64_t hash = parts_hash(key);
  by_parts_.reserve_one();
  const auto probe = by_parts_.find(hash, [&](uint64_t pos) { return same_parts(parts_ids_[pos]); });
  OpId id;
  if (probe.found) {
    id = parts_ids_[probe.id];
  } else {
    id = record_text(key);
    // Only an id whose first key has these parts can answer for them later (a
    // text added by intern() has no key).
    if (!keys_[id] || !same_parts(id)) return id;
    if (parts_ids_.size() == parts_ids_.capacity()) parts_ids_.reserve(2 * parts_ids_.size() + 1);
    by_parts_.insert(probe, hash);
    parts_ids_.push_back(id);
  }
  recent_.remember(id);
  return id;
}

OpId TokenTable::intern(const std::string& text) { return find_or_add(text, nullptr); }

std::optional<OpId> TokenTable::find(std::string_view text) const {
  KeyedHasher h(text_key_);
  h.write_str(text);
  const auto probe = by_text_.find(h.finish(), [&](uint64_t id) { return texts_[id] == text; });
  if (!probe.found) return std::nullopt;
  return static_cast<OpId>(probe.id);
}

const NodeKey& TokenTable::first_key(OpId id) const {
  const auto& key = at_checked(keys_, id);
  if (!key) panic("no entry found for key");
  return *key;
}

std::vector<OpId> record_operators(TokenTable& table, std::span<const NodeKey> nodes,
                                   std::span<const uint64_t> kept) {
  std::vector<OpId> ops;
  ops.reserve(kept.size());
  for (uint64_t id : kept) ops.push_back(table.record(at_checked(nodes, id)));
  return ops;
}

}  // namespace trellan
