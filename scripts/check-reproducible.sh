#!/usr/bin/env bash
# The release rebuilds byte for byte. Copies the tree twice, to two
# directories of different paths, builds the release presets in each (the
# second copy under umask 002, another time zone and, when run as root,
# another user; both at once, one core each) and compares what a release
# publishes: the native quillmar,
# quillmar.exe, the .deb, the ZIP and the test kit's ZIP. Then each published .sha256 file must
# match its rebuilt package, and THIRD-PARTY-NOTICES.txt must be in both
# packages and name every file the link maps show linked in from the
# toolchains. Prints the artefacts' SHA-256 sums. Exits 1 on any difference,
# after saying which file or member differs (with diffoscope where it is
# installed).
#
#   scripts/check-reproducible.sh [WORK_DIR]
#
# WORK_DIR (default: a new directory under /tmp) keeps both copies and
# their build logs; it is removed when everything matched.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$(mktemp -d /tmp/quillmar-repro.XXXXXX)}
mkdir -p "$work"
started=$SECONDS

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() {
    echo "ok: $*"
}

# The working tree as it is (committed or not), without what git ignores.
copy_tree() {
    local to=$1 file
    mkdir -p "$to"
    (cd "$root" && git ls-files -z --cached --others --exclude-standard) |
        while IFS= read -r -d '' file; do
            if [ -f "$root/$file" ]; then
                mkdir -p "$to/$(dirname "$file")"
                cp -p "$root/$file" "$to/$file"
            fi
        done
}

# build DIR: both release presets and their packages, one job at a time.
build() {
    local dir=$1
    cd "$dir"
    cmake --preset release
    cmake --build --preset release -j1
    (cd build/release && cpack)
    cmake --preset release-windows
    cmake --build --preset release-windows -j1
    (cd build/release-windows && cpack)
}

one=$work/one/quillmar
two=$work/second-copy/of/the/quillmar/tree
rm -rf "$work/one" "$work/second-copy"
copy_tree "$one"
# The second copy from the first: one snapshot of a tree that may be
# changing under us.
mkdir -p "$two"
cp -a "$one/." "$two"
# Root builds the second copy as nobody, so that no owner of the builder
# can reach the packages unnoticed.
as_other=()
if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1; then
    chown -R nobody: "$work/second-copy"
    chmod 755 "$work"
    as_other=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups env HOME="$two")
fi
echo "== building the release twice: $one (umask 022, UTC) and $two (umask 002, UTC+14${as_other:+, user nobody})"
(umask 022 && TZ=UTC build "$one") >"$work/one.log" 2>&1 &
first=$!
(umask 002 && TZ=Pacific/Kiritimati "${as_other[@]}" bash -c "$(declare -f build); build $two") \
    >"$work/two.log" 2>&1 &
second=$!
built=0
wait "$first" || { fail "the first build failed (its log: $work/one.log)"; tail -20 "$work/one.log" >&2; built=1; }
wait "$second" || { fail "the second build failed (its log: $work/two.log)"; tail -20 "$work/two.log" >&2; built=1; }
if [ "$built" -ne 0 ]; then
    exit 1
fi
echo "   both built in $((SECONDS - started)) s"

# explain A B: what differs between two artefacts, as far as the host's
# tools tell.
explain() {
    local a=$1 b=$2
    if command -v diffoscope >/dev/null; then
        diffoscope --text - "$a" "$b" 2>&1 | head -n 80 >&2 || true
        return
    fi
    local x="$work/explain.a" y="$work/explain.b"
    rm -rf "$x" "$y"
    mkdir -p "$x" "$y"
    case $a in
        *.zip)
            unzip -q "$a" -d "$x" && unzip -q "$b" -d "$y"
            diff -r "$x" "$y" >&2 || true
            diff <(zipinfo -v "$a") <(zipinfo -v "$b") | head -n 40 >&2 || true
            ;;
        *.deb)
            dpkg-deb --raw-extract "$a" "$x/tree" && dpkg-deb --raw-extract "$b" "$y/tree"
            diff -r "$x/tree" "$y/tree" >&2 || true
            diff <(ar tv "$a") <(ar tv "$b") >&2 || true
            diff <(dpkg-deb --contents "$a") <(dpkg-deb --contents "$b") >&2 || true
            ;;
        *)
            cmp -l "$a" "$b" | head -n 10 >&2 || true
            ;;
    esac
}

artefacts=(build/release/quillmar build/release-windows/quillmar.exe)
for package in "$one"/build/release/packages/*.deb "$one"/build/release-windows/packages/*.zip; do
    artefacts+=("${package#"$one"/}")
done
kits=("$one"/build/release-windows/packages/quillmar-*-win64-tests.zip)
[ -f "${kits[0]}" ] || fail "the release made no test kit ZIP"
for artefact in "${artefacts[@]}"; do
    if [ ! -f "$one/$artefact" ] || [ ! -f "$two/$artefact" ]; then
        fail "$artefact is missing from one of the builds"
    elif cmp -s "$one/$artefact" "$two/$artefact"; then
        pass "$artefact is the same in both builds"
    else
        fail "$artefact differs between the builds:"
        explain "$one/$artefact" "$two/$artefact"
    fi
done
echo "== SHA-256, first build, then second"
for build_dir in "$one" "$two"; do
    (cd "$build_dir" && sha256sum "${artefacts[@]}")
done

for packages in "$one"/build/release/packages "$one"/build/release-windows/packages; do
    for sums in "$packages"/*.sha256; do
        if (cd "$packages" && sha256sum --quiet -c "$(basename "$sums")"); then
            pass "sha256sum -c $(basename "$sums")"
        else
            fail "sha256sum -c $(basename "$sums") in $packages"
        fi
    done
done

# The notices: shipped in both packages as they stand in docs/, and not
# behind either link.
notices=$root/docs/THIRD-PARTY-NOTICES.txt
unpacked=$work/unpacked
rm -rf "$unpacked"
mkdir -p "$unpacked/deb" "$unpacked/zip"
dpkg-deb -x "$one"/build/release/packages/*.deb "$unpacked/deb"
unzip -q "$one"/build/release-windows/packages/quillmar-*-win64.zip -d "$unpacked/zip"
if unzip -q "${kits[0]}" quillmar.exe -d "$unpacked/kit" &&
    cmp -s "$unpacked/kit/quillmar.exe" "$unpacked/zip/quillmar.exe"; then
    pass "the test kit holds the release ZIP's quillmar.exe"
else
    fail "the test kit's quillmar.exe is not the release ZIP's"
fi
if cmp -s "$notices" "$unpacked/deb/usr/share/doc/quillmar/THIRD-PARTY-NOTICES.txt"; then
    pass "the .deb holds THIRD-PARTY-NOTICES.txt"
else
    fail "the .deb's /usr/share/doc/quillmar/THIRD-PARTY-NOTICES.txt is missing or not docs/'s"
fi
if sed 's/$/\r/' "$notices" | cmp -s - "$unpacked/zip/THIRD-PARTY-NOTICES.txt"; then
    pass "the ZIP holds THIRD-PARTY-NOTICES.txt (CRLF)"
else
    fail "the ZIP's THIRD-PARTY-NOTICES.txt is missing or not docs/'s with CRLF"
fi
if python3 "$root/scripts/check-notices.py" "$notices" "$one/build/release/quillmar.map" \
    "$one/build/release-windows/quillmar.map"; then
    pass "THIRD-PARTY-NOTICES.txt names every component linked in"
else
    fail "THIRD-PARTY-NOTICES.txt is behind the link (above)"
fi

echo "check-reproducible: $((SECONDS - started)) s in all"
if [ "$failures" -ne 0 ]; then
    echo "check-reproducible: $failures check(s) failed; both trees are kept in $work" >&2
    exit 1
fi
rm -rf "$work"
echo "check-reproducible: the release rebuilds byte for byte"
