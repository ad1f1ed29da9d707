#include "egraph/symbol.hpp"

#include <algorithm>
#include <cstring>
#include <new>
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

// An interned text with its header, stored once in never-freed memory.
struct Entry {
  uint32_t local;
  uint32_t size;
  std::string_view text() const { return {reinterpret_cast<const char*>(this + 1), size}; }
};

class Shard {
 public:
  // Probing compares the full hash held in the slot and then the entry, so a
  // lookup touches two cache lines. Caller holds mu.
  uint32_t intern(std::string_view text, uint64_t hash) {
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.entry == nullptr) {
        if (entries_.size() >= (1u << (32 - kShardBits)) - 1) throw std::length_error("symbol table full");
        slot = {hash, store(text)};
        entries_.push_back(slot.entry);
        return slot.entry->local;
      }
      if (slot.hash == hash && slot.entry->text() == text) return slot.entry->local;
    }
  }

  void prefetch(uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }

  std::string_view text(uint32_t local) const { return entries_.at(local)->text(); }

  std::mutex mu;

 private:
  struct Slot {
    uint64_t hash;
    const Entry* entry;  // nullptr when empty
  };

  void grow() {
    std::vector<Slot> slots(slots_.empty() ? 64 : slots_.size() * 2, Slot{0, nullptr});
    size_t mask = slots.size() - 1;
    for (const Slot& s : slots_) {
      if (s.entry == nullptr) continue;
      size_t i = s.hash & mask;
      while (slots[i].entry != nullptr) i = (i + 1) & mask;
      slots[i] = s;
    }
    slots_.swap(slots);
  }

  // Copies the text into storage that is never released.
  const Entry* store(std::string_view text) {
    size_t bytes = (sizeof(Entry) + text.size() + alignof(Entry) - 1) / alignof(Entry) * alignof(Entry);
    char* dst;
    if (bytes > kBlockSize / 16) {
      dst = new char[bytes];
    } else {
      if (block_left_ < bytes) {
        block_ = new char[kBlockSize];
        block_left_ = kBlockSize;
      }
      dst = block_;
      block_ += bytes;
      block_left_ -= bytes;
    }
    auto* e = new (dst) Entry{static_cast<uint32_t>(entries_.size()), static_cast<uint32_t>(text.size())};
    if (!text.empty()) std::memcpy(e + 1, text.data(), text.size());
    return e;
  }

  std::vector<const Entry*> entries_;  // by local index
  std::vector<Slot> slots_;
  char* block_ = nullptr;  // blocks are allocated with operator new[], so aligned for Entry
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

// Groups the texts by shard so that each shard's lock is taken once per
// batch, and prefetches each probe's slot a few texts ahead.
void Symbol::intern_all(std::span<const std::string_view> texts, std::span<Symbol> out) {
  if (out.size() != texts.size()) throw std::invalid_argument("Symbol::intern_all: sizes differ");
  constexpr size_t kBatch = 1024, kAhead = 8;
  std::vector<uint64_t> hashes;
  std::vector<uint32_t> order, starts(kShards + 1);
  SymbolTable& t = table();
  for (size_t base = 0; base < texts.size(); base += kBatch) {
    size_t n = std::min(kBatch, texts.size() - base);
    hashes.resize(n);
    order.resize(n);
    std::fill(starts.begin(), starts.end(), 0);
    for (size_t i = 0; i < n; ++i) {
      hashes[i] = hash_bytes(texts[base + i]);
      ++starts[shard_of(texts[base + i], hashes[i]) + 1];
    }
    for (uint32_t s = 0; s < kShards; ++s) starts[s + 1] += starts[s];
    std::vector<uint32_t> fill(starts.begin(), starts.end() - 1);
    for (size_t i = 0; i < n; ++i) order[fill[shard_of(texts[base + i], hashes[i])]++] = static_cast<uint32_t>(i);
    for (uint32_t s = 0; s < kShards; ++s) {
      if (starts[s] == starts[s + 1]) continue;
      Shard& shard = t.shards[s];
      std::lock_guard lock(shard.mu);
      for (uint32_t k = starts[s]; k < starts[s + 1]; ++k) {
        if (k + kAhead < starts[s + 1]) shard.prefetch(hashes[order[k + kAhead]]);
        uint32_t i = order[k];
        out[base + i].n_ = (shard.intern(texts[base + i], hashes[i]) << kShardBits) | s;
      }
    }
  }
}

std::string_view Symbol::str() const {
  Shard& shard = table().shards[n_ & (kShards - 1)];
  std::lock_guard lock(shard.mu);
  return shard.text(n_ >> kShardBits);
}

}  // namespace egraph
