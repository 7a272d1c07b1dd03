#!/usr/bin/env bash
# Builds the .deb (native build) and the ZIP (Windows build) with cpack,
# lists them, checks that each holds what it must, and runs what is inside:
# the .deb's quillmar and man page natively, the ZIP's quillmar.exe under
# Wine. Exits non-zero on the first package that is not right.
#
#   scripts/check-packages.sh <native-build-dir> <windows-build-dir>
#
# Wine: /usr/lib/wine/wine64 (or $WINE) in a private prefix ($WINEPREFIX, or
# a fresh one that is removed afterwards).
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 <native-build-dir> <windows-build-dir>" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
native=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
gen="$root/scripts/gen-manpage.py"
readme="$root/README.md"
wine=${WINE:-/usr/lib/wine/wine64}

work=$(mktemp -d /tmp/quillmar-packages.XXXXXX)
own_prefix=
if [ -z "${WINEPREFIX:-}" ]; then
    own_prefix=1
    export WINEPREFIX="$work/wineprefix"
fi
export WINEDEBUG=-all
cleanup() {
    # Only the server of a prefix made here is ours to stop.
    if [ -n "$own_prefix" ] && [ -d "$WINEPREFIX" ]; then
        "${WINESERVER:-/usr/lib/wine/wineserver}" -k 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() {
    echo "ok: $*"
}

# Prints the newest package of a kind that cpack just made in a build dir.
newest() {
    ls -t "$1"/packages/*."$2" 2>/dev/null | head -n 1
}

expected_usage="$work/usage.txt"
python3 "$gen" --print-usage "$readme" >"$expected_usage"

# ------------------------------------------------------------------ .deb
echo "== cpack in $native"
# Only what is installed: cpack does not build the whole tree.
cmake --build "$native" --target quillmar quillmar_manpage >"$work/build-native.log" 2>&1 || {
    cat "$work/build-native.log" >&2
    fail "building quillmar and its man page in $native"
    exit 1
}
(cd "$native" && rm -f packages/*.deb && cpack) >"$work/cpack-native.log" 2>&1 || {
    cat "$work/cpack-native.log" >&2
    fail "cpack in $native"
    exit 1
}
deb=$(newest "$native" deb)
[ -n "$deb" ] || { fail "no .deb in $native/packages"; exit 1; }
echo "== $deb"
dpkg-deb -c "$deb" | tee "$work/deb.list"
for f in ./usr/bin/quillmar ./usr/share/doc/quillmar/README.md \
         ./usr/share/doc/quillmar/LICENSE ./usr/share/man/man1/quillmar.1; do
    if awk '{print $NF}' "$work/deb.list" | grep -qxF "$f"; then
        pass "deb holds $f"
    else
        fail "deb lacks $f"
    fi
done
dpkg-deb -I "$deb"
[ "$(dpkg-deb -f "$deb" Package)" = quillmar ] && pass "deb Package" || fail "deb Package"
[ "$(dpkg-deb -f "$deb" Maintainer)" = "quillmar developers" ] && pass "deb Maintainer" \
    || fail "deb Maintainer: $(dpkg-deb -f "$deb" Maintainer)"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6; do
    case ",$depends," in
        *[,\ ]"$lib"[\ ,\(]*) pass "deb depends on $lib" ;;
        *) fail "deb Depends lacks $lib: $depends" ;;
    esac
done

mkdir "$work/deb"
dpkg-deb -x "$deb" "$work/deb"
if python3 "$gen" --check-usage "$readme" "$work/deb/usr/bin/quillmar"; then
    pass "deb's quillmar -h prints the README's usage text"
else
    fail "deb's quillmar -h"
fi
cmp -s "$work/deb/usr/share/doc/quillmar/README.md" "$readme" && pass "deb README.md is the README" \
    || fail "deb README.md differs from the README"
cmp -s "$work/deb/usr/share/doc/quillmar/LICENSE" "$root/LICENSE" && pass "deb LICENSE" \
    || fail "deb LICENSE differs"
if command -v groff >/dev/null; then
    if python3 "$gen" --check-render "$readme" "$work/deb/usr/share/man/man1/quillmar.1" \
        --machine-doc "$root/SERVICES/source/platform/SIMULATED-MACHINE.md"; then
        pass "deb man page renders"
    else
        fail "deb man page does not render cleanly"
    fi
else
    echo "skip: groff not installed, man page not rendered"
fi

# ------------------------------------------------------------------ ZIP
echo "== cpack in $windows"
cmake --build "$windows" --target quillmar >"$work/build-windows.log" 2>&1 || {
    cat "$work/build-windows.log" >&2
    fail "building quillmar.exe in $windows"
    exit 1
}
(cd "$windows" && rm -f packages/*.zip && cpack) >"$work/cpack-windows.log" 2>&1 || {
    cat "$work/cpack-windows.log" >&2
    fail "cpack in $windows"
    exit 1
}
zip=$(newest "$windows" zip)
[ -n "$zip" ] || { fail "no .zip in $windows/packages"; exit 1; }
echo "== $zip"
mkdir "$work/zip"
# Lists the archive, checks its names and extracts it; prints the folder
# that holds quillmar.exe.
if ! top=$(python3 - "$zip" "$work/zip" "$readme" "$root/LICENSE" <<'EOF'
import sys, zipfile
zpath, dest, readme, license_ = sys.argv[1:5]
z = zipfile.ZipFile(zpath)
names = [i.filename for i in z.infolist() if not i.is_dir()]
for i in z.infolist():
    print("%10d  %s" % (i.file_size, i.filename), file=sys.stderr)
tops = {n.split("/", 1)[0] for n in names}
prefix = ""
if len(tops) == 1 and all("/" in n for n in names):
    prefix = tops.pop() + "/"
want = {"quillmar.exe", "README.md", "README.txt", "LICENSE"}
have = {n[len(prefix):] for n in names}
ok = True
for w in sorted(want):
    print(("ok: zip holds %s" if w in have else "FAIL: zip lacks %s") % w, file=sys.stderr)
    ok &= w in have
for extra in sorted(have - want):
    print("FAIL: zip holds an unexpected %s" % extra, file=sys.stderr)
    ok = False
z.extractall(dest)
base = dest + "/" + prefix
if ok:
    md = open(readme, "rb").read()
    if open(base + "README.md", "rb").read() != md:
        print("FAIL: zip README.md differs from the README", file=sys.stderr); ok = False
    if open(base + "README.txt", "rb").read() != md.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"):
        print("FAIL: zip README.txt is not the README with CRLF", file=sys.stderr); ok = False
    if open(base + "LICENSE", "rb").read() != open(license_, "rb").read():
        print("FAIL: zip LICENSE differs", file=sys.stderr); ok = False
    if open(base + "quillmar.exe", "rb").read(2) != b"MZ":
        print("FAIL: zip quillmar.exe is not a Windows executable", file=sys.stderr); ok = False
print(base)
sys.exit(0 if ok else 1)
EOF
); then
    fail "zip contents"
    exit 1
fi
pass "zip contents"

# The exe alone, as unzipped, with no arguments: "????" and the usage text.
echo "== $wine quillmar.exe (WINEPREFIX=$WINEPREFIX)"
set +e
(cd "$top" && "$wine" ./quillmar.exe) >"$work/wine.out" 2>"$work/wine.err" </dev/null
status=$?
set -e
tr -d '\r' <"$work/wine.out" >"$work/wine.lf"
if [ "$status" -ne 0 ]; then
    fail "quillmar.exe with no arguments exited $status"
    cat "$work/wine.err" >&2
fi
if cmp -s "$work/wine.lf" "$expected_usage"; then
    pass "zip's quillmar.exe under Wine prints ???? and the usage text"
else
    fail "zip's quillmar.exe output differs from ???? + the README's usage text"
    diff -u "$expected_usage" "$work/wine.lf" >&2 || true
fi
if [ "$failures" -ne 0 ]; then
    echo "check-packages: $failures check(s) failed" >&2
    exit 1
fi
echo "check-packages: both packages are right"
