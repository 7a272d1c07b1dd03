#!/usr/bin/env bash
# Runs the native scenarios with every quillmar process under valgrind
# memcheck (--leak-check=full): any invalid access, use of uninitialised
# memory or leak fails the scenario with exit status 99, and the script
# prints valgrind's reports. Extra arguments go to run_scenarios.py
# (e.g. --quick to leave out the slow scenarios, which wait out every poll
# in real time; -k SUBSTRING).
#
#   scripts/valgrind-scenarios.sh [--quick] [-k SUBSTRING]
#   QUILLMAR_VALGRIND_BUILD=/tmp/vg scripts/valgrind-scenarios.sh
set -euo pipefail
cd "$(dirname "$0")/.."

command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 2; }
build=${QUILLMAR_VALGRIND_BUILD:-$PWD/build/native}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset native -B "$build"
fi
cmake --build "$build" -j2 --target quillmar fakemerge

# The scenario backend runs <build>/quillmar, finds fakemerge below <build>
# and reads the build's poll count from <build>/quillmar-facts.json: a
# directory holding a wrapper of that name and links to the fixture and the
# facts puts valgrind in between without touching the backend.
shim=$(mktemp -d "${TMPDIR:-/tmp}/quillmar-valgrind.XXXXXX")
trap 'rm -rf "$shim"' EXIT
logs="$shim/logs"
mkdir -p "$logs"
fakemerge=$(find "$build" -name fakemerge -type f -perm -u+x | head -n 1)
[ -n "$fakemerge" ] && ln -s "$fakemerge" "$shim/fakemerge"
ln -s "$build/quillmar-facts.json" "$shim/quillmar-facts.json"
cat >"$shim/quillmar" <<EOF
#!/bin/sh
exec valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect,possible \\
  --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes \\
  --log-file="$logs/vg.%p.log" "$build/quillmar" "\$@"
EOF
chmod +x "$shim/quillmar"

status=0
python3 SERVICES/tests/scenarios/run_scenarios.py --tier native --build "$shim" \
  --work "$shim/work" "$@" | tee "$shim/run.txt" || true

# Under valgrind glibc's posix_spawn cannot hand a failed exec back to the
# parent (valgrind runs the child as a plain fork), so a missing merge tool
# reads as exit status 127. That scenario holds natively; here its failure
# is expected, and only it.
expected_failure="merge: a missing tool is reported as 1, display mode"
while IFS= read -r line; do
  name=${line#FAIL }
  name=${name% (*}
  if [ "$name" != "$expected_failure" ]; then
    echo "scenario failed under valgrind: $name" >&2
    status=1
  fi
done < <(grep '^FAIL ' "$shim/run.txt" || true)
grep -q -E '^[0-9]+ passed' "$shim/run.txt" || status=1
if grep -q -F "FAIL $expected_failure (" "$shim/run.txt"; then
  echo "(expected under valgrind: \"$expected_failure\", a missing tool reads as exit status 127)"
fi

# With -q, valgrind writes a log only when it has something to say. This
# valgrind (3.19) does not know pidfd_open (syscall 434) and says so; the
# program then gets ENOSYS and watches its merge tool on a short tick
# instead, which is meant: that warning alone is no report.
reports=0
for log in "$logs"/vg.*.log; do
  [ -s "$log" ] || continue
  grep -v -E -e '-- WARNING: unhandled amd64-linux syscall: 434$' \
    -e '-- (You may be able to write your own handler\.|Read the file README_MISSING_SYSCALL_OR_IOCTL\.|Nevertheless we consider this a bug\.  Please report|it at http://valgrind\.org/support/bug_reports\.html\.)$' \
    "$log" >"$log.rest" || true
  [ -s "$log.rest" ] || continue
  reports=$((reports + 1))
  echo "==== $(basename "$log")"
  cat "$log"
done
if [ "$reports" -gt 0 ]; then
  echo "valgrind reported on $reports runs" >&2
  status=1
fi
if [ "$status" -eq 0 ]; then
  echo "valgrind: every scenario run clean"
fi
exit "$status"
