// Letting other Python threads run while this one works in C++ or waits for
// one of the module's locks. The rule that keeps this free of deadlocks: a
// thread never waits for a lock of the module (a store's, a reducer's) while
// it holds the interpreter lock, and never takes the interpreter lock back
// while it holds one of the module's locks.
//
// Short calls (recording a node, reading a counter) keep the interpreter
// lock and take the module lock if it is free. Only when it is taken do they
// release the interpreter lock and wait (the wait hooks installed below);
// they take the interpreter lock back once they have released the module
// lock, or, inside a GilRelease scope, when the scope ends. Long calls
// release the interpreter lock around their whole native part.
#pragma once

#include <utility>

namespace trellan::py {

// A scope that may release the interpreter lock and takes it back when it
// ends. Declared before the lock guards of a section that holds one module
// lock while it takes another, it makes a wait for the inner lock release
// into the scope, so that the interpreter lock comes back only after every
// guard has released its lock.
class GilRelease {
 public:
  GilRelease();
  ~GilRelease();
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  // Releases the interpreter lock now, unless this thread released it already.
  void now();

 private:
  void* state_ = nullptr;  // the saved thread state, once released here
  GilRelease* outer_;
};

// Runs f without the interpreter lock and returns its result. f must not
// touch any Python object: arguments are converted to C++ values before, and
// results become Python objects after.
template <class F>
decltype(auto) detached(F&& f) {
  GilRelease released;
  released.now();
  return std::forward<F>(f)();
}

// Makes a thread that finds a store's or a reducer's lock taken release the
// interpreter lock while it waits. Called by module initialization.
void install_thread_support();

}  // namespace trellan::py
