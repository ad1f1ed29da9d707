// Parameter values and maps: the named parameters every node but a stage
// carries, with their canonical token text and their display form.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/keyed_hash.hpp"
#include "common/variant_copy.hpp"

namespace trellan {

// Every NaN has one identity; -0.0 keeps its own.
uint64_t canonical_float_bits(double v);

class ParamValue {
 public:
  enum class Tag : uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };

  static ParamValue Int(int64_t v) { return ParamValue(Repr(std::in_place_index<0>, v)); }
  static ParamValue Float(double v) { return ParamValue(Repr(std::in_place_index<1>, v)); }
  static ParamValue Bool(bool v) { return ParamValue(Repr(std::in_place_index<2>, v)); }
  static ParamValue Str(std::string v) {
    return ParamValue(Repr(std::in_place_index<3>, std::move(v)));
  }
  // Copying goes through copy_variant, so a failed string copy is bad_alloc.
  ParamValue(const ParamValue& o) : v_(copy_variant(o.v_)) {}
  ParamValue(ParamValue&&) = default;
  ParamValue& operator=(const ParamValue&) = default;
  ParamValue& operator=(ParamValue&&) = default;

  Tag tag() const { return static_cast<Tag>(v_.index()); }
  int64_t as_int() const { return std::get<0>(v_); }
  double as_float() const { return std::get<1>(v_); }
  bool as_bool() const { return std::get<2>(v_); }
  const std::string& as_str() const { return std::get<3>(v_); }

  void append_token(std::string& out) const;
  std::string display() const;
  void hash(KeyedHasher& h) const;
  bool operator==(const ParamValue& other) const;

 private:
  using Repr = std::variant<int64_t, double, bool, std::string>;
  explicit ParamValue(Repr r) : v_(std::move(r)) {}
  Repr v_;
};

using ParamEntry = std::pair<std::string, ParamValue>;

// Entries sorted by key bytes (stable: repeated keys stay in input order).
// Immutable once built, so copies share one entry block.
class ParamMap {
 public:
  ParamMap() = default;
  ParamMap(const ParamMap& o) noexcept : block_(o.block_) { retain(); }
  ParamMap(ParamMap&& o) noexcept : block_(std::exchange(o.block_, nullptr)) {}
  ParamMap& operator=(const ParamMap& o) noexcept {
    ParamMap copy(o);
    std::swap(block_, copy.block_);
    return *this;
  }
  ParamMap& operator=(ParamMap&& o) noexcept {
    std::swap(block_, o.block_);
    return *this;
  }
  ~ParamMap() { release(); }
  static ParamMap make(std::vector<ParamEntry> entries);  // sorts stably by key

  std::span<const ParamEntry> entries() const {
    return block_ ? std::span<const ParamEntry>(block_->entries) : std::span<const ParamEntry>();
  }
  bool empty() const { return !block_ || block_->entries.empty(); }

  void append_token(std::string& out) const;
  std::string display() const;
  // A 64-bit summary of the contents, consistent with ==, computed once when
  // the map is made (keyed by a per-process secret). Hashing a key that
  // carries a map writes this word instead of walking the entries again.
  uint64_t digest() const { return block_ ? block_->digest : 0; }
  bool operator==(const ParamMap& other) const;
  // True when both maps share one entry block (equal without comparing).
  bool same_block(const ParamMap& other) const { return block_ == other.block_; }
  // The identity of the entry block, for tables keyed by block.
  const void* block() const { return block_; }
  // Stricter than ==: floats must agree bit for bit (a NaN keeps its payload),
  // so one map can stand for the other wherever values are written as held.
  bool identical(const ParamMap& other) const;

 private:
  // Shared by every copy of a map and counted in place: one word per map
  // where a shared_ptr would take two, and a key holds a map.
  struct Block {
    std::vector<ParamEntry> entries;
    uint64_t digest;
    mutable std::atomic<uint64_t> refs{1};
  };
  void retain() const noexcept {
    if (block_) block_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  void release() noexcept {
    if (block_ && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete block_;
  }

  const Block* block_ = nullptr;
};

// Shortest decimal that reads back to the same double, no exponent notation.
std::string display_float(double v);
// Double-quoted literal with backslash escapes, as labels and messages show strings.
std::string display_str(std::string_view s);

}  // namespace trellan
