#include "python/gil.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/poison_mutex.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace trellan::py {

namespace {

// Interpreter shutdown. The interpreter ends a daemon thread that tries to
// take the interpreter lock back once it is finalizing, by unwinding the
// thread's stack; inside this module's C++ frames that unwinding aborts the
// process. Python's exit handlers run after the threads that are not daemons
// have been joined and before finalizing begins, so from this module's handler
// on, any other thread about to take the interpreter lock back parks for good
// instead. It holds none of the module's locks by then (they are always
// released first), and the process ends around it.
std::atomic<bool> g_exiting{false};
std::atomic<std::thread::id> g_exit_thread{};

PyObject* note_exit(PyObject*, PyObject*) {
  g_exit_thread.store(std::this_thread::get_id());
  g_exiting.store(true);
  Py_RETURN_NONE;
}

PyMethodDef kNoteExit = {"trellan_core_exit", note_exit, METH_NOARGS, nullptr};

void take_back(void* state) {
  if (g_exiting.load() && g_exit_thread.load() != std::this_thread::get_id()) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  PyEval_RestoreThread(static_cast<PyThreadState*>(state));
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

void install_thread_support() {
  set_lock_wait_hooks(&kHooks);
  // Once, by the main interpreter: a sub-interpreter runs its exit handlers
  // when it ends, long before the process does.
  static bool registered = false;
  if (registered || PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) return;
  PyRef atexit = PyRef::check(PyImport_ImportModule("atexit"));
  PyRef handler = PyRef::check(PyCFunction_New(&kNoteExit, nullptr));
  PyRef done = PyRef::check(PyObject_CallMethod(atexit.get(), "register", "O", handler.get()));
  registered = true;
}

}  // namespace trellan::py
