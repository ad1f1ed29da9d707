#include "lib/gil.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/poison_mutex.hpp"

namespace trellan::py {

namespace {

// Whether this thread released the interpreter lock inside the module.
// Every call into the module starts holding it, so a thread that has not
// released it here holds it.
thread_local bool t_detached = false;

void* release_for_wait() {
  if (t_detached) return nullptr;
  t_detached = true;
  return PyEval_SaveThread();
}

void reacquire_after_wait(void* state) {
  PyEval_RestoreThread(static_cast<PyThreadState*>(state));
  t_detached = false;
}

constexpr LockWaitHooks kHooks = {release_for_wait, reacquire_after_wait};

}  // namespace

Detached::Detached() : state_(t_detached ? nullptr : PyEval_SaveThread()) {
  if (state_ != nullptr) t_detached = true;
}

Detached::~Detached() {
  if (state_ == nullptr) return;
  PyEval_RestoreThread(static_cast<PyThreadState*>(state_));
  t_detached = false;
}

void install_lock_wait_hooks() { set_lock_wait_hooks(&kHooks); }

}  // namespace trellan::py
