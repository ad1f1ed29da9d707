// Allocator for the e-graph's per-id arrays. Large blocks are aligned to 2 MiB
// and offered to the kernel for transparent huge pages: the arrays are read
// at random (hash-cons probes, union-find), and with 4 KiB pages nearly every
// such read would also miss the TLB.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace egraph {

template <class T>
struct BigAlloc {
  using value_type = T;
  static constexpr size_t kHuge = size_t{2} << 20;

  BigAlloc() = default;
  template <class U>
  BigAlloc(const BigAlloc<U>&) {}

  T* allocate(size_t n) {
    size_t bytes = n * sizeof(T);
    if (bytes < kHuge) return static_cast<T*>(::operator new(bytes));
    size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    void* p = std::aligned_alloc(kHuge, rounded);
    if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) {
    if (n * sizeof(T) < kHuge) {
      ::operator delete(p);
    } else {
      std::free(p);
    }
  }
  template <class U>
  bool operator==(const BigAlloc<U>&) const {
    return true;
  }
};

}  // namespace egraph
