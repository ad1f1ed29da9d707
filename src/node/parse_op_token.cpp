#include <bit>
#include <charconv>

#include "node/node_key.hpp"
#include "param/escape.hpp"

namespace trellan {

namespace {

std::optional<int64_t> parse_int(std::string_view s) {
  if (!s.empty() && s[0] == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s[0] == '-') return std::nullopt;
  }
  if (s.empty() || s == "-") return std::nullopt;
  int64_t v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, 10);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<uint64_t> parse_hex_bits(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, 16);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<ParamValue> parse_value(std::string_view tok) {
  if (tok.empty()) return std::nullopt;
  std::string_view rest = tok.substr(1);
  switch (tok[0]) {
    case 's': return ParamValue::Str(unescape_token(rest));
    case 'i': {
      auto v = parse_int(rest);
      if (!v) return std::nullopt;
      return ParamValue::Int(*v);
    }
    case 'b':
      if (rest == "true") return ParamValue::Bool(true);
      if (rest == "false") return ParamValue::Bool(false);
      return std::nullopt;
    case 'f': {
      auto bits = parse_hex_bits(rest);
      if (!bits) return std::nullopt;
      return ParamValue::Float(std::bit_cast<double>(*bits));
    }
    default: return std::nullopt;
  }
}

}  // namespace

std::optional<ParsedOpToken> parse_op_token(std::string_view text) {
  size_t bar1 = text.find('|');
  std::string_view head = text.substr(0, bar1);
  if (head != "op" && head != "red") return std::nullopt;
  if (bar1 == std::string_view::npos) return std::nullopt;
  std::string_view after = text.substr(bar1 + 1);
  size_t bar2 = after.find('|');
  std::string_view name = after.substr(0, bar2);
  std::string_view rest = bar2 == std::string_view::npos ? std::string_view() : after.substr(bar2 + 1);

  std::vector<ParamEntry> entries;
  if (!rest.empty()) {
    size_t start = 0;
    while (true) {
      size_t semi = rest.find(';', start);
      std::string_view piece = rest.substr(start, semi == std::string_view::npos ? semi : semi - start);
      size_t eq = piece.find('=');
      if (eq == std::string_view::npos) return std::nullopt;
      auto value = parse_value(piece.substr(eq + 1));
      if (!value) return std::nullopt;
      entries.emplace_back(unescape_token(piece.substr(0, eq)), std::move(*value));
      if (semi == std::string_view::npos) break;
      start = semi + 1;
    }
  }
  return ParsedOpToken{std::string(head), unescape_token(name), ParamMap::make(std::move(entries))};
}

}  // namespace trellan
