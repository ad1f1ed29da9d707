#include "serialize/reader.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

#include "serialize/utf8.hpp"
#include "serialize/wire.hpp"

namespace trellan {

std::string DecodeError::message() const {
  switch (kind) {
    case Kind::BadMagic: return "not a trellan IR blob (bad magic/version)";
    case Kind::Truncated: return "truncated trellan IR blob";
    case Kind::BadTag: return std::string("invalid ") + record + " tag " + std::to_string(value);
    case Kind::InvalidUtf8: return "invalid utf-8 in trellan IR blob";
    case Kind::BadNodeRef: return "node reference " + std::to_string(value) + " out of range";
  }
  return "invalid trellan IR blob";  // LCOV_EXCL_LINE: every kind returns above
}

namespace {

using Kind = DecodeError::Kind;

Err<DecodeError> truncated() { return Err(DecodeError{Kind::Truncated}); }
Err<DecodeError> bad_tag(const char* record, uint8_t tag) {
  return Err(DecodeError{Kind::BadTag, record, tag});
}
Err<DecodeError> bad_ref(uint64_t value) { return Err(DecodeError{Kind::BadNodeRef, "", value}); }

// Smallest encodings, used to cap reservations by what the rest of the blob
// could hold: a param entry (empty key, tag, bool byte), a member (empty
// token, no references), a stage reference.
constexpr size_t kMinParamEntry = 4 + 1 + 1;
constexpr size_t kMinMember = 4 + 4;
constexpr size_t kStageRef = 5;
// A source with an empty name and no params: tag, name length, param count.
constexpr size_t kMinRecord = 1 + 4 + 4;

}  // namespace

// Binds the value of a Result-returning read to `var`, or returns its error.
#define TRY_READ(var, expr)                                \
  auto var##_result = (expr);                              \
  if (!var##_result.ok()) return Err(var##_result.error()); \
  auto var = std::move(var##_result).value()

Result<uint8_t, DecodeError> Reader::u8() {
  if (!has(1)) return truncated();
  return data_[pos_++];
}

Result<uint32_t, DecodeError> Reader::u32() {
  if (!has(4)) return truncated();
  uint32_t v = wire::load_u32(data_.data() + pos_);
  pos_ += 4;
  return v;
}

Result<uint64_t, DecodeError> Reader::u64() {
  if (!has(8)) return truncated();
  uint64_t v = wire::load_u64(data_.data() + pos_);
  pos_ += 8;
  return v;
}

Result<std::string, DecodeError> Reader::string() {
  TRY_READ(text, string_view());
  return std::string(text);
}

Result<std::string_view, DecodeError> Reader::string_view() {
  TRY_READ(len, u32());
  if (!has(len)) return truncated();
  const uint8_t* body = data_.data() + pos_;
  if (!valid_utf8(body, len)) return Err(DecodeError{Kind::InvalidUtf8});
  pos_ += len;
  return std::string_view(reinterpret_cast<const char*>(body), len);
}

size_t Reader::params_size() const {
  const size_t end = data_.size();
  size_t p = pos_;
  auto field32 = [&](uint32_t& v) {
    if (end - p < 4) return false;
    v = wire::load_u32(data_.data() + p);
    p += 4;
    return true;
  };
  auto skip = [&](size_t n) {
    if (end - p < n) return false;
    p += n;
    return true;
  };
  uint32_t count = 0, len = 0;
  if (!field32(count)) return 0;
  for (uint32_t e = 0; e < count; ++e) {
    if (!field32(len) || !skip(len) || !skip(1)) return 0;
    switch (data_[p - 1]) {
      case 0:
      case 1:
        if (!skip(8)) return 0;
        break;
      case 2:
        if (!skip(1)) return 0;
        break;
      case 3:
        if (!field32(len) || !skip(len)) return 0;
        break;
      default:
        return 0;
    }
  }
  return p - pos_;
}

Result<ParamMap, DecodeError> Reader::params() {
  const size_t size = params_size();
  if (size <= 4) return decode_params();  // empty, or an error to report
  const uint8_t* bytes = data_.data() + pos_;
  auto same_bytes = [&](const SeenParams& seen) {
    return seen.size == size && std::memcmp(data_.data() + seen.offset, bytes, size) == 0;
  };
  if (auto r = recent_.find([&](size_t id) { return same_bytes(seen_[id]); })) {
    pos_ += size;
    return seen_[*r].map;
  }
  KeyedHasher h(seen_key_);
  h.write_str(std::string_view(reinterpret_cast<const char*>(bytes), size));
  const uint64_t hash = h.finish();
  seen_index_.reserve_one();
  const auto probe = seen_index_.find(hash, [&](uint64_t id) { return same_bytes(seen_[id]); });
  size_t id = probe.id;
  if (probe.found) {
    pos_ += size;
  } else {
    const size_t offset = pos_;
    TRY_READ(map, decode_params());
    seen_.reserve(seen_.size() + 1 > seen_.capacity() ? 2 * seen_.size() + 1 : seen_.capacity());
    id = seen_index_.insert(probe, hash);
    seen_.push_back(SeenParams{offset, size, std::move(map)});
  }
  recent_.remember(id);
  return seen_[id].map;
}

Result<ParamMap, DecodeError> Reader::decode_params() {
  TRY_READ(count, u32());
  if (count == 0) return ParamMap();
  std::vector<ParamEntry> entries;
  entries.reserve(std::min<size_t>(count, remaining() / kMinParamEntry));
  for (uint32_t e = 0; e < count; ++e) {
    TRY_READ(key, string());
    TRY_READ(tag, u8());
    switch (tag) {
      case 0: {
        TRY_READ(bits, u64());
        entries.emplace_back(std::move(key), ParamValue::Int(static_cast<int64_t>(bits)));
        break;
      }
      case 1: {
        // The bits as held: a NaN keeps its sign and payload.
        TRY_READ(bits, u64());
        entries.emplace_back(std::move(key), ParamValue::Float(std::bit_cast<double>(bits)));
        break;
      }
      case 2: {
        TRY_READ(b, u8());
        entries.emplace_back(std::move(key), ParamValue::Bool(b != 0));
        break;
      }
      case 3: {
        TRY_READ(text, string());
        entries.emplace_back(std::move(key), ParamValue::Str(std::move(text)));
        break;
      }
      default:
        return bad_tag("param", tag);
    }
  }
  return ParamMap::make(std::move(entries));
}

Result<IdList, DecodeError> Reader::inputs(uint64_t bound) {
  TRY_READ(count, u32());
  // Ids are checked in list order up to where the data runs out, so an
  // out-of-range id before the end of the data wins over truncation.
  const size_t present = std::min<size_t>(count, remaining() / 8);
  const uint8_t* p = data_.data() + pos_;
  scratch_.resize(present);
  for (size_t k = 0; k < present; ++k) {
    NodeId id = wire::load_u64(p + 8 * k);
    if (id >= bound) return bad_ref(id);
    scratch_[k] = id;
  }
  if (present < count) return truncated();
  pos_ += 8 * size_t(count);
  return IdList(std::span<const NodeId>(scratch_));
}

Result<PayloadDescriptor, DecodeError> Reader::descriptor() {
  PayloadDescriptor d;
  for (std::string* field : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) {
    TRY_READ(text, string());
    *field = std::move(text);
  }
  TRY_READ(present, u8());
  if (present != 0) {
    TRY_READ(ref, string());
    d.preprocessing_ref = std::move(ref);
  }
  return d;
}

Result<std::vector<StageOp>, DecodeError> Reader::members() {
  TRY_READ(count, u32());
  std::vector<StageOp> members;
  members.reserve(std::min<size_t>(count, remaining() / kMinMember));
  for (uint32_t j = 0; j < count; ++j) {
    TRY_READ(token, string());
    TRY_READ(refs, u32());
    StageOp member{std::move(token), {}};
    member.inputs.reserve(std::min<size_t>(refs, remaining() / kStageRef));
    for (uint32_t r = 0; r < refs; ++r) {
      if (!has(kStageRef)) return truncated();
      const uint8_t kind = data_[pos_];
      const uint32_t value = wire::load_u32(data_.data() + pos_ + 1);
      pos_ += kStageRef;
      if (kind == 0) {
        member.inputs.push_back(StageRef::input(value));
      } else if (kind == 1) {
        if (value >= j) return bad_ref(value);
        member.inputs.push_back(StageRef::member(value));
      } else {
        return bad_tag("stage-ref", kind);
      }
    }
    members.push_back(std::move(member));
  }
  return members;
}

Result<NodeKey, DecodeError> Reader::record(uint64_t index) {
  TRY_READ(tag, u8());
  switch (tag) {
    case 0: {
      TRY_READ(name, string_view());
      TRY_READ(pm, params());
      return NodeKey::source(name, std::move(pm));
    }
    case 1:
    case 2: {
      TRY_READ(name, string_view());
      TRY_READ(pm, params());
      TRY_READ(ins, inputs(index));
      return tag == 1 ? NodeKey::op(name, std::move(pm), std::move(ins))
                      : NodeKey::reduction(name, std::move(pm), std::move(ins));
    }
    case 3: {
      TRY_READ(desc, descriptor());
      TRY_READ(pm, params());
      TRY_READ(ins, inputs(index));
      return NodeKey::external(std::move(desc), std::move(pm), std::move(ins));
    }
    case 4: {
      TRY_READ(ins, inputs(index));
      TRY_READ(mems, members());
      return NodeKey::stage(std::move(ins), std::move(mems));
    }
    case 5:
    case 6: {
      TRY_READ(pm, params());
      TRY_READ(ins, inputs(index));
      return tag == 5 ? NodeKey::exchange(std::move(pm), std::move(ins))
                      : NodeKey::join(std::move(pm), std::move(ins));
    }
    default:
      return bad_tag("node", tag);
  }
}

Result<std::unique_ptr<GraphStore>, DecodeError> deserialize(std::span<const uint8_t> data) {
  if (data.size() < 4) return truncated();
  if (!std::equal(data.begin(), data.begin() + 4, wire::kMagic)) {
    return Err(DecodeError{Kind::BadMagic});
  }
  if (data.size() < 8) return truncated();
  const uint32_t node_count = wire::load_u32(data.data() + 4);

  // The store is private until returned, so its lock is never contended.
  auto store = std::make_unique<GraphStore>();
  // Room for the declared nodes, but never more than the rest of the blob
  // could hold (a record takes at least kMinRecord bytes), so a count that
  // the data does not back cannot make the reader allocate.
  const uint64_t backed = std::min<uint64_t>(node_count, (data.size() - 8) / kMinRecord);
  store->reserve(backed);
  Reader reader(data, 8);

  // References (inputs, stage inputs, outputs) name records. A record equal
  // to an earlier node collapses into it, and from then on record i is no
  // longer node i: node_of holds the node of every record read so far, and
  // each later record is interned alone, its inputs resolved through it. In a
  // canonical blob, the only kind the writer makes, no record collapses;
  // record i is node i, node_of stays empty, and records are appended a batch
  // at a time, which lets the store overlap the table probes of neighbours.
  std::vector<NodeId> node_of;
  bool collapsed = false;
  std::vector<NodeId> resolved;
  auto intern_resolved = [&](NodeKey& key) -> Status<DecodeError> {
    resolved.clear();
    for (NodeId input : key.inputs()) resolved.push_back(node_of[input]);
    auto id = resolved.empty() ? store->intern(std::move(key))
                               : store->intern(key.with_inputs(IdList(resolved)));
    // Resolved inputs are nodes of the store, so intern cannot refuse them.
    if (!id.ok()) return bad_ref(id.error().id);
    node_of.push_back(id.value());
    return {};
  };
  constexpr size_t kBatch = 256;
  std::vector<NodeKey> batch;
  batch.reserve(kBatch);
  // Appends the batch while each record is a new node; from the first that
  // collapses on, the records go one by one.
  auto flush = [&]() -> Status<DecodeError> {
    const uint64_t first = store->node_count();
    const size_t appended = store->append_new(batch);
    if (appended < batch.size()) {
      collapsed = true;
      node_of.reserve(backed);
      node_of.resize(first + appended);
      std::iota(node_of.begin(), node_of.end(), NodeId{0});
      for (size_t k = appended; k < batch.size(); ++k) {
        if (auto interned = intern_resolved(batch[k]); !interned.ok()) return interned;
      }
    }
    batch.clear();
    return {};
  };
  for (uint64_t i = 0; i < node_count; ++i) {
    auto key = reader.record(i);  // moved into the batch straight from the result
    if (!key.ok()) return Err(key.error());
    if (collapsed) {
      if (auto interned = intern_resolved(key.value()); !interned.ok()) return Err(interned.error());
      continue;
    }
    batch.push_back(std::move(key).value());
    if (batch.size() == kBatch) {
      if (auto flushed = flush(); !flushed.ok()) return Err(flushed.error());
    }
  }
  if (auto flushed = flush(); !flushed.ok()) return Err(flushed.error());
  TRY_READ(output_count, reader.u32());
  for (uint32_t k = 0; k < output_count; ++k) {
    TRY_READ(id, reader.u64());
    // Any record may be an output.
    if (id >= node_count) return bad_ref(id);
    auto marked = store->mark_output(collapsed ? node_of[id] : id);
    if (!marked.ok()) return bad_ref(id);
  }
  return store;
}

#undef TRY_READ

}  // namespace trellan
