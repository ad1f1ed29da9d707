#include "python/gil.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/poison_mutex.hpp"
#include "python/runs_python.hpp"

namespace trellan::py {

namespace {

// Taking the interpreter lock back. Until teardown begins, during the exit
// callbacks too, the thread gets it as usual: the interpreter alone decides.
// Once it has begun, the interpreter ends or parks the thread from inside
// PyEval_RestoreThread (see runs_python.hpp); the thread holds none of the
// module's locks by then (they are always released first).
void take_back(void* state) { runs_python(PyEval_RestoreThread, static_cast<PyThreadState*>(state)); }

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
