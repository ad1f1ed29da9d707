// Letting other Python threads run while this one works in C++ or waits for
// one of the module's locks. The rule that keeps this free of deadlocks: a
// thread never waits for a lock of the module (a store's, a reducer's) while
// it holds the interpreter lock, and never takes the interpreter lock back
// while it holds one of the module's locks.
//
// Short calls (recording a node, reading a counter) keep the interpreter
// lock and take the module lock if it is free; only when it is taken do they
// release the interpreter lock, wait, finish their section and take the
// interpreter lock back after leaving it (the wait hooks installed below).
// Long calls release the interpreter lock around their whole native part.
#pragma once

#include <utility>

namespace trellan::py {

// Releases the interpreter lock for the lifetime of the object and takes it
// back on destruction; does nothing when this thread has released it already.
class Detached {
 public:
  Detached();
  ~Detached();
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

 private:
  void* state_;  // the saved thread state, or null
};

// Runs f without the interpreter lock and returns its result. f must not
// touch any Python object: arguments are converted to C++ values before, and
// results become Python objects after.
template <class F>
decltype(auto) detached(F&& f) {
  Detached released;
  return std::forward<F>(f)();
}

// Makes a thread that finds a store's or a reducer's lock taken release the
// interpreter lock while it waits. Called by module initialization.
void install_lock_wait_hooks();

}  // namespace trellan::py
