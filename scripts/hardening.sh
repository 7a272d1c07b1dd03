#!/usr/bin/env bash
# The hardening jobs of CI, after scripts/test-all.sh (which builds the
# native preset and runs every test once, the stress, crash, hostile-input
# and corrupt-store tests included):
#
#   1. the libFuzzer target for FUZZ_SECONDS (default 120) with AddressSanitizer
#      and UndefinedBehaviorSanitizer, on one core, while
#   2. the native scenarios run under valgrind memcheck, two at a time: they
#      outlast the fuzzer, and then have both cores;
#   3. the whole native test suite built and run under ASan and UBSan;
#   4. clang-tidy with the static analyzer, which the test command's lint
#      leaves out for its time (scripts/lint.sh --analyzer);
#   5. the release built twice and compared byte for byte
#      (scripts/check-reproducible.sh); the test command builds it once;
#   6. a seeded sample of mutants, five of each host (scripts/mutate.py), so
#      that a change that weakens the tests fails here.
#
# About fourteen minutes on two cores. Exits non-zero if any of them fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --hardening

seconds=${FUZZ_SECONDS:-120}
logs=$(mktemp -d "${TMPDIR:-/tmp}/quillmar-hardening.XXXXXX")
trap 'rm -rf "$logs"' EXIT
started=$SECONDS

# The fuzzer builds first, so that the two jobs below do not share the
# cores with a compiler for long.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

bash scripts/fuzz.sh "$seconds" >"$logs/fuzz.txt" 2>&1 &
fuzz_pid=$!
valgrind_status=0
bash scripts/valgrind-scenarios.sh --quick -n 2 --dist loadgroup >"$logs/valgrind.txt" 2>&1 || valgrind_status=$?
fuzz_status=0
wait "$fuzz_pid" || fuzz_status=$?

echo "== fuzzer ($seconds s)"
cat "$logs/fuzz.txt"
echo "== scenarios under valgrind"
cat "$logs/valgrind.txt"

echo "== the native test suite under AddressSanitizer and UndefinedBehaviorSanitizer"
asan_status=0
cmake --preset asan >/dev/null
cmake --build --preset asan -j2
ctest --preset asan -j2 || asan_status=$?

echo "== clang-tidy with the static analyzer"
tidy_status=0
[ -f build/native/compile_commands.json ] || cmake --preset native >/dev/null
bash scripts/lint.sh --analyzer build/native || tidy_status=$?

echo "== the release built twice, compared byte for byte"
repro_status=0
bash scripts/check-reproducible.sh || repro_status=$?

echo "== a seeded sample of mutants"
mutants_status=0
python3 scripts/mutate.py --sample 5 --seed 1 --workers 1 || mutants_status=$?

echo "== hardening took $((SECONDS - started)) s: fuzzer $fuzz_status, valgrind $valgrind_status," \
     "asan $asan_status, clang-tidy $tidy_status, reproducible $repro_status, mutants $mutants_status"
[ "$fuzz_status" -eq 0 ] && [ "$valgrind_status" -eq 0 ] && [ "$asan_status" -eq 0 ] && [ "$tidy_status" -eq 0 ] &&
    [ "$repro_status" -eq 0 ] && [ "$mutants_status" -eq 0 ]
