#!/usr/bin/env bash
# Builds the C++ tests and the Python module with AddressSanitizer and
# UndefinedBehaviorSanitizer (TRELLAN_SANITIZE) and runs both test suites
# against that build.
#
#   bash scripts/sanitize.sh             # everything
#   bash scripts/sanitize.sh -k threads  # extra arguments go to pytest
#
# The sanitized module is built into build/asan and imported from
# build/asan/python, put first on PYTHONPATH; the installed module is left
# alone. The interpreter itself is not instrumented: it runs with the ASan
# runtime (and libstdc++) preloaded and leak detection off (it never frees
# everything at exit), with PYTHONMALLOC=malloc so that Python objects are
# real heap blocks that ASan watches. The C++ tests keep leak detection on.
#
# The graphs of test_deep_graphs.py are shrunk to TRELLAN_DEEP_NODES (default
# here 100000): enough depth to overflow any recursive walk, at a size the
# sanitized build runs in reasonable time.
#
# Needs what scripts/test.sh installs (GoogleTest, the test extras).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/asan
NICE="nice -n 19"
PYTHON="$(command -v python3)"

$NICE cmake -S . -B "$BUILD" -DTRELLAN_SANITIZE=ON -DTRELLAN_BUILD_TESTS=ON \
  -DTRELLAN_BUILD_PYTHON=ON -DPython_EXECUTABLE="$PYTHON" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
$NICE cmake --build "$BUILD" -j2

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

echo "== C++ tests (ASan + UBSan, leak detection on)"
ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:check_initialization_order=1" \
  $NICE ctest --test-dir "$BUILD" --output-on-failure -j2

echo "== Python tests against the sanitized module"
MODULE_DIR="$BUILD/python"
rm -rf "$MODULE_DIR"
mkdir -p "$MODULE_DIR"
cp "$BUILD"/trellan_core*.so python/trellan_core.pyi "$MODULE_DIR/"

# libstdc++ is preloaded too: the interpreter does not link it, and ASan
# resolves the real __cxa_throw for its interceptor when it starts, before the
# module would bring libstdc++ in.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so.6)"
export ASAN_OPTIONS="detect_leaks=0"
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/$MODULE_DIR${PYTHONPATH:+:$PYTHONPATH}"
export TRELLAN_DEEP_NODES="${TRELLAN_DEEP_NODES:-100000}"

$NICE "$PYTHON" - "$PWD/$MODULE_DIR" <<'EOF'
import sys
import trellan_core
assert trellan_core.__file__.startswith(sys.argv[1]), trellan_core.__file__
EOF
# --capture=sys: a sanitizer report goes straight to file descriptor 2, which
# pytest's default capture would swallow when the process dies.
$NICE "$PYTHON" -m pytest -q -p no:cacheprovider --capture=sys tests/python "$@"
