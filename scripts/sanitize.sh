#!/usr/bin/env bash
# Builds the C++ tests and the Python module with sanitizers and runs tests
# against each build:
#   address  AddressSanitizer + UndefinedBehaviorSanitizer (TRELLAN_SANITIZE):
#            both test suites;
#   thread   ThreadSanitizer: the C++ tests, the Python thread tests (many
#            threads on one store, long calls beside running threads, daemon
#            threads at exit) and scripts/thread_stress.py (digests, plans,
#            task keys and reductions on eight threads from the process's first
#            hash on).
#
#   bash scripts/sanitize.sh                            # both
#   bash scripts/sanitize.sh -k threads                 # extra arguments go to the ASan pytest run
#   TRELLAN_SANITIZERS=thread bash scripts/sanitize.sh  # one of them
#
# Each sanitized module is built into build/<asan|tsan> and imported from
# build/<asan|tsan>/python, put first on PYTHONPATH; the installed module is
# left alone. The interpreter itself is not instrumented: it runs with the
# sanitizer's runtime preloaded and PYTHONMALLOC=malloc, so that Python
# objects are real heap blocks the sanitizer watches.
#
# ASan: libstdc++ is preloaded too and leak detection is off in the
# interpreter (it never frees everything at exit); the C++ tests keep it on.
# The graphs of test_deep_graphs.py are shrunk to TRELLAN_DEEP_NODES (default
# here 100000): enough depth to overflow any recursive walk, at a size the
# sanitized build runs in reasonable time.
#
# TSan: the build passes its flags through CMake's own variables; any report
# fails the run (halt_on_error), but for the known false reports listed in
# scripts/tsan.supp.
#
# Needs what scripts/test.sh installs (GoogleTest, the test extras).
set -euo pipefail
cd "$(dirname "$0")/.."

NICE="nice -n 19"
PYTHON="$(command -v python3)"
SANITIZERS="${TRELLAN_SANITIZERS:-address thread}"

# Copies the module of build $1 into $1/python and prints that directory.
module_dir() {
  local dir="$1/python"
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$1"/trellan_core*.so python/trellan_core.pyi "$dir/"
  echo "$PWD/$dir"
}

address() {
  local build=build/asan
  $NICE cmake -S . -B "$build" -DTRELLAN_SANITIZE=ON -DTRELLAN_BUILD_TESTS=ON \
    -DTRELLAN_BUILD_PYTHON=ON -DPython_EXECUTABLE="$PYTHON" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  $NICE cmake --build "$build" -j2

  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

  echo "== C++ tests (ASan + UBSan, leak detection on)"
  ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:check_initialization_order=1" \
    $NICE ctest --test-dir "$build" --output-on-failure -j2

  echo "== Python tests against the ASan module"
  local modules
  modules="$(module_dir "$build")"
  # libstdc++ is preloaded too: the interpreter does not link it, and ASan
  # resolves the real __cxa_throw for its interceptor when it starts, before the
  # module would bring libstdc++ in.
  export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so.6)"
  export ASAN_OPTIONS="detect_leaks=0"
  export PYTHONMALLOC=malloc
  export PYTHONPATH="$modules${PYTHONPATH:+:$PYTHONPATH}"
  export TRELLAN_DEEP_NODES="${TRELLAN_DEEP_NODES:-100000}"

  $NICE "$PYTHON" - "$modules" <<'EOF'
import sys
import trellan_core
assert trellan_core.__file__.startswith(sys.argv[1]), trellan_core.__file__
EOF
  # --capture=sys: a sanitizer report goes straight to file descriptor 2, which
  # pytest's default capture would swallow when the process dies.
  $NICE "$PYTHON" -m pytest -q -p no:cacheprovider --capture=sys tests/python "$@"
}

thread() {
  local build=build/tsan flags="-fsanitize=thread -fno-omit-frame-pointer"
  $NICE cmake -S . -B "$build" -DTRELLAN_BUILD_TESTS=ON -DTRELLAN_BUILD_PYTHON=ON \
    -DPython_EXECUTABLE="$PYTHON" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread >/dev/null
  $NICE cmake --build "$build" -j2

  export TSAN_OPTIONS="halt_on_error=1:suppressions=$PWD/scripts/tsan.supp"

  echo "== C++ tests (TSan)"
  $NICE ctest --test-dir "$build" --output-on-failure -j2

  echo "== Python thread tests and stress against the TSan module"
  local modules interpreter
  modules="$(module_dir "$build")"
  # The interpreter's own binary: a launcher script (pyenv's shims) would run
  # its shell under the preloaded runtime too.
  interpreter="$("$PYTHON" -c 'import sys; print(sys.executable)')"
  export LD_PRELOAD="$(gcc -print-file-name=libtsan.so)"
  export PYTHONMALLOC=malloc
  export PYTHONPATH="$modules${PYTHONPATH:+:$PYTHONPATH}"
  $NICE "$interpreter" -m pytest -q -p no:cacheprovider --capture=sys tests/python/test_threads.py
  $NICE "$interpreter" scripts/thread_stress.py "$modules"
}

for sanitizer in $SANITIZERS; do
  case "$sanitizer" in
    address | thread) ("$sanitizer" "$@") ;;
    *) echo "sanitize.sh: unknown sanitizer '$sanitizer' (address, thread)" >&2; exit 2 ;;
  esac
done
