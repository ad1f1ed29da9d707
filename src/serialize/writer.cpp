// The blob writer. One layout function walks a node and feeds its fields to a
// sink; for each node it runs twice in a row: a measuring sink that adds up
// the node's exact size and refuses values a 32-bit field cannot hold, then a
// writing sink that fills that many bytes without further capacity checks.
#include <algorithm>
#include <string>

#include "common/panic.hpp"
#include "serialize/blob.hpp"
#include "serialize/wire.hpp"

namespace trellan {

std::string EncodeError::message() const {
  return "cannot write trellan IR blob: " + what + " does not fit in a 32-bit field";
}

namespace {

// The 32-bit fields, named for EncodeError.
enum class Field { NodeCount, OutputCount, StringLength, ParamCount, InputCount, MemberCount,
                   ReferenceCount, ReferenceValue };

const char* field_name(Field f) {
  switch (f) {
    // Counts and lengths reach 2^32 only in stores far larger than a test
    // can build; a stage reference value is any number.
    // LCOV_EXCL_START
    case Field::NodeCount: return "node count";
    case Field::OutputCount: return "output count";
    case Field::StringLength: return "string length";
    case Field::ParamCount: return "param count";
    case Field::InputCount: return "input count";
    case Field::MemberCount: return "member count";
    case Field::ReferenceCount: return "reference count";
    // LCOV_EXCL_STOP
    case Field::ReferenceValue: return "stage reference value";
  }
  return "field";  // LCOV_EXCL_LINE: every field returns above
}

class MeasureSink {
 public:
  void u8(uint8_t) { size_ += 1; }
  void u64(uint64_t) { size_ += 8; }
  void field32(Field f, uint64_t v) {
    size_ += 4;
    if (v > wire::kMaxField && !failed_) {
      failed_ = true;
      field_ = f;
      value_ = v;
    }
  }
  void bytes(const void*, size_t n) { size_ += n; }
  void ids(std::span<const NodeId> ids) { size_ += 8 * ids.size(); }

  size_t size() const { return size_; }
  bool failed() const { return failed_; }
  EncodeError error(const std::string& where) const {
    return EncodeError{std::string(field_name(field_)) + " " + std::to_string(value_) + where};
  }

 private:
  size_t size_ = 0;
  bool failed_ = false;
  Field field_ = Field::NodeCount;
  uint64_t value_ = 0;
};

class WriteSink {
 public:
  explicit WriteSink(uint8_t* p) : p_(p) {}
  void u8(uint8_t v) { *p_++ = v; }
  void u64(uint64_t v) {
    wire::store_u64(p_, v);
    p_ += 8;
  }
  // The measuring pass has refused every value above 32 bits except stage
  // reference values, whose low 32 bits are the field.
  void field32(Field, uint64_t v) {
    wire::store_u32(p_, static_cast<uint32_t>(v));
    p_ += 4;
  }
  // Names, keys and id lists are mostly a few bytes long: copy those with
  // fixed-size moves (two that may overlap) rather than a call to memcpy.
  void bytes(const void* src, size_t n) {
    const auto* s = static_cast<const uint8_t*>(src);
    if (n >= 8 && n <= 16) {
      std::memcpy(p_, s, 8);
      std::memcpy(p_ + n - 8, s + n - 8, 8);
    } else if (n >= 4 && n < 8) {
      std::memcpy(p_, s, 4);
      std::memcpy(p_ + n - 4, s + n - 4, 4);
    } else if (n < 4) {
      for (size_t i = 0; i < n; ++i) p_[i] = s[i];
    } else {
      std::memcpy(p_, s, n);
    }
    p_ += n;
  }
  // Ids are written as the machine holds them (little-endian, see wire.hpp).
  void ids(std::span<const NodeId> ids) { bytes(ids.data(), 8 * ids.size()); }
  uint8_t* pos() const { return p_; }

 private:
  uint8_t* p_;
};

template <class Sink>
void put_str(Sink& s, std::string_view str) {
  s.field32(Field::StringLength, str.size());
  s.bytes(str.data(), str.size());
}

template <class Sink>
void put_ids(Sink& s, std::span<const NodeId> ids) {
  s.field32(Field::InputCount, ids.size());
  s.ids(ids);
}

template <class Sink>
void put_params(Sink& s, const ParamMap& params) {
  auto entries = params.entries();
  s.field32(Field::ParamCount, entries.size());
  for (const auto& [key, value] : entries) {
    put_str(s, key);
    s.u8(static_cast<uint8_t>(value.tag()));
    switch (value.tag()) {
      case ParamValue::Tag::Int: s.u64(static_cast<uint64_t>(value.as_int())); break;
      case ParamValue::Tag::Float: s.u64(std::bit_cast<uint64_t>(value.as_float())); break;
      case ParamValue::Tag::Bool: s.u8(value.as_bool() ? 1 : 0); break;
      case ParamValue::Tag::Str: put_str(s, value.as_str()); break;
    }
  }
}

template <class Sink>
void put_descriptor(Sink& s, const PayloadDescriptor& d) {
  put_str(s, d.kind);
  put_str(s, d.content_hash);
  put_str(s, d.framework);
  put_str(s, d.version);
  put_str(s, d.io_schema);
  s.u8(d.preprocessing_ref ? 1 : 0);
  if (d.preprocessing_ref) put_str(s, *d.preprocessing_ref);
}

template <class Sink>
void put_members(Sink& s, std::span<const StageOp> members) {
  s.field32(Field::MemberCount, members.size());
  for (const StageOp& m : members) {
    put_str(s, m.token);
    s.field32(Field::ReferenceCount, m.inputs.size());
    for (const StageRef& r : m.inputs) {
      s.u8(r.kind == StageRef::Kind::Member ? 1 : 0);
      s.field32(Field::ReferenceValue, r.value);
    }
  }
}

template <class Sink>
void put_node(Sink& s, const NodeKey& key) {
  s.u8(static_cast<uint8_t>(key.kind()));
  switch (key.kind()) {
    case NodeKind::Source:
      put_str(s, key.name());
      put_params(s, key.params());
      return;
    case NodeKind::Op:
    case NodeKind::Reduction:
      put_str(s, key.name());
      put_params(s, key.params());
      put_ids(s, key.inputs());
      return;
    case NodeKind::External:
      put_descriptor(s, key.descriptor());
      put_params(s, key.params());
      put_ids(s, key.inputs());
      return;
    case NodeKind::Stage:
      put_ids(s, key.inputs());
      put_members(s, key.members());
      return;
    case NodeKind::Exchange:
    case NodeKind::Join:
      put_params(s, key.params());
      put_ids(s, key.inputs());
      return;
  }
}

template <class Sink>
void put_header(Sink& s, uint64_t node_count) {
  s.bytes(wire::kMagic, 4);
  s.field32(Field::NodeCount, node_count);
}

template <class Sink>
void put_outputs(Sink& s, std::span<const NodeId> outputs) {
  s.field32(Field::OutputCount, outputs.size());
  s.ids(outputs);
}

// The buffer is sized from a sample of the nodes, with an eighth to spare,
// and grows by half when a store turns out larger. A sampled node counts at
// most kSampleCap bytes, so one huge string cannot inflate the guess for all.
constexpr size_t kSampleNodes = 4096;
constexpr size_t kSampleCap = 1024;

size_t estimate_size(std::span<const NodeKey> nodes, size_t fixed) {
  if (nodes.empty()) return fixed;
  const size_t stride = std::max<size_t>(1, nodes.size() / kSampleNodes);
  size_t sampled = 0, bytes = 0;
  for (size_t i = 0; i < nodes.size(); i += stride, ++sampled) {
    MeasureSink m;
    put_node(m, nodes[i]);
    bytes += std::min(m.size(), kSampleCap);
  }
  const size_t per_node = bytes / sampled + 1;
  return fixed + nodes.size() * per_node + nodes.size() * per_node / 8;
}

class Buffer {
 public:
  explicit Buffer(size_t estimate) : out_(estimate) {}

  // Writes `size` bytes through put(WriteSink&).
  template <class Put>
  void write(size_t size, Put&& put) {
    if (out_.size() - pos_ < size) out_.resize(std::max(pos_ + size, out_.size() + out_.size() / 2));
    WriteSink w(out_.data() + pos_);
    put(w);
    if (w.pos() != out_.data() + pos_ + size) panic("blob writer: measured and written sizes differ");
    pos_ += size;
  }

  std::vector<uint8_t> take() && {
    out_.resize(pos_);
    return std::move(out_);
  }

 private:
  std::vector<uint8_t> out_;
  size_t pos_ = 0;
};

Result<std::vector<uint8_t>, EncodeError> encode(std::span<const NodeKey> nodes,
                                                 std::span<const NodeId> outputs) {
  MeasureSink fixed;
  put_header(fixed, nodes.size());
  put_outputs(fixed, outputs);
  if (fixed.failed()) return Err(fixed.error(""));

  Buffer out(estimate_size(nodes, fixed.size()));
  out.write(8, [&](WriteSink& w) { put_header(w, nodes.size()); });
  for (size_t i = 0; i < nodes.size(); ++i) {
    // Measuring brings the node into cache for the write right after it.
    MeasureSink m;
    put_node(m, nodes[i]);
    if (m.failed()) return Err(m.error(" in node " + std::to_string(i)));
    out.write(m.size(), [&](WriteSink& w) { put_node(w, nodes[i]); });
  }
  out.write(fixed.size() - 8, [&](WriteSink& w) { put_outputs(w, outputs); });
  return std::move(out).take();
}

}  // namespace

Result<std::vector<uint8_t>, EncodeError> serialize_with(const GraphStore& store,
                                                         std::span<const NodeId> outputs) {
  // Encoding is pure C++ and never calls back into the store, so it runs under
  // the lock on the arena itself rather than on a copy of it.
  return store.read_locked([&](std::span<const NodeKey> nodes, std::span<const NodeId>) {
    return encode(nodes, outputs);
  });
}

}  // namespace trellan
