// Fatal internal errors. A broken invariant throws Panic; the Python layer turns
// it into its panic exception (derived from BaseException) carrying the message.
#pragma once

#include <stdexcept>
#include <string>

namespace trellan {

class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] inline void panic(const std::string& message) { throw Panic(message); }

// Bounds-checked index for tables whose indexes come from internal invariants.
template <class Vec>
decltype(auto) at_checked(Vec& v, size_t i) {
  if (i >= v.size()) {
    panic("index out of bounds: the len is " + std::to_string(v.size()) + " but the index is " +
          std::to_string(i));
  }
  return v[i];
}

}  // namespace trellan
