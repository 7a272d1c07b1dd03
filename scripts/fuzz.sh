#!/usr/bin/env bash
# Builds the libFuzzer target fuzz_dispatch (clang, ASan, UBSan) and runs it
# for SECONDS from the seeds and <build>/corpus; exits non-zero on a crash,
# sanitizer report, leak or hang, the input left in the build directory.
#
#   [QUILLMAR_FUZZ_BUILD=DIR] scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-120}
build=${QUILLMAR_FUZZ_BUILD:-$PWD/build/fuzz}

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j2 --target fuzz_dispatch

work="$build/corpus"
mkdir -p "$work"
log="$build/fuzz.log"
status=0
cd "$build"
# -timeout: the waits' sleeps are skipped, so ten seconds of one input is a hang.
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
ASAN_OPTIONS=detect_leaks=1 \
  "$build/SERVICES/tests/fuzz/fuzz_dispatch" \
  -max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$build/" \
  "$work" "$OLDPWD/SERVICES/tests/fuzz/corpus" >"$log" 2>&1 || status=$?

grep -E '^#[0-9]+[[:space:]]+(INITED|pulse|DONE)' "$log" || true
grep -E '^#[0-9]+[[:space:]]+(NEW|REDUCE)' "$log" | tail -n 1 || true
grep -E '^stat::' "$log" | sort -u || true
if [ "$status" -ne 0 ]; then
  echo "fuzz_dispatch failed (status $status); the end of $log:" >&2
  grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' "$log" | tail -n 60 >&2
  exit "$status"
fi
echo "fuzz_dispatch: clean after $seconds s (log: $log)"
