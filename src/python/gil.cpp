#include "python/gil.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <thread>

#include "common/poison_mutex.hpp"

namespace trellan::py {

namespace {

// Interpreter teardown. Once the interpreter has begun to finalize (after
// its exit callbacks have run), a thread that tries to take the interpreter
// lock back never gets it: the interpreter ends the thread from inside
// PyEval_RestoreThread by unwinding its stack (3.11 to 3.13, glibc) or parks
// it there itself (later versions). Unwinding on through this module's frames
// would abort the process at the first noexcept one, so the unwinding stops
// right here and the thread parks for good instead. It holds none of the
// module's locks by then (they are always released first), and the process
// ends around it. Until teardown begins, during the exit callbacks too, the
// thread takes the lock back as usual: the interpreter alone decides.
//
// Nothing but that unwinding can leave PyEval_RestoreThread, a C function, so
// a catch-all catches exactly it, whatever type the C++ runtime gives it.
void take_back(void* state) {
  try {
    PyEval_RestoreThread(static_cast<PyThreadState*>(state));
  } catch (...) {
    // Leaving this handler would end the unwinding (the process aborts);
    // the thread stays in it.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
}

// Whether this thread has released the interpreter lock inside the module.
// Every call into the module starts holding it, so a thread that has not
// released it here holds it.
thread_local bool t_released = false;
// The innermost GilRelease scope of this thread, if any.
thread_local GilRelease* t_scope = nullptr;

void* release_for_wait() {
  if (t_released) return nullptr;
  if (t_scope != nullptr) {
    t_scope->now();  // taken back when the scope ends
    return nullptr;
  }
  t_released = true;
  return PyEval_SaveThread();
}

void reacquire_after_wait(void* state) {
  take_back(state);
  t_released = false;
}

constexpr LockWaitHooks kHooks = {release_for_wait, reacquire_after_wait};

}  // namespace

GilRelease::GilRelease() : outer_(t_scope) { t_scope = this; }

GilRelease::~GilRelease() {
  t_scope = outer_;
  if (state_ == nullptr) return;
  take_back(state_);
  t_released = false;
}

void GilRelease::now() {
  if (t_released) return;
  state_ = PyEval_SaveThread();
  t_released = true;
}

void install_thread_support() { set_lock_wait_hooks(&kHooks); }

}  // namespace trellan::py
