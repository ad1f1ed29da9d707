// A mutex that remembers being abandoned by a failing operation. When an
// exception leaves a section that may have changed the data half-way, the
// mutex is poisoned, and every later lock attempt panics with the owner's
// message instead of touching the data. A section that keeps the data
// consistent whatever fails in it (it changes the data only in steps that
// cannot throw, after everything they need has been allocated) says so when
// it locks, and a failure there, such as running out of memory, leaves the
// mutex usable.
//
// A thread that finds the mutex taken calls the process's wait hooks around
// its wait: the Python binding uses them to let other Python threads run
// while this one blocks, and to take the interpreter back only once the
// mutex has been released again.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>

#include "common/panic.hpp"

namespace trellan {

struct LockWaitHooks {
  // Called by a thread that found a mutex taken, before it blocks on it.
  // Returns a token for after_release, or null when there is nothing to undo.
  void* (*before_blocking)();
  // Called with a non-null token once the mutex waited for has been released.
  void (*after_release)(void* token);
};

// Process-wide; set once, before any thread uses a mutex. Null: plain waits.
inline std::atomic<const LockWaitHooks*> g_lock_wait_hooks{nullptr};
inline void set_lock_wait_hooks(const LockWaitHooks* hooks) { g_lock_wait_hooks.store(hooks); }

class PoisonMutex {
 public:
  explicit PoisonMutex(const char* poisoned_message) : message_(poisoned_message) {}

  // What an exception leaving a locked section means for the data.
  enum class OnFailure {
    Poison,       // it may be half-changed: poison the mutex
    Consistent,   // it is as consistent as before: the mutex stays usable
  };

  class Guard {
   public:
    Guard(PoisonMutex& m, OnFailure on_failure)
        : m_(m), exceptions_(std::uncaught_exceptions()), poisons_(on_failure == OnFailure::Poison) {
      if (!m_.mutex_.try_lock()) {
        hooks_ = g_lock_wait_hooks.load(std::memory_order_acquire);
        if (hooks_ != nullptr) token_ = hooks_->before_blocking();
        m_.mutex_.lock();
      }
      if (m_.poisoned_.load(std::memory_order_relaxed)) {
        release();
        panic(m_.message_);
      }
    }
    ~Guard() {
      if (poisons_ && std::uncaught_exceptions() > exceptions_) m_.poisoned_.store(true);
      release();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    // Unlocks first, and only then undoes what the wait hook did.
    void release() noexcept {
      m_.mutex_.unlock();
      if (token_ != nullptr) hooks_->after_release(token_);
    }

    PoisonMutex& m_;
    int exceptions_;
    bool poisons_;
    const LockWaitHooks* hooks_ = nullptr;
    void* token_ = nullptr;
  };

  Guard lock(OnFailure on_failure = OnFailure::Poison) { return Guard(*this, on_failure); }
  bool poisoned() const { return poisoned_.load(); }
  // Test hook: simulate an operation that died while holding the lock.
  void poison() { poisoned_.store(true); }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
  const char* message_;
};

}  // namespace trellan
