// A value or an error. Expected failures are returned this way, never
// thrown: bad input, a rule that uses an unbound variable, an unknown node.
#pragma once

#include <utility>
#include <variant>

namespace support {

template <class E>
struct Err {
  Err(E e) : error(std::move(e)) {}
  E error;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Err<E> err) : v_(std::in_place_index<1>, std::move(err.error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

// Success carries nothing; failure carries E.
template <class E>
class Status {
 public:
  Status() = default;
  Status(Err<E> err) : err_(std::move(err.error)), failed_(true) {}
  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const E& error() const { return err_; }

 private:
  E err_{};
  bool failed_ = false;
};

}  // namespace support
