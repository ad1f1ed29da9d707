// Fixed-width little-endian fields of the IR blob, read and written through
// memcpy so that no field needs to be aligned.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace trellan::wire {

// The fields are the machine's own integers, copied as they are.
static_assert(std::endian::native == std::endian::little, "the IR blob's fields are little-endian");

inline constexpr uint8_t kMagic[4] = {'T', 'I', 'R', '1'};
inline constexpr uint64_t kMaxField = UINT32_MAX;  // counts, lengths, reference values

inline uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void store_u32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void store_u64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

}  // namespace trellan::wire
