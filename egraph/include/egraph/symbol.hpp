// Interned operator names. Every distinct text gets one 32-bit number for the
// life of the process, so symbols compare and hash as plain integers.
#pragma once

#include <compare>
#include <cstdint>
#include <span>
#include <string_view>

namespace egraph {

class Symbol {
 public:
  // The empty text, which is always number 0.
  constexpr Symbol() = default;
  // Interns `text`; safe to call from any number of threads at once.
  explicit Symbol(std::string_view text) : n_(intern_number(text)) {}

  static Symbol intern(std::string_view text) { return Symbol(text); }
  // Interns many texts at once (out[i] for texts[i]); faster than one by one.
  static void intern_all(std::span<const std::string_view> texts, std::span<Symbol> out);

  // The interned text. Texts are never freed, so the view stays valid.
  std::string_view str() const;
  uint32_t number() const { return n_; }

  friend bool operator==(Symbol, Symbol) = default;
  friend std::strong_ordering operator<=>(Symbol, Symbol) = default;

 private:
  static uint32_t intern_number(std::string_view text);
  uint32_t n_ = 0;
};

}  // namespace egraph
