#include "store/digest_hash.hpp"

#include <cstring>

#include <blake3.h>

#include "param/param.hpp"

namespace trellan {

namespace {

Digest derive_key(std::string_view context) {
  blake3_hasher h;
  blake3_hasher_init_derive_key_raw(&h, context.data(), context.size());
  Digest out;
  blake3_hasher_finalize(&h, out.data(), out.size());
  return out;
}

void put_u8(std::string& out, uint8_t v) { out.push_back(static_cast<char>(v)); }

void put_u64(std::string& out, uint64_t v) {
  char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(v >> (8 * i));
  out.append(bytes, 8);
}

void put_text(std::string& out, std::string_view s) {
  put_u64(out, s.size());
  out.append(s);
}

void put_params(std::string& out, const ParamMap& params) {
  const auto entries = params.entries();
  put_u64(out, entries.size());
  for (const auto& [key, value] : entries) {
    put_text(out, key);
    put_u8(out, static_cast<uint8_t>(value.tag()));
    switch (value.tag()) {
      case ParamValue::Tag::Int: put_u64(out, static_cast<uint64_t>(value.as_int())); break;
      case ParamValue::Tag::Float: put_u64(out, canonical_float_bits(value.as_float())); break;
      case ParamValue::Tag::Bool: put_u8(out, value.as_bool() ? 1 : 0); break;
      case ParamValue::Tag::Str: put_text(out, value.as_str()); break;
    }
  }
}

}  // namespace

std::string_view digest_context(DigestPurpose purpose) {
  switch (purpose) {
    case DigestPurpose::Operator: return "trellan value digest v1 operator";
    case DigestPurpose::TaskCall: return "trellan task key v1 call";
    case DigestPurpose::Salted: return "trellan cache key v1 salted operator";
  }
  return {};
}

// BLAKE3 caches the processor's features in a plain global on its first hash.
// That first hash is derive_key's, inside this function-local static's
// thread-safe initialization, and every other hash of the store is keyed by
// something derived from these keys: so the first hash happens before all
// the others, on whatever thread, and the global is never raced for.
const Digest& purpose_key(DigestPurpose purpose) {
  static const Digest keys[] = {derive_key(digest_context(DigestPurpose::Operator)),
                                derive_key(digest_context(DigestPurpose::TaskCall)),
                                derive_key(digest_context(DigestPurpose::Salted))};
  return keys[static_cast<size_t>(purpose)];
}

Digest keyed_hash(const Digest& key, std::span<const uint8_t> data) {
  blake3_hasher h;
  blake3_hasher_init_keyed(&h, key.data());
  blake3_hasher_update(&h, data.data(), data.size());
  Digest out;
  blake3_hasher_finalize(&h, out.data(), out.size());
  return out;
}

Digest keyed_hash(const Digest& key, const Digest* data, size_t n) {
  return keyed_hash(key, {reinterpret_cast<const uint8_t*>(data), n * kDigestSize});
}

Digest content_hash(std::span<const std::span<const uint8_t>> pieces) {
  blake3_hasher h;
  blake3_hasher_init(&h);
  for (std::span<const uint8_t> piece : pieces) blake3_hasher_update(&h, piece.data(), piece.size());
  Digest out;
  blake3_hasher_finalize(&h, out.data(), out.size());
  return out;
}

void encode_operator(NodeKind kind, std::string_view name, const ParamMap& params,
                     const PayloadDescriptor* descriptor, std::string& out) {
  put_u8(out, static_cast<uint8_t>(kind));
  if (kind == NodeKind::Source || kind == NodeKind::Op || kind == NodeKind::Reduction) put_text(out, name);
  if (descriptor != nullptr) {
    for (const std::string* field : {&descriptor->kind, &descriptor->content_hash, &descriptor->framework,
                                     &descriptor->version, &descriptor->io_schema}) {
      put_text(out, *field);
    }
    put_u8(out, descriptor->preprocessing_ref ? 1 : 0);
    if (descriptor->preprocessing_ref) put_text(out, *descriptor->preprocessing_ref);
  }
  put_params(out, params);
}

void encode_operator(const NodeKey& key, std::string& out) {
  if (key.kind() != NodeKind::Stage) {
    encode_operator(key.kind(), key.name(), key.params(),
                    key.kind() == NodeKind::External ? &key.descriptor() : nullptr, out);
    return;
  }
  put_u8(out, static_cast<uint8_t>(NodeKind::Stage));
  put_u64(out, key.members().size());
  for (const StageOp& m : key.members()) {
    put_text(out, m.token);
    put_u64(out, m.inputs.size());
    for (const StageRef& r : m.inputs) {
      put_u8(out, static_cast<uint8_t>(r.kind));
      put_u64(out, r.value);
    }
  }
}

Digest operator_digest(std::string_view encoding) {
  return keyed_hash(purpose_key(DigestPurpose::Operator),
                    {reinterpret_cast<const uint8_t*>(encoding.data()), encoding.size()});
}

Digest operator_digest(NodeKind kind, std::string_view name, const ParamMap& params,
                       const PayloadDescriptor* descriptor) {
  std::string bytes;
  encode_operator(kind, name, params, descriptor, bytes);
  return operator_digest(bytes);
}

}  // namespace trellan
