// A value or an error. Expected failures (bad pattern text, a rule that uses
// an unbound variable) are returned this way, never thrown.
#pragma once

#include <cstddef>
#include <utility>
#include <variant>

namespace egraph {

template <class T, class E>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  static Result failure(E error) { return Result(std::in_place_index<1>, std::move(error)); }

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const E& error() const { return std::get<1>(v_); }

 private:
  template <size_t I, class A>
  Result(std::in_place_index_t<I> tag, A&& a) : v_(tag, std::forward<A>(a)) {}
  std::variant<T, E> v_;
};

}  // namespace egraph
