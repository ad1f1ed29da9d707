#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang (ASan + UBSan) and runs
# each for a bounded time.
#
#   bash scripts/fuzz.sh [SECONDS]        # default 60 per harness
#   FUZZ_TARGETS="pattern" bash scripts/fuzz.sh 30
#   FUZZ_SEED=7 bash scripts/fuzz.sh 60       # another seed (CI uses the fixed default, 1)
#
# Each harness starts from its committed seeds (fuzz/corpus/<kind>, read
# only) and keeps what it finds in build/fuzz/corpus/<harness>. A crash
# leaves its input as build/fuzz/artifacts/<harness>/crash-*; reproduce it with
#   build/fuzz/fuzz/fuzz_<harness> build/fuzz/artifacts/<harness>/crash-...
# Memory is capped: 2 GiB of RSS for the process, 256 MiB for one allocation
# (the blob harness also checks its own bound per input).
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET="${1:-60}"
TARGETS="${FUZZ_TARGETS:-blob_reader blob_reduce op_token pattern}"
BUILD=build/fuzz
NICE="nice -n 19"

has_fuzzer_runtime() {
  command -v clang++ >/dev/null && [ -f "$(clang++ -print-runtime-dir)/libclang_rt.fuzzer-x86_64.a" ]
}

if ! has_fuzzer_runtime; then
  if command -v apt-get >/dev/null; then
    apt-get update -qq && apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
  else
    echo "clang and its fuzzer runtime are missing (install clang libclang-rt-14-dev)" >&2
    exit 1
  fi
fi

$NICE cmake -S . -B "$BUILD" -DTRELLAN_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
for t in $TARGETS; do targets+=(--target "fuzz_$t"); done
$NICE cmake --build "$BUILD" -j2 "${targets[@]}"

seeds_of() {
  case "$1" in
    blob_reader | blob_reduce) echo blob ;;
    *) echo "$1" ;;
  esac
}

status=0
for t in $TARGETS; do
  corpus="$BUILD/corpus/$t"
  artifacts="$BUILD/artifacts/$t"
  mkdir -p "$corpus" "$artifacts"
  log="$BUILD/fuzz_$t.log"
  echo "== fuzz_$t for ${SECONDS_PER_TARGET}s"
  if $NICE "$BUILD/fuzz/fuzz_$t" -max_total_time="$SECONDS_PER_TARGET" -seed="${FUZZ_SEED:-1}" -rss_limit_mb=2048 \
    -malloc_limit_mb=256 -timeout=30 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "fuzz/corpus/$(seeds_of "$t")" >"$log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" |
      sed 's/^/   /'
  else
    echo "fuzz_$t FAILED; last lines of $log:" >&2
    tail -n 40 "$log" >&2
    status=1
  fi
done
exit $status
