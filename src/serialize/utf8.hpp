// Strict UTF-8 validation for strings read from a blob: no overlong forms,
// no surrogates, nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trellan {

bool valid_utf8(const uint8_t* s, size_t n);

}  // namespace trellan
