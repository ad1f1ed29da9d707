// An allocator for large tables read at random (hash-table slots, the
// e-graph's per-class arrays) and for the node arena: blocks of 2 MiB and
// more are mapped from the kernel directly, aligned to 2 MiB and offered to it
// for transparent huge pages, since with 4 KiB pages nearly every such read
// would also miss the TLB. Mapping them directly also hands a freed block back
// at once, where the C heap may keep it resident for reuse. Smaller blocks
// come from operator new as usual.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/page_warmer.hpp"

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

// Mapped blocks given back while a RecycleScope is open on the thread, kept
// to be handed out again. held: the bytes mapped since the scope opened and
// not returned to the kernel, kept ones included (it goes below zero when
// blocks mapped before are given back); peak: its highest value.
struct Recycler {
  static constexpr size_t kMaxKept = 64;
  struct Block {
    void* p;
    size_t bytes;
  };
  Block kept[kMaxKept];
  size_t count = 0;
  int64_t held = 0, peak = 0;
  // Populates the fresh blocks mapped in the scope on another thread.
  PageWarmer warmer;

  // The smallest kept block of at least `bytes`, cut to `bytes` (the rest is
  // kept), or nullptr.
  void* take(size_t bytes) {
    size_t best = count;
    for (size_t i = 0; i < count; ++i) {
      if (kept[i].bytes >= bytes && (best == count || kept[i].bytes < kept[best].bytes)) best = i;
    }
    if (best == count) return nullptr;
    Block b = kept[best];
    kept[best] = kept[--count];
    if (b.bytes > bytes) kept[count++] = {static_cast<char*>(b.p) + bytes, b.bytes - bytes};
    return b.p;
  }
  // Keeps a block, or says no when there is no room left.
  bool keep(void* p, size_t bytes) {
    if (count == kMaxKept) return false;
    kept[count++] = {p, bytes};
    return true;
  }
  // Before `bytes` more are mapped: returns kept blocks, the largest first,
  // until mapping them would not take the thread past the most it has held,
  // so that keeping never makes the process larger than giving back at once
  // would.
  void make_room(size_t bytes);
  void mapped(size_t bytes) {
    held += static_cast<int64_t>(bytes);
    peak = std::max(peak, held);
  }
  // When no kept block is large enough alone: a fresh block of `bytes` into
  // which kept blocks, the largest first, have been moved page table and all,
  // or nullptr when that is not possible or nothing is kept.
  void* stitch(size_t bytes);
  void release_all();
};
inline thread_local Recycler* recycler = nullptr;

inline void release_large(void* p, size_t bytes) {
  if (recycler) recycler->warmer.forget(p, bytes);
  observe(-static_cast<int64_t>(bytes));
#if defined(__linux__)
  munmap(p, bytes);
#else
  ::operator delete(p, std::align_val_t{kHuge});
#endif
}

inline void Recycler::make_room(size_t bytes) {
  while (count > 0 && held + static_cast<int64_t>(bytes) > peak) {
    size_t largest = 0;
    for (size_t i = 1; i < count; ++i) largest = kept[i].bytes > kept[largest].bytes ? i : largest;
    const Block b = kept[largest];
    kept[largest] = kept[--count];
    held -= static_cast<int64_t>(b.bytes);
    release_large(b.p, b.bytes);
  }
}

// A fresh mapped block of `bytes`, zeroed, 2 MiB-aligned; offered for
// transparent huge pages when huge is set. map_fresh also reports it to the
// observer.
inline void* map_aligned(size_t bytes, bool huge);
inline void* map_fresh(size_t bytes, bool huge = true);

inline void* Recycler::stitch(size_t bytes) {
#if defined(__linux__) && defined(MREMAP_FIXED)
  // Worth it only when they make up a good part of it: a moved-in block is
  // not zero, and a caller that needs zeros writes the whole block.
  size_t kept_bytes = 0;
  for (size_t i = 0; i < count; ++i) kept_bytes += kept[i].bytes;
  if (kept_bytes < bytes / 4) return nullptr;
  void* target = nullptr;
  try {
    target = map_aligned(bytes, /*huge=*/false);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  // Moved blocks stay counted as mapped; the rest of the target, untouched
  // until written, counts from now on.
  size_t filled = 0;
  while (filled < bytes && count > 0) {
    size_t largest = 0;
    for (size_t i = 1; i < count; ++i) largest = kept[i].bytes > kept[largest].bytes ? i : largest;
    Block& b = kept[largest];
    const size_t part = std::min(b.bytes, bytes - filled);
    void* dest = static_cast<char*>(target) + filled;
    warmer.forget(b.p, part);
    if (mremap(b.p, part, part, MREMAP_MAYMOVE | MREMAP_FIXED, dest) == MAP_FAILED) break;
    filled += part;
    if (part == b.bytes) {
      kept[largest] = kept[--count];
    } else {
      b = {static_cast<char*>(b.p) + part, b.bytes - part};
    }
  }
  observe(static_cast<int64_t>(bytes - filled));
  make_room(bytes - filled);
  mapped(bytes - filled);
  warmer.warm(static_cast<char*>(target) + filled, bytes - filled);
  return target;
#else
  (void)bytes;
  return nullptr;
#endif
}

inline void Recycler::release_all() {
  warmer.stop();
  for (size_t i = 0; i < count; ++i) release_large(kept[i].p, kept[i].bytes);
  count = 0;
}

inline void* map_aligned(size_t bytes, bool huge) {
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
  if (huge) madvise(p, bytes, MADV_HUGEPAGE);
#else
  (void)huge;
#endif
#else
  void* p = ::operator new(bytes, std::align_val_t{kHuge});
#endif
  return p;
}

inline void* map_fresh(size_t bytes, bool huge) {
  void* p = map_aligned(bytes, huge);
  observe(static_cast<int64_t>(bytes));
  return p;
}

// A kept block when there is one, else a fresh one; fresh, when given, tells
// which (only a fresh block is zeroed).
inline void* map_large(size_t bytes, bool* fresh = nullptr, bool huge = true) {
  if (recycler) {
    void* p = recycler->take(bytes);
    if (!p) p = recycler->stitch(bytes);
    if (p) {
      if (fresh) *fresh = false;
      return p;
    }
    recycler->make_room(bytes);
    recycler->mapped(bytes);
  }
#if defined(__linux__)
  if (fresh) *fresh = true;
#else
  if (fresh) *fresh = false;
#endif
  void* p = map_fresh(bytes, huge);
  if (recycler) recycler->warmer.warm(p, bytes);
  return p;
}

inline void unmap_large(void* p, size_t bytes) {
#if defined(__linux__)
  // Elsewhere a block comes from operator new and goes back whole.
  if (recycler && recycler->keep(p, bytes)) return;
#endif
  if (recycler) recycler->held -= static_cast<int64_t>(bytes);
  release_large(p, bytes);
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
    target = map_fresh(new_bytes);  // a kept block would lose its pages to the moved ones
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (recycler) recycler->warmer.forget(p, old_bytes);
  void* moved = mremap(p, old_bytes, new_bytes, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  if (moved == MAP_FAILED) {
    release_large(target, new_bytes);
    return nullptr;
  }
  observe(-static_cast<int64_t>(old_bytes));
  if (recycler) recycler->warmer.warm(static_cast<char*>(moved) + old_bytes, new_bytes - old_bytes);
  return moved;
#else
  (void)p, (void)old_bytes, (void)new_bytes;
  return nullptr;
#endif
}

}  // namespace huge_pages_detail

// While one is open on a thread, the mapped blocks the thread gives back are
// kept and handed out again for the blocks it asks for next, instead of going
// back to the kernel: a pass that frees its tables hands their pages, already
// faulted in, to the passes after it. A fresh page costs several times what
// writing it does. Closing the scope returns what is kept; scopes nest, the
// outermost one keeping.
class RecycleScope {
 public:
  RecycleScope() {
    if (!huge_pages_detail::recycler) {
      huge_pages_detail::recycler = &recycler_;
      owner_ = true;
    }
  }
  RecycleScope(const RecycleScope&) = delete;
  RecycleScope& operator=(const RecycleScope&) = delete;
  ~RecycleScope() {
    if (!owner_) return;
    huge_pages_detail::recycler = nullptr;
    recycler_.release_all();
  }

 private:
  huge_pages_detail::Recycler recycler_;
  bool owner_ = false;
};

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

  // n items, the first `zeroed` of them zero.
  T* allocate_zeroed(size_t n, size_t zeroed) {
    bool fresh = false;
    T* p;
    if (From == LargeBlocks::Mapped && n * sizeof(T) >= kHuge) {
      p = static_cast<T*>(huge_pages_detail::map_large(rounded(n * sizeof(T)), &fresh));
    } else {
      p = allocate(n);
    }
    if (!fresh) std::memset(static_cast<void*>(p), 0, zeroed * sizeof(T));
    return p;
  }

  // huge: offer a mapped block for transparent huge pages (see TableAllocator
  // for when not to).
  T* allocate(size_t n, bool huge = true) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kHuge) return static_cast<T*>(::operator new(bytes));
    if constexpr (From == LargeBlocks::Mapped) {
      return static_cast<T*>(huge_pages_detail::map_large(rounded(bytes), nullptr, huge));
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
    data_ = Allocator().allocate_zeroed(capacity_, n);
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

// The allocator of the tables a reduction makes per node. Blocks up to 32 MiB
// come from operator new: the C heap serves them again, from memory it keeps,
// to the next reduction, as it does up to that size. Larger ones, which the C
// heap would map afresh every time, are mapped as above, so that a
// RecycleScope hands them on from pass to pass, but in ordinary pages: they
// are read in order, and in a process whose memory is fragmented (a Python
// program that has just recorded a large graph, say), the kernel may spend
// more time compacting memory for a fresh huge page than the writes to it
// take.
template <class T>
struct TableAllocator {
  using value_type = T;
  static constexpr size_t kMapFrom = size_t{32} << 20;

  TableAllocator() = default;
  template <class U>
  TableAllocator(const TableAllocator<U>&) {}

  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kMapFrom) return static_cast<T*>(::operator new(bytes));
    return static_cast<T*>(huge_pages_detail::map_large(rounded(bytes), nullptr, /*huge=*/false));
  }
  void deallocate(T* p, size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kMapFrom) {
      ::operator delete(p);
    } else {
      huge_pages_detail::unmap_large(p, rounded(bytes));
    }
  }
  template <class U>
  bool operator==(const TableAllocator<U>&) const {
    return true;
  }

 private:
  static size_t rounded(size_t bytes) {
    return (bytes + huge_pages_detail::kHuge - 1) / huge_pages_detail::kHuge * huge_pages_detail::kHuge;
  }
};

template <class T>
using MappedVector = std::vector<T, TableAllocator<T>>;

}  // namespace support
