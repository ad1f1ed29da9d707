// The cursor that decodes an IR blob. Every read checks that the bytes it
// needs lie within the blob before it moves; no declared count is trusted for
// an allocation larger than what the remaining bytes could hold.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/keyed_hash.hpp"
#include "common/recent_ids.hpp"
#include "common/result.hpp"
#include "common/tagged_index.hpp"
#include "node/node_key.hpp"
#include "serialize/blob.hpp"

namespace trellan {

class Reader {
 public:
  Reader(std::span<const uint8_t> data, size_t pos) : data_(data), pos_(pos) {}

  size_t pos() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }

  Result<uint8_t, DecodeError> u8();
  Result<uint32_t, DecodeError> u32();
  Result<uint64_t, DecodeError> u64();
  // A length-prefixed string whose body must be valid UTF-8.
  Result<std::string, DecodeError> string();
  // The same, as a view of the blob's bytes.
  Result<std::string_view, DecodeError> string_view();
  // A params field, ordered by key as ParamMap::make orders it.
  Result<ParamMap, DecodeError> params();
  // An id list; every id must be below `bound`.
  Result<IdList, DecodeError> inputs(uint64_t bound);
  Result<PayloadDescriptor, DecodeError> descriptor();
  // A stage's member list: a member may refer only to earlier members.
  Result<std::vector<StageOp>, DecodeError> members();
  // One node record (tag and fields); inputs must be below `index`.
  Result<NodeKey, DecodeError> record(uint64_t index);

 private:
  bool has(size_t n) const { return remaining() >= n; }
  // The size of the params field at pos_ when it is complete and its tags are
  // valid, else 0. Reads nothing else: no allocation, no UTF-8 check.
  size_t params_size() const;
  Result<ParamMap, DecodeError> decode_params();

  std::span<const uint8_t> data_;
  size_t pos_;
  std::vector<NodeId> scratch_;  // id lists too long to stay inline

  // Params fields decoded so far, by their bytes: a blob repeats a few maps on
  // most of its nodes, and equal bytes decode to one map, so each distinct
  // field is decoded once and its nodes share the result.
  struct SeenParams {
    size_t offset;
    size_t size;
    ParamMap map;
  };
  HashKey seen_key_ = HashKey::random();  // the bytes come from outside
  TaggedIndex seen_index_;
  std::vector<SeenParams> seen_;
  // Positions of the last few fields found, compared before anything is
  // hashed: records mostly repeat a map they met a moment ago.
  RecentIds<size_t, 4> recent_;
};

}  // namespace trellan
