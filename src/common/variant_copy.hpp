// Exception-safe copy construction of a std::variant.
//
// The standard library we build with (GCC 12's) cannot survive an exception
// thrown by the copy of the held alternative in std::variant's copy
// constructor when every alternative is a type it assumes can never leave a
// variant valueless (std::string, std::shared_ptr, trivially copyable types):
// its cleanup then destroys an alternative that was never built, which is
// undefined behaviour and crashes. Our keys and parameter values are such
// variants holding strings, so one failed allocation while copying them must
// not become a crash instead of std::bad_alloc. copy_variant copies the
// alternative on its own first and then moves it in, which cannot throw.
#pragma once

#include <cstddef>
#include <utility>
#include <variant>

namespace trellan {

template <class V, std::size_t I = 0>
V copy_variant(const V& v) {
  if constexpr (I + 1 < std::variant_size_v<V>) {
    if (v.index() != I) return copy_variant<V, I + 1>(v);
  }
  std::variant_alternative_t<I, V> copy = std::get<I>(v);
  return V(std::in_place_index<I>, std::move(copy));
}

}  // namespace trellan
