#include "egraph/symbol.hpp"

#include <random>
#include <stdexcept>

#include "hashing.hpp"

namespace egraph {

SymbolKey SymbolKey::random() {
  std::random_device rd;
  auto word = [&] { return (static_cast<uint64_t>(rd()) << 32) | rd(); };
  SymbolKey key;
  key.k0 = word();
  key.k1 = word();
  return key;
}

uint64_t SymbolTable::hash(std::string_view text) const { return keyed_hash_bytes(key_.k0, key_.k1, text); }

size_t SymbolTable::probe(std::string_view text, uint64_t h) const {
  const size_t mask = slots_.size() - 1;
  const uint32_t tag = static_cast<uint32_t>(h >> 32);
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.number == kEmpty || (s.tag == tag && texts_[s.number] == text)) return i;
  }
}

void SymbolTable::grow() {
  std::vector<Slot> old(slots_.empty() ? 64 : slots_.size() * 2, Slot{0, kEmpty});
  old.swap(slots_);
  const size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.number == kEmpty) continue;
    size_t i = hash(texts_[s.number]) & mask;
    while (slots_[i].number != kEmpty) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

Symbol SymbolTable::intern(std::string_view text) {
  if ((texts_.size() + 1) * 2 > slots_.size()) grow();
  const uint64_t h = hash(text);
  Slot& slot = slots_[probe(text, h)];
  if (slot.number != kEmpty) return Symbol(slot.number);
  if (texts_.size() >= kEmpty) throw std::length_error("symbol table full");
  texts_.emplace_back(text);
  slot = {static_cast<uint32_t>(h >> 32), static_cast<uint32_t>(texts_.size() - 1)};
  return Symbol(slot.number);
}

std::optional<Symbol> SymbolTable::find(std::string_view text) const {
  if (slots_.empty()) return std::nullopt;
  const Slot& slot = slots_[probe(text, hash(text))];
  if (slot.number == kEmpty) return std::nullopt;
  return Symbol(slot.number);
}

}  // namespace egraph
