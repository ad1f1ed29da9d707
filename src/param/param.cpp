#include "param/param.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "param/escape.hpp"

namespace trellan {

uint64_t canonical_float_bits(double v) {
  if (std::isnan(v)) return 0x7FF8000000000000ULL;
  return std::bit_cast<uint64_t>(v);
}

void ParamValue::append_token(std::string& out) const {
  switch (tag()) {
    case Tag::Int: {
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, as_int());
      out += 'i';
      out.append(buf, r.ptr);
      return;
    }
    case Tag::Float: {
      static constexpr char kHex[] = "0123456789abcdef";
      char buf[17];
      buf[0] = 'f';
      uint64_t bits = canonical_float_bits(as_float());
      for (int k = 16; k >= 1; --k, bits >>= 4) buf[k] = kHex[bits & 0xF];
      out.append(buf, sizeof buf);
      return;
    }
    case Tag::Bool:
      out += as_bool() ? "btrue" : "bfalse";
      return;
    case Tag::Str:
      out += 's';
      append_escaped(out, as_str());
      return;
  }
}

std::string ParamValue::display() const {
  switch (tag()) {
    case Tag::Int: return std::to_string(as_int());
    case Tag::Float: return display_float(as_float());
    case Tag::Bool: return as_bool() ? "true" : "false";
    case Tag::Str: return display_str(as_str());
  }
  return {};  // LCOV_EXCL_LINE: every tag returns above
}

void ParamValue::hash(KeyedHasher& h) const {
  h.write_u8(static_cast<uint8_t>(tag()));
  switch (tag()) {
    case Tag::Int: h.write_u64(static_cast<uint64_t>(as_int())); break;
    case Tag::Float: h.write_u64(canonical_float_bits(as_float())); break;
    case Tag::Bool: h.write_u8(as_bool() ? 1 : 0); break;
    case Tag::Str: h.write_str(as_str()); break;
  }
}

bool ParamValue::operator==(const ParamValue& o) const {
  if (tag() != o.tag()) return false;
  switch (tag()) {
    case Tag::Int: return as_int() == o.as_int();
    case Tag::Float: return canonical_float_bits(as_float()) == canonical_float_bits(o.as_float());
    case Tag::Bool: return as_bool() == o.as_bool();
    case Tag::Str: return as_str() == o.as_str();
  }
  return false;  // LCOV_EXCL_LINE: every tag returns above
}

namespace {

// std::string compares as unsigned bytes through char_traits<char>::compare
// only on some platforms; compare explicitly as unsigned to be sure.
bool key_less(const ParamEntry& a, const ParamEntry& b) {
  return std::lexicographical_compare(
      a.first.begin(), a.first.end(), b.first.begin(), b.first.end(),
      [](char x, char y) { return static_cast<unsigned char>(x) < static_cast<unsigned char>(y); });
}

// Raw bits, unlike ==, which treats every NaN alike.
bool identical_value(const ParamValue& a, const ParamValue& b) {
  if (a.tag() != b.tag()) return false;
  if (a.tag() == ParamValue::Tag::Float) {
    return std::bit_cast<uint64_t>(a.as_float()) == std::bit_cast<uint64_t>(b.as_float());
  }
  return a == b;
}

}  // namespace

ParamMap ParamMap::make(std::vector<ParamEntry> entries) {
  ParamMap m;
  if (entries.empty()) return m;
  // Maps are mostly a handful of entries: an insertion sort (stable) sorts
  // those without the scratch buffer std::stable_sort allocates.
  if (entries.size() <= 16) {
    for (size_t i = 1; i < entries.size(); ++i) {
      for (size_t j = i; j > 0 && key_less(entries[j], entries[j - 1]); --j) {
        std::swap(entries[j], entries[j - 1]);
      }
    }
  } else {
    std::stable_sort(entries.begin(), entries.end(), key_less);
  }
  // One key for every map in the process, so that equal maps made anywhere
  // carry equal digests.
  static const HashKey digest_key = HashKey::random();
  KeyedHasher h(digest_key);
  h.write_u64(entries.size());
  for (const auto& [key, value] : entries) {
    h.write_str(key);
    value.hash(h);
  }
  const uint64_t digest = h.finish();
  m.block_ = new Block{std::move(entries), digest};
  return m;
}

bool ParamMap::identical(const ParamMap& o) const {
  if (block_ == o.block_) return true;
  if (digest() != o.digest()) return false;
  auto a = entries();
  auto b = o.entries();
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].first != b[i].first || !identical_value(a[i].second, b[i].second)) return false;
  }
  return true;
}

void ParamMap::append_token(std::string& out) const {
  bool first = true;
  for (const auto& [key, value] : entries()) {
    if (!first) out += ';';
    first = false;
    append_escaped(out, key);
    out += '=';
    value.append_token(out);
  }
}

std::string ParamMap::display() const {
  std::string out = "{";
  bool first = true;
  for (const auto& [key, value] : entries()) {
    if (!first) out += ", ";
    first = false;
    out += key;
    out += '=';
    out += value.display();
  }
  out += '}';
  return out;
}

bool ParamMap::operator==(const ParamMap& o) const {
  if (block_ == o.block_) return true;
  if (digest() != o.digest()) return false;  // equal maps have equal digests
  auto a = entries();
  auto b = o.entries();
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].first != b[i].first || !(a[i].second == b[i].second)) return false;
  }
  return true;
}

std::string display_float(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  // The shortest digit string that reads back (scientific form), then written
  // out positionally: 1.2345678901234568e20 shows as 123456789012345680000.
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));
  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  const long point = static_cast<long>(exponent) + 1;  // digits before the decimal point
  const long n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<size_t>(point - n), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(point));
    out += '.';
    out.append(digits, static_cast<size_t>(point));
  }
  return out;
}

namespace {

// Decodes one UTF-8 sequence; input is valid UTF-8 by construction.
uint32_t next_code_point(std::string_view s, size_t& i) {
  unsigned char c = s[i];
  if (c < 0x80) { ++i; return c; }
  int len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
  uint32_t cp = c & (0x3F >> (len - 1));
  for (int k = 1; k < len && i + k < s.size(); ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
  i += len;
  return cp;
}

bool printable(uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
  if (cp == 0xAD || cp == 0x61C || cp == 0x180E) return false;
  if ((cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E)) return false;
  if ((cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF) return false;
  if ((cp >= 0xFFF0 && cp <= 0xFFFB) || (cp >= 0xE0000 && cp <= 0xE0FFF)) return false;
  if ((cp >= 0xD800 && cp <= 0xDFFF) || (cp & 0xFFFE) == 0xFFFE) return false;
  return true;
}

}  // namespace

std::string display_str(std::string_view s) {
  std::string out = "\"";
  size_t i = 0;
  while (i < s.size()) {
    size_t start = i;
    uint32_t cp = next_code_point(s, i);
    switch (cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (printable(cp)) {
      out.append(s.substr(start, i - start));
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
      out += buf;
    }
  }
  out += '"';
  return out;
}

}  // namespace trellan
