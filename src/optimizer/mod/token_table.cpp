#include "optimizer/mod/token_table.hpp"

#include <limits>

#include "common/panic.hpp"

namespace trellan {

TokenTable::TokenTable() : parts_key_(HashKey::random()), ids_(16, TextHash{HashKey::random()}) {}

OpId TokenTable::add(std::string text, const NodeKey* key) {
  if (texts_.size() >= std::numeric_limits<OpId>::max()) panic("too many distinct operators");
  OpId id = static_cast<OpId>(texts_.size());
  auto [it, inserted] = ids_.emplace(std::move(text), id);
  if (!inserted) return it->second;
  texts_.push_back(&it->first);
  keys_.emplace_back();
  if (key) keys_.back() = *key;
  return id;
}

OpId TokenTable::record_text(const NodeKey& key) {
  std::string text = key.operator_text();
  auto it = ids_.find(text);
  if (it != ids_.end()) return it->second;
  return add(std::move(text), &key);
}

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
  const uint64_t hash = parts_hash(key);
  by_parts_.reserve_one();
  const auto probe = by_parts_.find(hash, [&](uint64_t pos) {
    const NodeKey& seen = *keys_[parts_ids_[pos]];
    return seen.kind() == key.kind() && seen.name() == key.name() && seen.params() == key.params();
  });
  if (probe.found) return parts_ids_[probe.id];
  const OpId id = record_text(key);
  // Only an id whose first key has these parts can answer for them later (a
  // text added by intern() has no key).
  const auto& first = keys_[id];
  if (first && first->kind() == key.kind() && first->name() == key.name() && first->params() == key.params()) {
    if (parts_ids_.size() == parts_ids_.capacity()) parts_ids_.reserve(2 * parts_ids_.size() + 1);
    by_parts_.insert(probe, hash);
    parts_ids_.push_back(id);
  }
  return id;
}

OpId TokenTable::intern(const std::string& text) {
  auto it = ids_.find(text);
  if (it != ids_.end()) return it->second;
  return add(text, nullptr);
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
