#include "lib/gil.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/poison_mutex.hpp"

namespace trellan::py {

namespace {

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
  PyEval_RestoreThread(static_cast<PyThreadState*>(state));
  t_released = false;
}

constexpr LockWaitHooks kHooks = {release_for_wait, reacquire_after_wait};

}  // namespace

GilRelease::GilRelease() : outer_(t_scope) { t_scope = this; }

GilRelease::~GilRelease() {
  t_scope = outer_;
  if (state_ == nullptr) return;
  PyEval_RestoreThread(static_cast<PyThreadState*>(state_));
  t_released = false;
}

void GilRelease::now() {
  if (t_released) return;
  state_ = PyEval_SaveThread();
  t_released = true;
}

void install_lock_wait_hooks() { set_lock_wait_hooks(&kHooks); }

}  // namespace trellan::py
