// While a RecycleScope is open, freed large blocks are handed on to later
// requests with their pages still in memory, also to a request larger than
// any one of them, and nothing mapped outlives the scope. Fresh blocks are
// populated on another thread, which leaves a range alone once told to.
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

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

constexpr size_t kMiB = size_t{1} << 20;

size_t resident_pages(void* p, size_t bytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> in((bytes + page - 1) / page);
  if (mincore(p, bytes, in.data()) != 0) return 0;
  size_t n = 0;
  for (unsigned char c : in) n += c & 1;
  return n;
}

TEST(RecycledBlocks, KeptBlocksAreJoinedForALargerRequest) {
  using support::huge_pages_detail::map_large;
  using support::huge_pages_detail::unmap_large;
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

TEST(RecycledBlocks, FreshBlocksArePopulatedOnAnotherThread) {
  if (!support::PageWarmer::available()) GTEST_SKIP() << "no second core, or a kernel that cannot populate";
  using support::huge_pages_detail::map_large;
  using support::huge_pages_detail::unmap_large;
  constexpr size_t kBytes = 32 * kMiB;
  const size_t pages = kBytes / static_cast<size_t>(sysconf(_SC_PAGESIZE));
  support::RecycleScope scope;
  bool fresh = false;
  char* p = static_cast<char*>(map_large(kBytes, &fresh, false));
  ASSERT_TRUE(fresh);
  p[0] = 'x';
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (resident_pages(p, kBytes) < pages && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(resident_pages(p, kBytes), pages);
  // Populated, not written: what the owner wrote stays, the rest reads zero.
  EXPECT_EQ(p[0], 'x');
  EXPECT_EQ(p[kBytes - 1], 0);
  const long before = minor_faults();
  std::memset(p, 'y', kBytes);
  if (!kShadowed) EXPECT_LT(minor_faults() - before, 64);
  unmap_large(p, kBytes);
}

TEST(RecycledBlocks, AForgottenRangeIsNoLongerPopulated) {
  if (!support::PageWarmer::available()) GTEST_SKIP() << "no second core, or a kernel that cannot populate";
  constexpr size_t kBytes = 256 * kMiB;
  void* p = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  support::PageWarmer warmer;
  warmer.warm(p, kBytes);
  warmer.forget(p, kBytes);
  const size_t at_forget = resident_pages(p, kBytes);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(resident_pages(p, kBytes), at_forget);
  EXPECT_LT(at_forget, kBytes / 4096);
  munmap(p, kBytes);
}

}  // namespace
