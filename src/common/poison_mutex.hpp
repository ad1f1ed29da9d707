// A mutex that remembers being abandoned by a failing operation. Once an
// exception unwinds through a held guard the mutex is poisoned, and every later
// lock attempt panics with the owner's message instead of touching the data.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>

#include "common/panic.hpp"

namespace trellan {

class PoisonMutex {
 public:
  explicit PoisonMutex(const char* poisoned_message) : message_(poisoned_message) {}

  class Guard {
   public:
    explicit Guard(PoisonMutex& m) : m_(m), exceptions_(std::uncaught_exceptions()) {
      m_.mutex_.lock();
      if (m_.poisoned_.load(std::memory_order_relaxed)) {
        m_.mutex_.unlock();
        panic(m_.message_);
      }
    }
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_) m_.poisoned_.store(true);
      m_.mutex_.unlock();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    PoisonMutex& m_;
    int exceptions_;
  };

  Guard lock() { return Guard(*this); }
  bool poisoned() const { return poisoned_.load(); }
  // Test hook: simulate an operation that died while holding the lock.
  void poison() { poisoned_.store(true); }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  const char* message_;
};

}  // namespace trellan
