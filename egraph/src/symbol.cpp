#include "egraph/symbol.hpp"

#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "hashing.hpp"

namespace egraph {
namespace {

// The table is split into shards, each with its own lock, so threads interning
// different texts rarely wait for each other. A symbol's number is
// local_index * kShards + shard, which fixes it forever once assigned.
constexpr uint32_t kShardBits = 4;
constexpr uint32_t kShards = 1u << kShardBits;
constexpr size_t kBlockSize = 64 * 1024;

class Shard {
 public:
  // Returns the local index of `text`, adding it when new. Caller holds mu.
  uint32_t intern(std::string_view text, uint64_t hash) {
    if (texts_.size() * 2 >= slots_.size()) grow();
    size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      uint32_t slot = slots_[i];
      if (slot == 0) {
        uint32_t local = static_cast<uint32_t>(texts_.size());
        if (local >= (1u << (32 - kShardBits)) - 1) throw std::length_error("symbol table full");
        texts_.push_back(store(text));
        hashes_.push_back(hash);
        slots_[i] = local + 1;
        return local;
      }
      if (hashes_[slot - 1] == hash && texts_[slot - 1] == text) return slot - 1;
    }
  }

  std::string_view text(uint32_t local) const { return texts_.at(local); }

  std::mutex mu;

 private:
  void grow() {
    std::vector<uint32_t> slots(slots_.empty() ? 64 : slots_.size() * 2, 0);
    size_t mask = slots.size() - 1;
    for (uint32_t local = 0; local < texts_.size(); ++local) {
      size_t i = hashes_[local] & mask;
      while (slots[i] != 0) i = (i + 1) & mask;
      slots[i] = local + 1;
    }
    slots_.swap(slots);
  }

  // Copies the text into storage that is never released.
  std::string_view store(std::string_view text) {
    if (text.empty()) return {};
    char* dst;
    if (text.size() > kBlockSize / 16) {
      dst = new char[text.size()];
    } else {
      if (block_left_ < text.size()) {
        block_ = new char[kBlockSize];
        block_left_ = kBlockSize;
      }
      dst = block_;
      block_ += text.size();
      block_left_ -= text.size();
    }
    std::memcpy(dst, text.data(), text.size());
    return {dst, text.size()};
  }

  std::vector<std::string_view> texts_;  // by local index
  std::vector<uint64_t> hashes_;         // by local index
  std::vector<uint32_t> slots_;          // local index + 1; 0 is empty
  char* block_ = nullptr;
  size_t block_left_ = 0;
};

struct SymbolTable {
  SymbolTable() {
    // The empty text lives in shard 0 as its first entry: number 0, which is
    // what a default-constructed Symbol holds.
    shards[0].intern({}, hash_bytes({}));
  }
  Shard shards[kShards];
};

// Never destroyed: symbols may be used by other static objects at exit.
SymbolTable& table() {
  static SymbolTable* t = new SymbolTable();
  return *t;
}

uint32_t shard_of(std::string_view text, uint64_t hash) {
  return text.empty() ? 0 : static_cast<uint32_t>(hash >> (64 - kShardBits));
}

}  // namespace

uint32_t Symbol::intern_number(std::string_view text) {
  uint64_t hash = hash_bytes(text);
  uint32_t s = shard_of(text, hash);
  Shard& shard = table().shards[s];
  std::lock_guard lock(shard.mu);
  return (shard.intern(text, hash) << kShardBits) | s;
}

std::string_view Symbol::str() const {
  Shard& shard = table().shards[n_ & (kShards - 1)];
  std::lock_guard lock(shard.mu);
  return shard.text(n_ >> kShardBits);
}

}  // namespace egraph
