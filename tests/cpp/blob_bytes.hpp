// Hand-assembled IR blobs for the reader and writer tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace trellan::testing {

class Bytes {
 public:
  Bytes& u8(uint8_t v) {
    b_.push_back(v);
    return *this;
  }
  Bytes& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b_.push_back(uint8_t(v >> (8 * i)));
    return *this;
  }
  Bytes& u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) b_.push_back(uint8_t(v >> (8 * i)));
    return *this;
  }
  Bytes& raw(std::string_view s) {
    b_.insert(b_.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& str(std::string_view s) { return u32(uint32_t(s.size())).raw(s); }
  Bytes& ids(std::initializer_list<uint64_t> ids) {
    u32(uint32_t(ids.size()));
    for (uint64_t id : ids) u64(id);
    return *this;
  }
  Bytes& header(uint32_t nodes) { return raw("TIR1").u32(nodes); }
  // A Source record without params.
  Bytes& source(std::string_view name) { return u8(0).str(name).u32(0); }
  // An Op record without params.
  Bytes& op(std::string_view name, std::initializer_list<uint64_t> inputs) {
    return u8(1).str(name).u32(0).ids(inputs);
  }
  Bytes& outputs(std::initializer_list<uint64_t> out) { return ids(out); }

  const std::vector<uint8_t>& vec() const { return b_; }
  operator std::vector<uint8_t>() const { return b_; }

 private:
  std::vector<uint8_t> b_;
};

}  // namespace trellan::testing
