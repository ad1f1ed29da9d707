// The IR blob: the canonical, versioned, byte-exact durable form of a store.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "store/graph_store.hpp"

namespace trellan {

struct DecodeError {
  enum class Kind { BadMagic, Truncated, BadTag, InvalidUtf8, BadNodeRef };
  Kind kind = Kind::Truncated;
  const char* record = "";  // BadTag: "node", "param" or "stage-ref"
  uint64_t value = 0;       // BadTag: the tag byte; BadNodeRef: the reference
  std::string message() const;
};

// A value a 32-bit blob field cannot hold; the writer refuses instead of
// writing a blob that would read back differently.
struct EncodeError {
  std::string what;  // names the field that does not fit
  std::string message() const;
};

// Writes the store flagging exactly `outputs` (order and repeats kept).
Result<std::vector<uint8_t>, EncodeError> serialize_with(const GraphStore& store,
                                                         std::span<const NodeId> outputs);
Result<std::unique_ptr<GraphStore>, DecodeError> deserialize(std::span<const uint8_t> data);

}  // namespace trellan
