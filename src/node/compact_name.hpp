// The name of a node key: a string of up to 22 bytes kept inline, longer ones
// on the heap. Names are nearly always short, and a key is moved several
// times on its way into a store; moving a CompactName copies three words,
// where std::string's move of a short string calls memcpy.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace trellan {

class CompactName {
 public:
  CompactName() { set_inline_size(0); }
  explicit CompactName(std::string_view s) {
    if (s.size() <= kInline) {
      std::memcpy(bytes_, s.data(), s.size());
      set_inline_size(s.size());
    } else {
      char* p = new char[s.size()];
      std::memcpy(p, s.data(), s.size());
      set_heap(p, s.size());
    }
  }
  CompactName(const CompactName& o) : CompactName(o.view()) {}
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
