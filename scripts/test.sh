#!/usr/bin/env bash
# Builds the one abi3 wheel, installs that same file into a fresh virtual environment for every
# CPython 3.11 or newer on this machine, and runs the tests: the C++ unit tests once, the whole
# pytest suite on the default python3, and the module, thread, execution and cache tests on
# every other interpreter (all of them with TRELLAN_EVERY_SUITE=1).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/check_layers.sh
source scripts/need_gtest.sh

WHEEL=$(bash scripts/wheel.sh | tail -n 1)
echo "== wheel: $(basename "$WHEEL")"
mapfile -t PYTHONS < <(bash scripts/interpreters.sh)

cmake -S . -B build/cpp -DTRELLAN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp -j2
ctest --test-dir build/cpp --output-on-failure -j2

SUBSET=(tests/python/test_module.py tests/python/test_threads.py tests/python/test_execute.py
        tests/python/test_cache.py)
FIRST_VENV=""
for py in "${PYTHONS[@]}"; do
  version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv="$PWD/build/venvs/py$version"
  "$py" -m venv --clear "$venv"
  "$venv/bin/python" -m pip install -q "$WHEEL[test]"
  if [ -z "$FIRST_VENV" ]; then
    FIRST_VENV=$venv
    echo "== Python $version: every test"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
  elif [ "${TRELLAN_EVERY_SUITE:-}" = "1" ]; then
    echo "== Python $version: every test"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
  else
    echo "== Python $version: module, thread, execution and cache tests"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "${SUBSET[@]}"
  fi
done

# Hardening: the C++ and Python suites under ASan + UBSan, the C++ tests and
# the thread tests under TSan, then a minute of fuzzing per harness. On in CI
# (CI=true) or with TRELLAN_HARDENING=1; it adds about thirteen minutes on two
# cores (ASan build ~4 min, its tests ~1 min, TSan build ~2 min, its tests
# ~1.5 min, fuzzer build ~1 min, fuzzing 4 x 60 s). The sanitized runs use the
# first interpreter's environment for pytest and the test dependencies.
if [ "${TRELLAN_HARDENING:-}" = "1" ] || [ "${CI:-}" = "true" ]; then
  PATH="$FIRST_VENV/bin:$PATH" bash scripts/sanitize.sh
  bash scripts/fuzz.sh 60
fi
