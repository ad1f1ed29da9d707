#include "optimizer/mod/token_table.hpp"

#include <limits>

#include "common/panic.hpp"

namespace trellan {

TokenTable::TokenTable() : ids_(16, TextHash{HashKey::random()}) {}

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

OpId TokenTable::record(const NodeKey& key) {
  std::string text = key.operator_text();
  auto it = ids_.find(text);
  if (it != ids_.end()) return it->second;
  return add(std::move(text), &key);
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
