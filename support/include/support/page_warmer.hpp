// Faults in the pages of freshly mapped blocks on a second thread while the
// thread that asked for them goes on working. Under a hypervisor a first
// write to a page costs a microsecond or two, mostly the kernel finding and
// zeroing the page; a large reduction writes a gigabyte of fresh pages that
// way. The kernel can do that for another range on another core at the same
// time, and populating a range in one call is cheaper per page than faulting
// it in page by page.
//
// Populating never changes what a page holds, so the two threads need not
// agree on who writes first. What they must agree on is that a block is not
// unmapped or moved while its pages are being populated: forget() drops what
// is queued of a range and waits for the chunk in flight.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace support {

class PageWarmer {
 public:
  // Blocks smaller than this are written before a second thread could get
  // to them.
  static constexpr size_t kMinBytes = size_t{8} << 20;
  // Populated per call, so that forget() never waits long.
  static constexpr size_t kChunk = size_t{2} << 20;

  PageWarmer() = default;
  PageWarmer(const PageWarmer&) = delete;
  PageWarmer& operator=(const PageWarmer&) = delete;
  ~PageWarmer() { stop(); }

  // Whether this system can populate a range without writing it, and has a
  // second core to do it on.
  static bool available() {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    static const bool yes = [] {
      if (std::thread::hardware_concurrency() < 2) return false;
      // Older kernels refuse the advice; ask once on a page of our own.
      void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) return false;
      const bool ok = madvise(p, 4096, MADV_POPULATE_WRITE) == 0;
      munmap(p, 4096);
      return ok;
    }();
    return yes;
#else
    return false;
#endif
  }

  // Queues a freshly mapped range. Its pages are populated from the end
  // back, since the caller mostly writes a new block from the start; the
  // newest range first, since it is the one about to be written.
  void warm(void* p, size_t bytes) {
    if (bytes < kMinBytes || !available()) return;
    std::unique_lock lock(mutex_);
    if (failed_) return;
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { run(); });
      } catch (const std::exception&) {  // no thread to spare, or no memory for one
        failed_ = true;                     // the caller faults its pages itself
        return;
      }
    }
    try {
      queue_.push_back({static_cast<char*>(p), bytes});
    } catch (const std::bad_alloc&) {
      return;
    }
    wake_.notify_one();
  }

  // Before [p, p + bytes) is unmapped or moved: nothing of it is populated
  // any more once this returns.
  void forget(void* p, size_t bytes) {
    const uintptr_t begin = reinterpret_cast<uintptr_t>(p), end = begin + bytes;
    std::unique_lock lock(mutex_);
    if (queue_.empty() && busy_.bytes == 0) return;
    // In place, with no allocation: this runs on the way to freeing memory.
    // A range cut in two keeps only its front; warming less is always safe.
    size_t n = 0;
    for (const Range& r : queue_) {
      const uintptr_t rb = reinterpret_cast<uintptr_t>(r.p), re = rb + r.bytes;
      if (re <= begin || rb >= end) {
        queue_[n++] = r;
      } else if (rb < begin) {
        queue_[n++] = {r.p, begin - rb};
      } else if (re > end) {
        queue_[n++] = {reinterpret_cast<char*>(end), re - end};
      }
    }
    queue_.resize(n);
    idle_.wait(lock, [&] {
      const uintptr_t bb = reinterpret_cast<uintptr_t>(busy_.p);
      return busy_.bytes == 0 || bb + busy_.bytes <= begin || bb >= end;
    });
  }

  // Drops what is queued and waits for the thread.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

 private:
  struct Range {
    char* p = nullptr;
    size_t bytes = 0;
  };

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      Range& r = queue_.back();
      const size_t part = r.bytes < kChunk ? r.bytes : kChunk;
      const Range chunk{r.p + (r.bytes - part), part};
      busy_ = chunk;
      r.bytes -= part;
      if (r.bytes == 0) queue_.pop_back();
      lock.unlock();
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
      madvise(chunk.p, chunk.bytes, MADV_POPULATE_WRITE);  // a refusal only leaves the faults to the writer
#endif
      lock.lock();
      busy_ = {};
      idle_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::vector<Range> queue_;
  Range busy_;
  bool stopping_ = false, failed_ = false;
  std::thread thread_;
};

}  // namespace support
