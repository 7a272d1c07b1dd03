#!/usr/bin/env bash
# The native scenarios with every quillmar process under valgrind memcheck:
# an invalid access, uninitialised memory or a leak fails the scenario
# (status 99). --quick leaves out the slow ones; the rest goes to pytest.
#
#   [QUILLMAR_VALGRIND_BUILD=DIR] scripts/valgrind-scenarios.sh [--quick] [-k EXPR]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --quick ]; then
  shift
  set -- -m "not slow" "$@"
fi

command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 2; }
build=${QUILLMAR_VALGRIND_BUILD:-$PWD/build/native}
[ -f "$build/CMakeCache.txt" ] || cmake --preset native -B "$build"
cmake --build "$build" -j2 --target quillmar fakemerge

# A build directory of a wrapper named quillmar and links to what the
# scenarios read of the build puts valgrind in between.
shim=$(mktemp -d "${TMPDIR:-/tmp}/quillmar-valgrind.XXXXXX")
trap 'rm -rf "$shim"' EXIT
logs="$shim/logs"
mkdir -p "$logs" "$shim/SERVICES/tests/wine"
ln -s "$build/SERVICES/tests/wine/fakemerge" "$shim/SERVICES/tests/wine/fakemerge"
ln -s "$build/quillmar-facts.json" "$shim/quillmar-facts.json"
cat >"$shim/quillmar" <<EOF
#!/bin/sh
exec valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect,possible \\
  --errors-for-leak-kinds=definite,indirect,possible --track-origins=yes \\
  --log-file="$logs/vg.%p.log" "$build/quillmar" "\$@"
EOF
chmod +x "$shim/quillmar"

# Under valgrind glibc's posix_spawn cannot hand a failed exec back to the
# parent (valgrind runs the child as a plain fork), so a missing merge tool
# reads as exit status 127. That scenario holds natively; here only
# valgrind's reports on it count.
missing_tool="scenarios/test_scenarios.py::test_scenario[merge: a missing tool is reported as 1, display mode]"
# valgrind gives the program the path it ran as its own name, whatever name
# the wrapper was started under: the scenario of a program named -b holds natively.
named="scenarios/test_scenarios.py::test_scenario[dispatch: a program named -b starts the service after its name]"
status=0
pytest-3 -q -p no:cacheprovider SERVICES/tests/scenarios --build="$shim" --work="$shim/work" \
  --deselect "$missing_tool" --deselect "$named" "$@" || status=1
pytest-3 -q -p no:cacheprovider "SERVICES/tests/$missing_tool" --build="$shim" \
  --work="$shim/work" >/dev/null || true

# With -q, valgrind writes a log only when it has something to say. Its
# warning that it does not know pidfd_open (434) is none: the program then
# watches its merge tool on a short tick, as meant.
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
  exit 1
fi
[ "$status" -ne 0 ] || echo "valgrind: every scenario run clean"
exit "$status"
