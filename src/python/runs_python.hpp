// Calls of the module into the C API that may run Python code, and the end
// the interpreter may give a thread inside one.
//
// Once the interpreter has begun to tear down, a thread that waits to take the
// interpreter lock back (after a sleep, a blocking call, or simply when the
// evaluation loop hands the lock over) never gets it: CPython 3.11 to 3.13 on
// glibc end the thread with pthread_exit, an unwinding of its stack that
// starts inside the interpreter; later versions park it there themselves. A
// thread inside Python code the module called (a user's __index__,
// __getitem__, __float__, __eq__, __del__, ...) meets this as often as one
// coming back from native work. Unwinding on through the module's frames
// would run their destructors, which drop Python references without the
// interpreter lock, and the first noexcept frame, or one that catches and
// returns, makes the process abort. So every such call goes through
// runs_python, which stops the unwinding right where it leaves the C API and
// parks the thread for good: the process exits around it. No lock of the
// module is ever held while Python code runs, so nothing waits for it.
#pragma once

#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace trellan::py {

// Sleeps for ever. Called only from inside the handler that caught the
// interpreter's unwinding: leaving that handler would end the unwinding
// early, which makes glibc abort the process.
[[noreturn]] void park_for_good() noexcept;

// Returns fn(args...), where fn is a C API function (or a lambda calling only
// C API functions) that may run Python code. Nothing but the interpreter's
// unwinding can leave a C function, so a catch-all catches exactly it,
// whatever type the C++ runtime gives it.
template <class F, class... Args>
decltype(auto) runs_python(F&& fn, Args&&... args) {
  try {
    return std::forward<F>(fn)(std::forward<Args>(args)...);
  } catch (...) {
    park_for_good();
  }
}

// The unwinding as a C++ handler sees it. entry() lets it go on, as a last
// resort for a call that reached Python code outside runs_python (whose
// frames' destructors have run by then): caught and not thrown on, it makes
// glibc abort the process.
#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#else
// Other runtimes give the unwinding no type to catch it by; runs_python's
// catch-all is all there is.
struct ForcedUnwind {};
#endif

}  // namespace trellan::py
