// The one escaping scheme of token texts: the four separators of the token
// grammar ("%", ";", "=", "|") become percent escapes.
#pragma once

#include <string>
#include <string_view>

namespace trellan {

std::string escape_token(std::string_view s);
std::string unescape_token(std::string_view s);
// Appends escape_token(s) to out without a temporary.
void append_escaped(std::string& out, std::string_view s);

}  // namespace trellan
