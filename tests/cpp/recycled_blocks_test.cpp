// While a RecycleScope is open, freed large blocks are handed on to later
// requests with their pages still in memory, also to a request larger than
// any one of them, and nothing mapped outlives the scope.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include <support/huge_pages.hpp>

namespace {

// Under a sanitizer a new address range also faults in its shadow memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kShadowed = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kShadowed = true;
#else
constexpr bool kShadowed = false;
#endif
#else
constexpr bool kShadowed = false;
#endif

std::atomic<int64_t> g_mapped{0};
void count_mapped(int64_t bytes) { g_mapped += bytes; }

long minor_faults() {
  rusage ru{};
  getrusage(RUSAGE_THREAD, &ru);
  return ru.ru_minflt;
}

TEST(RecycledBlocks, KeptBlocksAreJoinedForALargerRequest) {
  using support::huge_pages_detail::map_large;
  using support::huge_pages_detail::unmap_large;
  constexpr size_t kMiB = size_t{1} << 20;
  support::large_block_observer.store(&count_mapped);
  {
    support::RecycleScope scope;
    char* a = static_cast<char*>(map_large(8 * kMiB, nullptr, false));
    char* b = static_cast<char*>(map_large(6 * kMiB, nullptr, false));
    std::memset(a, 'a', 8 * kMiB);
    std::memset(b, 'b', 6 * kMiB);
    unmap_large(a, 8 * kMiB);
    unmap_large(b, 6 * kMiB);
    ASSERT_EQ(g_mapped.load(), int64_t(14 * kMiB));  // kept, not returned

    bool fresh = true;
    const long before = minor_faults();
    char* c = static_cast<char*>(map_large(16 * kMiB, &fresh, false));
    // The larger block first, then the other, then fresh zero pages; the
    // kept pages are written again without a fault.
    EXPECT_FALSE(fresh);
    EXPECT_EQ(c[0], 'a');
    EXPECT_EQ(c[8 * kMiB - 1], 'a');
    EXPECT_EQ(c[8 * kMiB], 'b');
    EXPECT_EQ(c[14 * kMiB - 1], 'b');
    std::memset(c, 'c', 14 * kMiB);
    if (!kShadowed) EXPECT_LT(minor_faults() - before, 64);
    EXPECT_EQ(c[14 * kMiB], 0);
    EXPECT_EQ(g_mapped.load(), int64_t(16 * kMiB));
    unmap_large(c, 16 * kMiB);
  }
  EXPECT_EQ(g_mapped.load(), 0);
  support::large_block_observer.store(nullptr);
}

}  // namespace
