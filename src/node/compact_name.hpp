// The name of a node key: a string of up to 22 bytes kept inline, longer ones
// on the heap. Names are nearly always short, and a key is moved several
// times on its way into a store; moving a CompactName copies three words,
// where std::string's move of a short string calls memcpy.
#pragma once

#include <cstdint>
#include <bit>
#include <cstring>
#include <string_view>

namespace trellan {

class CompactName {
  static_assert(std::endian::native == std::endian::little, "the size tag is the last byte of a word");

 public:
  CompactName() { set_inline_size(0); }
  explicit CompactName(std::string_view s) { init(s); }
  // An inline name is copied as its three words.
  CompactName(const CompactName& o) {
    if (o.on_heap()) {
      init(o.view());
    } else {
      std::memcpy(bytes_, o.bytes_, sizeof bytes_);
    }
  }
  CompactName(CompactName&& o) noexcept {
    std::memcpy(bytes_, o.bytes_, sizeof bytes_);
    o.set_inline_size(0);
  }
  CompactName& operator=(const CompactName& o) {
    if (this != &o) {
      CompactName copy(o);
      swap(copy);
    }
    return *this;
  }
  CompactName& operator=(CompactName&& o) noexcept {
    swap(o);
    return *this;
  }
  ~CompactName() {
    if (on_heap()) delete[] heap_ptr();
  }

  std::string_view view() const {
    return on_heap() ? std::string_view(heap_ptr(), heap_size())
                     : std::string_view(bytes_, static_cast<unsigned char>(bytes_[kTag]));
  }
  bool operator==(const CompactName& o) const { return view() == o.view(); }
  void swap(CompactName& o) noexcept {
    char tmp[sizeof bytes_];
    std::memcpy(tmp, bytes_, sizeof bytes_);
    std::memcpy(bytes_, o.bytes_, sizeof bytes_);
    std::memcpy(o.bytes_, tmp, sizeof bytes_);
  }

 private:
  // bytes_[kTag] holds the inline size (0..22), or kHeap when the bytes live
  // on the heap; then bytes_ starts with the pointer and the size.
  static constexpr size_t kInline = 22;
  static constexpr size_t kTag = 23;
  static constexpr unsigned char kHeap = 0xFF;

  void init(std::string_view s) {
    if (s.size() <= kInline) {
      copy_short(s.data(), s.size());
    } else {
      char* p = new char[s.size()];
      std::memcpy(p, s.data(), s.size());
      set_heap(p, s.size());
    }
  }
  // Writes the n <= kInline bytes and the size tag as three whole words,
  // assembled from loads that stay within s: word-sized stores are what a
  // later move of the name reads back at once, without waiting for a train
  // of byte stores to drain.
  void copy_short(const char* s, size_t n) {
    uint64_t w0 = 0, w1 = 0, w2 = 0;  // scalars, so they stay in registers
    if (n > 16) {
      std::memcpy(&w0, s, 8);
      std::memcpy(&w1, s + 8, 8);
      std::memcpy(&w2, s + n - 8, 8);
      w2 >>= 8 * (24 - n);  // keeps bytes 16 .. n-1
    } else if (n > 8) {
      std::memcpy(&w0, s, 8);
      std::memcpy(&w1, s + n - 8, 8);
      w1 >>= 8 * (16 - n);  // keeps bytes 8 .. n-1
    } else if (n == 8) {
      std::memcpy(&w0, s, 8);
    } else if (n >= 4) {
      uint32_t lo, hi;
      std::memcpy(&lo, s, 4);
      std::memcpy(&hi, s + n - 4, 4);
      w0 = lo | (uint64_t(hi) << (8 * (n - 4)));
    } else {
      for (size_t i = 0; i < n; ++i) w0 |= uint64_t(static_cast<unsigned char>(s[i])) << (8 * i);
    }
    w2 |= uint64_t(n) << 56;  // the size tag, byte 23 (little-endian)
    std::memcpy(bytes_, &w0, 8);
    std::memcpy(bytes_ + 8, &w1, 8);
    std::memcpy(bytes_ + 16, &w2, 8);
  }
  bool on_heap() const { return static_cast<unsigned char>(bytes_[kTag]) == kHeap; }
  void set_inline_size(size_t n) { bytes_[kTag] = static_cast<char>(n); }
  void set_heap(char* p, uint64_t n) {
    std::memcpy(bytes_, &p, sizeof p);
    std::memcpy(bytes_ + sizeof p, &n, sizeof n);
    bytes_[kTag] = static_cast<char>(kHeap);
  }
  char* heap_ptr() const {
    char* p;
    std::memcpy(&p, bytes_, sizeof p);
    return p;
  }
  uint64_t heap_size() const {
    uint64_t n;
    std::memcpy(&n, bytes_ + sizeof(char*), sizeof n);
    return n;
  }

  alignas(8) char bytes_[24];
};

}  // namespace trellan
