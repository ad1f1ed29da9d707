#!/usr/bin/env bash
# Line and function coverage of src/, support/ and egraph/ by the Python suite alone, by the C++
# tests alone, and by both together. One instrumented build (under build/coverage, apart from the
# build dirs of `pip install .` and scripts/test.sh) holds the module and the C++ tests; the
# counters are reset between the two runs, and gcovr merges the two records at the end.
# Python: the interpreter on PATH (run it from the venv you test with). Extra arguments go to
# pytest, e.g. `scripts/coverage.sh -m "not slow"`.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=build/coverage
obj=$out/obj
site=$out/site
jobs=${TRELLAN_JOBS:-2}

source scripts/need_gtest.sh

# The test extras (read from pyproject.toml, so the list lives in one place) and gcovr; the
# module itself comes from the instrumented build below, not from pip.
mapfile -t extras < <(python3 -c '
import tomllib
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]))')
python3 -m pip install -q "${extras[@]}" gcovr

# A build dir kept from a tree with other source files holds their coverage notes, which gcovr
# cannot read back: start it afresh whenever the list of files changes.
sources=$(git ls-files src egraph support tests/cpp | sha256sum)
[ "$(cat "$obj/sources.sha" 2>/dev/null)" = "$sources" ] || rm -rf "$obj"
mkdir -p "$obj" && echo "$sources" >"$obj/sources.sha"

# -O0 keeps one counter per source line; atomic counters because the suites run threads;
# NDEBUG as in the shipped Release build, so the measured code is the code users run.
cmake -S . -B "$obj" -DCMAKE_BUILD_TYPE=Coverage \
  -DCMAKE_CXX_FLAGS_COVERAGE="-O0 -g -DNDEBUG --coverage -fprofile-update=atomic -fprofile-abs-path" \
  -DTRELLAN_BUILD_PYTHON=ON -DTRELLAN_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$obj" -j"$jobs"
# The module lands beside its stub, as pip lays them out; the trellan package comes from the tree.
cmake --install "$obj" --prefix "$site" >/dev/null

gcovr_on() {  # $1: JSON record to write
  python3 -m gcovr --root "$root" --object-directory "$obj" \
    --filter "$root/src/" --filter "$root/support/" --filter "$root/egraph/src/" --filter "$root/egraph/include/" \
    --gcov-ignore-parse-errors=negative_hits.warn_once_per_file \
    --json "$1" "$obj" >/dev/null
}
summary() {  # $1: title, rest: JSON records
  local title=$1; shift
  echo "== $title"
  local adds=()
  for f in "$@"; do adds+=(--add-tracefile "$f"); done
  python3 -m gcovr --root "$root" "${adds[@]}" --txt /dev/null --print-summary | grep -E '^(lines|functions):'
}

find "$obj" -name '*.gcda' -delete
# The deep-graph tests take the same paths at a tenth of their size, in a tenth of the time.
TRELLAN_DEEP_NODES=${TRELLAN_DEEP_NODES:-100000} \
PYTHONPATH="$root/$site:$root/python${PYTHONPATH:+:$PYTHONPATH}" python3 -m pytest -q tests/python "$@"
gcovr_on "$out/pytest.json"

find "$obj" -name '*.gcda' -delete
ctest --test-dir "$obj" -j"$jobs" --output-on-failure >"$out/ctest.log" || { cat "$out/ctest.log"; exit 1; }
tail -n 3 "$out/ctest.log"
gcovr_on "$out/ctest.json"

summary "pytest alone" "$out/pytest.json"
summary "C++ tests alone" "$out/ctest.json"
summary "pytest and C++ tests together" "$out/pytest.json" "$out/ctest.json"
echo "Per-file detail: python3 -m gcovr -a $out/pytest.json -a $out/ctest.json --txt"
