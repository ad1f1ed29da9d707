#include "param/escape.hpp"

namespace trellan {

// Appends the runs between separators whole, not a character at a time.
void append_escaped(std::string& out, std::string_view s) {
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char* escape;
    switch (s[i]) {
      case '%': escape = "%25"; break;
      case ';': escape = "%3B"; break;
      case '=': escape = "%3D"; break;
      case '|': escape = "%7C"; break;
      default: continue;
    }
    out.append(s.data() + run, i - run);
    out.append(escape, 3);
    run = i + 1;
  }
  out.append(s.data() + run, s.size() - run);
}

std::string escape_token(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  append_escaped(out, s);
  return out;
}

namespace {
std::string replace_all(std::string_view s, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(s.size());
  size_t pos = 0;
  while (true) {
    size_t hit = s.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s.substr(pos));
  return out;
}
}  // namespace

// The inverse replacements in reverse order, each over the whole string, exactly
// mirroring escape_token so that unescape(escape(s)) == s for every s.
std::string unescape_token(std::string_view s) {
  if (s.find('%') == std::string_view::npos) return std::string(s);
  std::string t = replace_all(s, "%7C", "|");
  t = replace_all(t, "%3D", "=");
  t = replace_all(t, "%3B", ";");
  return replace_all(t, "%25", "%");
}

}  // namespace trellan
