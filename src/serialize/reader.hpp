// The cursor that decodes an IR blob. Every read checks that the bytes it
// needs lie within the blob before it moves; no declared count is trusted for
// an allocation larger than what the remaining bytes could hold.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/result.hpp"
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

  std::span<const uint8_t> data_;
  size_t pos_;
  std::vector<NodeId> scratch_;  // id lists too long to stay inline
};

}  // namespace trellan
