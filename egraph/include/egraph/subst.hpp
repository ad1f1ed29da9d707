// Pattern variables and substitutions (variable -> class id).
#pragma once

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/enode.hpp"
#include "egraph/symbol.hpp"

namespace egraph {

// A pattern variable such as ?x, identified by its text's symbol in the
// table the pattern was parsed with.
struct Var {
  Symbol name;
  friend bool operator==(Var, Var) = default;
};

// Up to three bindings are held inline (32 bytes in all); more move to the
// heap. Searches produce one Subst per match, so its size matters.
class Subst {
 public:
  using Binding = std::pair<Var, Id>;

  Subst() = default;
  Subst(const Subst& o) : n_(o.n_) {
    if (n_ <= kInline) {
      std::copy(o.inline_, o.inline_ + n_, inline_);
    } else {
      heap_ = new Binding[capacity(n_)];
      std::copy(o.heap_, o.heap_ + n_, heap_);
    }
  }
  Subst(Subst&& o) noexcept : n_(o.n_) {
    std::memcpy(static_cast<void*>(inline_), static_cast<const void*>(o.inline_), sizeof(inline_));
    o.n_ = 0;
  }
  Subst& operator=(Subst o) noexcept {
    std::swap(n_, o.n_);
    Binding tmp[kInline];
    std::memcpy(static_cast<void*>(tmp), static_cast<const void*>(inline_), sizeof(inline_));
    std::memcpy(static_cast<void*>(inline_), static_cast<const void*>(o.inline_), sizeof(inline_));
    std::memcpy(static_cast<void*>(o.inline_), static_cast<const void*>(tmp), sizeof(inline_));
    return *this;
  }
  ~Subst() {
    if (n_ > kInline) delete[] heap_;
  }

  // Binds `var`, replacing an earlier binding of it.
  void insert(Var var, Id id);
  std::optional<Id> get(Var var) const {
    for (const Binding& b : bindings())
      if (b.first == var) return b.second;
    return std::nullopt;
  }
  // The class bound to `var`; throws std::logic_error when it is unbound.
  Id operator[](Var var) const;

  size_t size() const { return n_; }
  std::span<const Binding> bindings() const { return {n_ <= kInline ? inline_ : heap_, n_}; }
  friend bool operator==(const Subst& a, const Subst& b) {
    auto x = a.bindings(), y = b.bindings();
    return std::equal(x.begin(), x.end(), y.begin(), y.end());
  }

 private:
  static constexpr uint32_t kInline = 3;
  // Heap capacity for n > kInline bindings: the next power of two.
  static size_t capacity(size_t n) { return std::bit_ceil(n); }

  uint32_t n_ = 0;
  union {
    Binding inline_[kInline] = {};
    Binding* heap_;
  };
};

}  // namespace egraph
