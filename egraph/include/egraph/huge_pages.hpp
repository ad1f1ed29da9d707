// An allocator for the e-graph's large tables, read at random: blocks of
// 2 MiB and more are aligned to 2 MiB and offered to the kernel for
// transparent huge pages, since with 4 KiB pages nearly every such read would
// also miss the TLB. Smaller blocks come from operator new as usual.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace egraph {

template <class T>
struct HugePageAllocator {
  using value_type = T;
  static constexpr size_t kHuge = size_t{2} << 20;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) {}

  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kHuge) return static_cast<T*>(::operator new(bytes));
    const size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    // Through operator new, so that a program counting its heap sees these too.
    void* p = ::operator new(rounded, std::align_val_t{kHuge});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) {
    if (n * sizeof(T) < kHuge) {
      ::operator delete(p);
    } else {
      ::operator delete(p, std::align_val_t{kHuge});
    }
  }
  template <class U>
  bool operator==(const HugePageAllocator<U>&) const {
    return true;
  }
};

}  // namespace egraph

namespace egraph {

// A vector whose large buffers sit on huge pages.
template <class T>
using BigVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace egraph
