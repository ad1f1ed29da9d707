#include "serialize/utf8.hpp"

#include <cstring>

namespace trellan {

namespace {
bool is_cont(uint8_t b) { return (b & 0xC0) == 0x80; }
}  // namespace

bool valid_utf8(const uint8_t* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    // Names and param strings are mostly ASCII: skip eight such bytes at a time.
    if (n - i >= 8) {
      uint64_t w;
      std::memcpy(&w, s + i, 8);
      if ((w & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    // The second byte's range excludes the overlong forms (after E0, F0), the
    // surrogates (after ED) and everything past U+10FFFF (after F4).
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;  // a stray continuation byte, C0/C1, or F5 and above
    }
    if (n - i < len) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k) {
      if (!is_cont(s[i + k])) return false;
    }
    i += len;
  }
  return true;
}

}  // namespace trellan
