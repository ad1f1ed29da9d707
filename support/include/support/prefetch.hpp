// Starts loading the cache line at p (null is ignored) for a read that
// follows a little later. The empty asm statement keeps the compiler from
// dropping the hint, which GCC does for some addresses loaded from memory.
#pragma once

namespace support {

inline void prefetch(const void* p) {
  if (p == nullptr) return;
  __builtin_prefetch(p);
  asm volatile("" : : "r"(p));
}

}  // namespace support
