#include "optimizer/passes/token_table.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "common/panic.hpp"

namespace trellan {

namespace {
constexpr OpId kNoOp = ~OpId{0};
}

TokenTable::TokenTable() : parts_key_(HashKey::random()), text_key_(HashKey::random()) { quick_.fill(kNoOp); }

namespace {

uint64_t text_hash(const HashKey& key, std::string_view text) {
  KeyedHasher h(key);
  h.write_str(text);
  return h.finish();
}

template <class T>
void room_for_one(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(2 * v.size() + 16);
}

}  // namespace

const std::string& TokenTable::text(OpId id) const {
  std::string& text = at_checked(texts_, id);
  // Every operator text has a head, so an empty one is not written yet.
  if (text.empty()) text = keys_[id]->operator_text();
  return text;
}

void TokenTable::index_texts_for(std::string_view text) const {
  auto index = [&](std::vector<OpId>& pending) {
    while (!pending.empty()) {
      const OpId id = pending.back();
      const std::string& t = this->text(id);
      const uint64_t hash = text_hash(text_key_, t);
      by_text_.reserve_one();
      room_for_one(text_ids_);
      const auto probe = by_text_.find(hash, [&](uint64_t pos) { return texts_[text_ids_[pos]] == t; });
      if (probe.found) panic("two operators with different parts share a text");  // LCOV_EXCL_LINE
      by_text_.insert(probe, hash);
      text_ids_.push_back(id);
      pending.pop_back();
    }
  };
  index(unindexed_ops_);
  if (!text.starts_with("op|")) index(unindexed_others_);
}

OpId TokenTable::find_or_add(std::string text, const NodeKey* key) {
  index_texts_for(text);
  const uint64_t hash = text_hash(text_key_, text);
  by_text_.reserve_one();
  const auto probe = by_text_.find(hash, [&](uint64_t pos) { return texts_[text_ids_[pos]] == text; });
  if (probe.found) return text_ids_[probe.id];
  if (keys_.size() >= std::numeric_limits<OpId>::max()) panic("too many distinct operators");
  // Everything that can fail comes before the index learns of the new id.
  room_for_one(keys_);
  room_for_one(text_ids_);
  texts_.push_back(std::move(text));
  const OpId id = static_cast<OpId>(keys_.size());
  keys_.push_back(key);
  by_text_.insert(probe, hash);
  text_ids_.push_back(id);
  if (!key) interned_ = true;
  return id;
}

OpId TokenTable::record_text(const NodeKey& key) { return find_or_add(key.operator_text(), &key); }

OpId TokenTable::add_by_parts(const NodeKey& key) {
  if (keys_.size() >= std::numeric_limits<OpId>::max()) panic("too many distinct operators");
  std::vector<OpId>& pending = key.is_op() ? unindexed_ops_ : unindexed_others_;
  room_for_one(keys_);
  room_for_one(pending);
  texts_.emplace_back();
  const OpId id = static_cast<OpId>(keys_.size());
  keys_.push_back(&key);
  pending.push_back(id);
  return id;
}

uint64_t TokenTable::parts_hash(const NodeKey& key) const {
  KeyedHasher h(parts_key_);
  h.write_u8(static_cast<uint8_t>(key.kind()));
  h.write_str(key.name());
  h.write_u64(key.params().digest());
  return h.finish();
}

uint64_t TokenTable::quick_hash(const NodeKey& key) {
  const std::string_view name = key.name();
  uint64_t head = 0, tail = 0;
  std::memcpy(&head, name.data(), std::min<size_t>(8, name.size()));
  if (name.size() > 8) std::memcpy(&tail, name.data() + name.size() - 8, 8);
  uint64_t h = (head ^ std::rotl(tail, 29) ^ (name.size() << 56) ^ static_cast<uint64_t>(key.kind())) *
               0x9E3779B97F4A7C15ull;
  h ^= key.params().digest();
  return (h * 0xD6E8FEB86659FD93ull) >> (64 - kQuickBits);
}

OpId TokenTable::record(const NodeKey& key, bool distinct) {
  // An external's or a stage's text holds more than these parts.
  if (key.kind() == NodeKind::External || key.kind() == NodeKind::Stage) return record_text(key);
  const bool source = key.kind() == NodeKind::Source;
  if (source && distinct && !interned_) return add_by_parts(key);
  auto same_parts = [&](OpId id) {
    const NodeKey* seen = keys_[id];
    return seen && seen->kind() == key.kind() && seen->name() == key.name() && seen->params() == key.params();
  };
  OpId& quick = quick_[quick_hash(key)];
  if (quick != kNoOp && same_parts(quick)) return quick;
  const uint64_t hash = parts_hash(key);
  by_parts_.reserve_one();
  const auto probe = by_parts_.find(hash, [&](uint64_t pos) { return same_parts(parts_ids_[pos]); });
  OpId id;
  if (probe.found) {
    id = parts_ids_[probe.id];
  } else {
    if (interned_) {
      // A text added by intern() may be this key's: look it up by text.
      id = record_text(key);
      // Only an id whose first key has these parts can answer for them later.
      if (!same_parts(id)) return id;
    } else {
      id = add_by_parts(key);
    }
    room_for_one(parts_ids_);
    by_parts_.insert(probe, hash);
    parts_ids_.push_back(id);
  }
  quick = id;
  return id;
}

OpId TokenTable::intern(const std::string& text) { return find_or_add(text, nullptr); }

std::optional<OpId> TokenTable::find(std::string_view text) const {
  index_texts_for(text);
  const uint64_t hash = text_hash(text_key_, text);
  const auto probe = by_text_.find(hash, [&](uint64_t pos) { return texts_[text_ids_[pos]] == text; });
  if (!probe.found) return std::nullopt;
  return text_ids_[probe.id];
}

const NodeKey& TokenTable::first_key(OpId id) const {
  const NodeKey* key = at_checked(keys_, id);
  if (!key) panic("no entry found for key");
  return *key;
}

std::vector<OpId> record_operators(TokenTable& table, std::span<const NodeKey> nodes,
                                   std::span<const uint64_t> kept, bool distinct) {
  std::vector<OpId> ops;
  ops.reserve(kept.size());
  for (uint64_t id : kept) ops.push_back(table.record(at_checked(nodes, id), distinct));
  return ops;
}

}  // namespace trellan
