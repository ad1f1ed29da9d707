// An allocator for large tables read at random (hash-table slots, the
// e-graph's per-class arrays) and for the node arena: blocks of 2 MiB and
// more are mapped from the kernel directly, aligned to 2 MiB and offered to it
// for transparent huge pages, since with 4 KiB pages nearly every such read
// would also miss the TLB. Mapping them directly also hands a freed block back
// at once, where the C heap may keep it resident for reuse. Smaller blocks
// come from operator new as usual.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace support {

// Called with +bytes for every large block mapped and -bytes for every one
// returned, when set: a program that counts its heap (a benchmark) sets it
// once, before anything is allocated.
inline std::atomic<void (*)(int64_t)> large_block_observer{nullptr};

namespace huge_pages_detail {

inline constexpr size_t kHuge = size_t{2} << 20;

inline void observe(int64_t bytes) {
  if (auto f = large_block_observer.load(std::memory_order_relaxed)) f(bytes);
}

inline void* map_large(size_t bytes) {
#if defined(__linux__)
  // One extra huge page of address space, so that a 2 MiB-aligned block fits;
  // the unused ends are unmapped again.
  const size_t span = bytes + kHuge;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHuge - 1) & ~(uintptr_t{kHuge} - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = start + span;
  if (end > aligned + bytes) munmap(reinterpret_cast<void*>(aligned + bytes), end - (aligned + bytes));
  void* p = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
  madvise(p, bytes, MADV_HUGEPAGE);
#endif
#else
  void* p = ::operator new(bytes, std::align_val_t{kHuge});
#endif
  observe(static_cast<int64_t>(bytes));
  return p;
}

inline void unmap_large(void* p, size_t bytes) {
  observe(-static_cast<int64_t>(bytes));
#if defined(__linux__)
  munmap(p, bytes);
#else
  ::operator delete(p, std::align_val_t{kHuge});
#endif
}

// Moves a mapped block of old_bytes to a fresh 2 MiB-aligned block of
// new_bytes (both multiples of kHuge, new_bytes larger) by moving its pages
// rather than copying them; the pages past old_bytes read as zero. Returns
// nullptr, with the old block untouched, where pages cannot be moved.
inline void* remap_large(void* p, size_t old_bytes, size_t new_bytes) {
#if defined(__linux__) && defined(MREMAP_FIXED)
  // An aligned place for the block first; mremap then replaces it.
  void* target = nullptr;
  try {
    target = map_large(new_bytes);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  void* moved = mremap(p, old_bytes, new_bytes, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  if (moved == MAP_FAILED) {
    unmap_large(target, new_bytes);
    return nullptr;
  }
  observe(-static_cast<int64_t>(old_bytes));
  return moved;
#else
  (void)p, (void)old_bytes, (void)new_bytes;
  return nullptr;
#endif
}

}  // namespace huge_pages_detail

// Where the blocks of 2 MiB and more come from. Mapped: from the kernel, as
// above. Heap: from aligned operator new, which the C heap serves again from
// memory it kept; the e-graph, which grows and frees its tables over and over
// in one reduction and again in the next, takes them from there.
enum class LargeBlocks { Mapped, Heap };

template <class T, LargeBlocks From = LargeBlocks::Mapped>
struct HugePageAllocator {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = HugePageAllocator<U, From>;
  };
  static constexpr size_t kHuge = huge_pages_detail::kHuge;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U, From>&) {}

  // How many items to allocate room for when at least n are needed: n for a
  // small block, but the whole huge pages that hold n once n passes a quarter
  // of one, so that a table growing by doubling takes its middle-sized blocks
  // mapped too. From the heap, such a block would come in 4 KiB pages, each
  // faulted in on its own: under a hypervisor that costs microseconds per
  // page, several times the cost of the writes that fill it.
  static size_t good_capacity(size_t n) {
    if (n * sizeof(T) < kHuge / 4) return n;
    return rounded(n * sizeof(T)) / sizeof(T);
  }

  // Whether a block of n items comes mapped from the kernel, zeroed.
  static bool fresh_from_kernel(size_t n) {
#if defined(__linux__)
    return From == LargeBlocks::Mapped && n * sizeof(T) >= kHuge;
#else
    (void)n;
    return false;  // aligned operator new: not zeroed
#endif
  }

  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kHuge) return static_cast<T*>(::operator new(bytes));
    if constexpr (From == LargeBlocks::Mapped) {
      return static_cast<T*>(huge_pages_detail::map_large(rounded(bytes)));
    } else {
      void* p = ::operator new(rounded(bytes), std::align_val_t{kHuge});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
      madvise(p, rounded(bytes), MADV_HUGEPAGE);
#endif
      return static_cast<T*>(p);
    }
  }
  void deallocate(T* p, size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kHuge) {
      ::operator delete(p);
    } else if constexpr (From == LargeBlocks::Mapped) {
      huge_pages_detail::unmap_large(p, rounded(bytes));
    } else {
      ::operator delete(p, std::align_val_t{kHuge});
    }
  }
  // Grows a block of old_n to new_n items by moving its pages, without
  // copying, for items that may be moved bytewise; returns the block, or
  // nullptr, with the old block untouched, where that is not possible (a
  // small block, a heap block, a system without page moving). The caller
  // then allocates and moves the items itself.
  T* grow_by_remap(T* p, size_t old_n, size_t new_n) {
    if constexpr (From == LargeBlocks::Mapped) {
      const size_t old_bytes = old_n * sizeof(T);
      if (old_bytes < kHuge || new_n <= old_n) return nullptr;
      return static_cast<T*>(huge_pages_detail::remap_large(p, rounded(old_bytes), rounded(new_n * sizeof(T))));
    } else {
      (void)p, (void)old_n, (void)new_n;
      return nullptr;
    }
  }
  template <class U>
  bool operator==(const HugePageAllocator<U, From>&) const {
    return true;
  }

 private:
  static size_t rounded(size_t bytes) { return (bytes + kHuge - 1) / kHuge * kHuge; }
};

// A fixed number of zeroed items of a trivial type, held in a block from
// HugePageAllocator. A block mapped from the kernel is zero already and is
// not written again: a table that grows by doubling would otherwise write
// each of its new pages twice, once in the kernel and once here.
template <class T>
class ZeroedArray {
  static_assert(std::is_trivial_v<T>);
  using Allocator = HugePageAllocator<T>;

 public:
  ZeroedArray() = default;
  explicit ZeroedArray(size_t n) : size_(n), capacity_(Allocator::good_capacity(n)) {
    data_ = Allocator().allocate(capacity_);
    if (!Allocator::fresh_from_kernel(capacity_)) std::memset(static_cast<void*>(data_), 0, n * sizeof(T));
  }
  ZeroedArray(ZeroedArray&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), capacity_(o.capacity_) {}
  ZeroedArray& operator=(ZeroedArray&& o) noexcept {
    ZeroedArray gone(std::move(*this));
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    capacity_ = o.capacity_;
    return *this;
  }
  ~ZeroedArray() {
    if (data_ != nullptr) Allocator().deallocate(data_, capacity_);
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }

 private:
  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace support
