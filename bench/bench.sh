#!/usr/bin/env bash
# What a quillmar run costs: builds what the measurement needs and runs
# bench/bench.py, which prints three tables (native on an empty simulated
# machine, native on a machine with 1,000 other services, Wine against the
# system's own tools, and quillmar.exe against the floor of a process).
# Takes about a minute on 2 cores.
#
#   bench/bench.sh [--native DIR] [--windows DIR] [bench.py options]
#
# Defaults: build/native and, when it holds quillmar.exe, build/windows;
# with --native alone, no Wine table.
# Needs hyperfine and valgrind (Debian packages of those names); Wine and
# the MinGW compiler for the Wine table.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

native="$root/build/native"
native_given=
windows=
rest=()
while [ $# -gt 0 ]; do
    case "$1" in
        --native) native=$2; native_given=1; shift 2 ;;
        --windows) windows=$2; shift 2 ;;
        *) rest+=("$1"); shift ;;
    esac
done
if [ -n "$windows" ]; then
    cmake --build "$windows" --target quillmar >/dev/null
elif [ -z "$native_given" ] && [ -f "$root/build/windows/quillmar.exe" ]; then
    windows="$root/build/windows"
fi

for tool in hyperfine valgrind python3; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is not installed" >&2; exit 1; }
done
if [ ! -f "$native/CMakeCache.txt" ]; then
    echo "bench: $native is not a configured native build (cmake --preset native)" >&2
    exit 1
fi
cmake --build "$native" --target quillmar quillmar_bench_seed >/dev/null
if [ -n "$windows" ]; then
    exec python3 "$root/bench/bench.py" --native "$native" --windows "$windows" ${rest[@]+"${rest[@]}"}
fi
exec python3 "$root/bench/bench.py" --native "$native" ${rest[@]+"${rest[@]}"}
