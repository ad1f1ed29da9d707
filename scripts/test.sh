#!/usr/bin/env bash
# Installs what the tests need, builds the module and the C++ tests, runs them all.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/check_layers.sh
source scripts/need_gtest.sh

python3 -m pip install -q --upgrade pip >/dev/null 2>&1 || true
python3 -m pip install -q ".[test]"

cmake -S . -B build/cpp -DTRELLAN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp -j2
ctest --test-dir build/cpp --output-on-failure -j2

python3 -m pytest -q tests/python

# Hardening: the C++ and Python suites under ASan + UBSan, the C++ tests and
# the thread tests under TSan, then a minute of fuzzing per harness. On in CI
# (CI=true) or with TRELLAN_HARDENING=1; it adds about thirteen minutes on two
# cores (ASan build ~4 min, its tests ~1 min, TSan build ~2 min, its tests
# ~1.5 min, fuzzer build ~1 min, fuzzing 4 x 60 s).
if [ "${TRELLAN_HARDENING:-}" = "1" ] || [ "${CI:-}" = "true" ]; then
  bash scripts/sanitize.sh
  bash scripts/fuzz.sh 60
fi
