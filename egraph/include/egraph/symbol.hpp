// Operator symbols. A symbol is a plain 32-bit number; what text it stands
// for is up to the table that handed it out, so an e-graph compares and
// hashes operators as integers and holds no text at all.
#pragma once

#include <compare>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace egraph {

class Symbol {
 public:
  constexpr Symbol() = default;
  constexpr explicit Symbol(uint32_t number) : n_(number) {}
  constexpr uint32_t number() const { return n_; }

  friend bool operator==(Symbol, Symbol) = default;
  friend std::strong_ordering operator<=>(Symbol, Symbol) = default;

 private:
  uint32_t n_ = 0;
};

// 128-bit key of the keyed hash a table uses for the texts it is given.
struct SymbolKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
  // A fresh key from the operating system's entropy source.
  static SymbolKey random();
};

// Texts interned to dense symbols: the n-th distinct text interned is number
// n - 1, so numbers follow first-intern order and no hash value ever decides
// one. Texts may come from users, so they are hashed with a keyed hash. A
// table lives as long as its owner (a reduction, a rule set) and frees every
// text with it. Not safe for concurrent use: each owner has its own.
class SymbolTable {
 public:
  SymbolTable() : SymbolTable(SymbolKey::random()) {}
  explicit SymbolTable(SymbolKey key) : key_(key) {}

  Symbol intern(std::string_view text);
  // The symbol of text, if it has been interned.
  std::optional<Symbol> find(std::string_view text) const;
  // The text of a symbol this table handed out.
  std::string_view str(Symbol s) const { return texts_.at(s.number()); }
  size_t size() const { return texts_.size(); }

 private:
  uint64_t hash(std::string_view text) const;
  // The slot holding text, or the empty slot where it belongs.
  size_t probe(std::string_view text, uint64_t h) const;
  void grow();

  struct Slot {
    uint32_t tag;     // high bits of the hash, compared before the text
    uint32_t number;  // kEmpty when the slot is free
  };
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;

  SymbolKey key_;
  std::deque<std::string> texts_;  // by number; a deque, so views stay valid
  std::vector<Slot> slots_;
};

}  // namespace egraph
