// An immutable text that every copy shares: a stage member's op token. The
// members of a large reduced graph repeat a few thousand tokens millions of
// times; each held as a string of its own, the tokens and their allocations
// were most of the memory a reduction's result faults in.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace trellan {

class SharedText {
 public:
  SharedText() = default;
  SharedText(std::string_view s) : rep_(make(s)) {}  // NOLINT: a token is written as its text
  SharedText(const char* s) : SharedText(std::string_view(s)) {}  // NOLINT
  SharedText(const std::string& s) : SharedText(std::string_view(s)) {}  // NOLINT
  SharedText(const SharedText& o) noexcept : rep_(o.rep_) {
    if (rep_) rep_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  SharedText(SharedText&& o) noexcept : rep_(std::exchange(o.rep_, nullptr)) {}
  SharedText& operator=(SharedText o) noexcept {
    std::swap(rep_, o.rep_);
    return *this;
  }
  ~SharedText() {
    if (rep_ && rep_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      rep_->~Rep();
      ::operator delete(rep_);
    }
  }

  std::string_view view() const { return rep_ ? std::string_view(rep_->bytes(), rep_->size) : std::string_view(); }
  operator std::string_view() const { return view(); }  // NOLINT: read wherever a text is
  size_t size() const { return rep_ ? rep_->size : 0; }
  bool empty() const { return size() == 0; }
  // Whether both are the one shared text (then they are equal).
  bool same(const SharedText& o) const { return rep_ == o.rep_; }

  friend bool operator==(const SharedText& a, const SharedText& b) { return a.same(b) || a.view() == b.view(); }
  friend bool operator==(const SharedText& a, std::string_view b) { return a.view() == b; }

 private:
  struct Rep {
    std::atomic<size_t> refs;
    size_t size;
    char* bytes() { return reinterpret_cast<char*>(this + 1); }
  };
  static Rep* make(std::string_view s) {
    void* raw = ::operator new(sizeof(Rep) + s.size());
    Rep* rep = new (raw) Rep{{1}, s.size()};
    if (!s.empty()) std::memcpy(rep->bytes(), s.data(), s.size());
    return rep;
  }
  Rep* rep_ = nullptr;
};

}  // namespace trellan
