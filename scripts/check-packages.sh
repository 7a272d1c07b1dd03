#!/usr/bin/env bash
# Builds the .deb (dpkg-buildpackage, in a copy of the tree) and the ZIP
# (cpack in the Windows build), lists them, checks that each holds what it
# must, and runs what is inside: lintian over the .deb (no error, warning,
# informational or pedantic tag), its quillmar and man pages natively, the
# ZIP's quillmar.exe under Wine. Then
# signs quillmar.exe as a release would, with a throwaway self-signed
# certificate made here, verifies the signature and runs the signed exe
# under Wine. Exits non-zero when a package is not right.
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
check_docs="$root/scripts/check-docs.sh"
wine=${WINE:-/usr/lib/wine/wine64}
maintainer="quillmar developers <maintainers@quillmar.example>"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$native/CMakeCache.txt")
release_date=$(sed -n 's/^set(QUILLMAR_RELEASE_DATE \([0-9-]*\))$/\1/p' "$root/CMakeLists.txt")

work=$(mktemp -d /tmp/quillmar-packages.XXXXXX)
own_prefix=
if [ -z "${WINEPREFIX:-}" ]; then
    own_prefix=1
    export WINEPREFIX="$work/wineprefix"
fi
export WINEDEBUG=-all
deb_build=
cleanup() {
    # The package build works in $work: it ends before that goes.
    if [ -n "$deb_build" ]; then
        wait "$deb_build" 2>/dev/null || true
    fi
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
# check DESCRIPTION COMMAND...: passes or fails on the command's status.
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

# The one package of a kind that cpack just made in a build dir (packages/
# is emptied first), and the checksum file beside it.
the_package() {
    local found=("$1"/packages/*."$2")
    [ -f "${found[0]}" ] && printf '%s\n' "${found[0]}"
}
# The ZIP of a kind (win64.zip, win64-tests.zip) that cpack made.
the_zip() {
    local found=("$1"/packages/quillmar-*-"$2")
    [ -f "${found[0]}" ] && printf '%s\n' "${found[0]}"
}
check_checksum() {
    local package=$1
    if [ -f "$package.sha256" ] && (cd "$(dirname "$package")" && sha256sum --quiet -c "$(basename "$package").sha256"); then
        pass "$(basename "$package").sha256 matches"
    else
        fail "no matching $(basename "$package").sha256 beside the package"
    fi
}

# ------------------------------------------------------------ .deb build
# dpkg-buildpackage builds in a copy of the tree while the ZIP is checked.
echo "== dpkg-buildpackage -us -uc -b in a copy of the tree (in the background)"
tree=$work/tree/quillmar
bash "$root/scripts/copy-tree.sh" "$tree"
(cd "$tree" && dpkg-buildpackage -us -uc -b -j2) >"$work/dpkg-buildpackage.log" 2>&1 &
deb_build=$!

# ------------------------------------------------------------------ ZIP
echo "== cpack in $windows"
cmake --build "$windows" --target quillmar test_kit >"$work/build-windows.log" 2>&1 || {
    cat "$work/build-windows.log" >&2
    fail "building quillmar.exe and the test kit in $windows"
    exit 1
}
(cd "$windows" && rm -rf packages && env -u QUILLMAR_SIGN_CERT -u QUILLMAR_SIGN_KEY cpack) \
    >"$work/cpack-windows.log" 2>&1 || {
    cat "$work/cpack-windows.log" >&2
    fail "cpack in $windows"
    exit 1
}
check "cpack says the ZIP's quillmar.exe is not signed" \
    grep -q "quillmar.exe is NOT signed" "$work/cpack-windows.log"
zip=$(the_zip "$windows" win64.zip) || { fail "no release .zip in $windows/packages"; exit 1; }
echo "== $zip"
unzip -l "$zip"
check_checksum "$zip"
mkdir "$work/zip"
unzip -q "$zip" -d "$work/zip"
(cd "$work/zip" && find . -type f | sort) >"$work/zip.files"
printf '%s\n' ./LICENSE ./README.txt ./THIRD-PARTY-NOTICES.txt ./quillmar.exe >"$work/zip.want"
if cmp -s "$work/zip.want" "$work/zip.files"; then
    pass "zip holds quillmar.exe, README.txt, THIRD-PARTY-NOTICES.txt and LICENSE at its top"
else
    fail "zip contents differ (- wanted, + found):"
    diff -u "$work/zip.want" "$work/zip.files" | tail -n +3 >&2 || true
fi
top="$work/zip"
check "zip LICENSE is the LICENSE" cmp -s "$top/LICENSE" "$root/LICENSE"
# README.txt: docs/README.txt with the version and the figures of the wait
# filled in as the Windows build configured them, every line ending in CR LF.
papers=$(python3 -c 'import json, sys
for name, value in json.load(open(sys.argv[1]))["papers"].items(): print(f"s/@{name}@/{value}/g")' \
    "$windows/quillmar-facts.json")
sed -e "s/@PROJECT_VERSION@/$version/g" -e "$papers" \
    "$root/docs/README.txt" >"$work/readme.lf"
with_crlf() { sed 's/$/\r/' "$1" | cmp -s - "$2"; }
check "zip README.txt is docs/README.txt for $version with CRLF line ends" \
    with_crlf "$work/readme.lf" "$top/README.txt"
is_pe() { [ "$(head -c 2 "$1")" = MZ ]; }
check "zip quillmar.exe is a Windows executable" is_pe "$top/quillmar.exe"
stripped() { file "$1" | grep -q "stripped to external PDB"; }
check "zip quillmar.exe is stripped" stripped "$top/quillmar.exe"
check "zip quillmar.exe keeps its imports, version resource and manifest" \
    python3 "$root/SERVICES/tests/wine/check_exe.py" "$top/quillmar.exe" "$version"

# The exe alone, as unzipped, with no arguments: "????" and the usage text.
echo "== $wine quillmar.exe (WINEPREFIX=$WINEPREFIX)"
status=0
(cd "$top" && "$wine" ./quillmar.exe) >"$work/wine.out" 2>"$work/wine.err" </dev/null || status=$?
if [ "$status" -ne 0 ]; then
    fail "quillmar.exe with no arguments exited $status"
    cat "$work/wine.err" >&2
fi
{ printf '????'; bash "$check_docs" print-usage "$root/README.md"; } >"$work/expected-usage"
tr -d '\r' <"$work/wine.out" >"$work/wine.lf"
if cmp -s "$work/wine.lf" "$work/expected-usage"; then
    pass "zip's quillmar.exe under Wine prints ???? and the usage text"
else
    fail "zip's quillmar.exe output differs from ???? + the README's usage text"
    diff -u "$work/expected-usage" "$work/wine.lf" >&2 || true
fi

# ------------------------------------------------------------ test kit
# The kit beside the release ZIP: the release's own quillmar.exe, the
# runner and its fixtures, the data made from the scenario table now, the
# papers in CRLF; under Wine, run-tests.cmd --list lists every scenario and
# changes nothing.
kit=$(the_zip "$windows" win64-tests.zip) || { fail "no test kit in $windows/packages"; exit 1; }
echo "== $kit"
unzip -l "$kit"
check_checksum "$kit"
mkdir "$work/kit"
unzip -q "$kit" -d "$work/kit"
(cd "$work/kit" && find . -type f | sort) >"$work/kit.files"
printf '%s\n' ./LICENSE ./README.txt ./THIRD-PARTY-NOTICES.txt ./fakemerge.exe ./qmkit.exe \
    ./quillmar.exe ./run-tests.cmd ./scenarios.txt ./testsvc.exe >"$work/kit.want"
if cmp -s "$work/kit.want" "$work/kit.files"; then
    pass "kit holds quillmar.exe, the runner, its fixtures, the scenario data and its papers"
else
    fail "kit contents differ (- wanted, + found):"
    diff -u "$work/kit.want" "$work/kit.files" | tail -n +3 >&2 || true
fi
check "kit quillmar.exe is the release ZIP's, byte for byte" cmp -s "$work/kit/quillmar.exe" "$top/quillmar.exe"
for exe in qmkit fakemerge testsvc; do
    check "kit $exe.exe is a Windows executable" is_pe "$work/kit/$exe.exe"
done
header() { sed -n "s/^$1\t//p" "$work/kit/scenarios.txt"; }
check "kit scenarios.txt is for version $version" [ "$(header version)" = "$version" ]
check "kit scenarios.txt is what the scenario table gives now" \
    python3 "$root/SERVICES/tests/kit/make_kit_data.py" --version "$version" \
    --build "$windows" -o "$work/scenarios.txt"
check "... byte for byte" cmp -s "$work/scenarios.txt" "$work/kit/scenarios.txt"
sed "s/@PROJECT_VERSION@/$version/g" "$root/SERVICES/tests/kit/README.txt" >"$work/kit-readme.lf"
check "kit README.txt is the kit's README for $version with CRLF line ends" \
    with_crlf "$work/kit-readme.lf" "$work/kit/README.txt"
check "kit run-tests.cmd has CRLF line ends" \
    with_crlf "$root/SERVICES/tests/kit/run-tests.cmd" "$work/kit/run-tests.cmd"
scenarios=$(grep -c '^scenario'$'\t' "$work/kit/scenarios.txt")
status=0
(cd "$work/kit" && "$wine" cmd /c run-tests.cmd --list) >"$work/kit-list.out" 2>"$work/kit-list.err" </dev/null || status=$?
listed=$(grep -c . "$work/kit-list.out" || true)
if [ "$status" -eq 0 ] && [ "$listed" -eq "$scenarios" ] && [ ! -e "$work/kit/work" ]; then
    pass "kit run-tests.cmd --list under Wine lists its $scenarios scenarios and changes nothing"
else
    fail "kit run-tests.cmd --list under Wine: status $status, $listed of $scenarios lines"
    cat "$work/kit-list.err" >&2
fi

# ------------------------------------------------------------ signing
# As a release with a certificate: cpack signs the staged exe (cmake/
# cpack-pre-build.cmake). A throwaway self-signed certificate, made here,
# stands in for the release's; the signed ZIP goes elsewhere.
echo "== cpack in $windows, signed with a throwaway certificate"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=quillmar throwaway test certificate" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$work/sign.key" -out "$work/sign.crt" \
    >"$work/openssl.log" 2>&1 || { cat "$work/openssl.log" >&2; fail "making a test certificate"; }
if (cd "$windows" && QUILLMAR_SIGN_CERT="$work/sign.crt" QUILLMAR_SIGN_KEY="$work/sign.key" \
        cpack -B "$work/signed") >"$work/cpack-signed.log" 2>&1; then
    mkdir "$work/signed-zip" "$work/signed-kit"
    unzip -q "$work"/signed/quillmar-*-win64.zip -d "$work/signed-zip"
    signed=$work/signed-zip/quillmar.exe
    unzip -q "$work"/signed/quillmar-*-win64-tests.zip quillmar.exe -d "$work/signed-kit"
    check "the signed test kit holds the signed quillmar.exe" cmp -s "$work/signed-kit/quillmar.exe" "$signed"
    osslsigncode verify -in "$signed" -CAfile "$work/sign.crt" >"$work/verify.log" 2>&1 || true
    if grep -q "^Signature verification: ok" "$work/verify.log" && grep -q "^Succeeded" "$work/verify.log"; then
        pass "the signed quillmar.exe verifies (osslsigncode verify)"
    else
        cat "$work/verify.log" >&2
        fail "the signed quillmar.exe does not verify"
    fi
    check "the signed quillmar.exe keeps its imports, version resource and manifest" \
        python3 "$root/SERVICES/tests/wine/check_exe.py" "$signed" "$version"
    status=0
    (cd "$work/signed-zip" && "$wine" ./quillmar.exe) >"$work/wine-signed.out" 2>&1 </dev/null || status=$?
    if [ "$status" -eq 0 ] && tr -d '\r' <"$work/wine-signed.out" | cmp -s - "$work/expected-usage"; then
        pass "the signed quillmar.exe under Wine prints ???? and the usage text"
    else
        fail "the signed quillmar.exe under Wine (status $status) printed something else"
        cat "$work/wine-signed.out" >&2
    fi
else
    cat "$work/cpack-signed.log" >&2
    fail "cpack with a signing certificate"
fi

# ------------------------------------------------------------------ .deb
deb_status=0
wait "$deb_build" || deb_status=$?
deb_build=
if [ "$deb_status" -ne 0 ]; then
    tail -n 60 "$work/dpkg-buildpackage.log" >&2
    fail "dpkg-buildpackage (its log above)"
    exit 1
fi
debs=("$work"/tree/*.deb)
deb=${debs[0]}
[ -f "$deb" ] || { fail "dpkg-buildpackage made no .deb"; exit 1; }
check "dpkg-buildpackage made one package, no debug symbol package beside it" \
    [ "$(find "$work/tree" -maxdepth 1 \( -name '*.deb' -o -name '*.ddeb' \) | wc -l)" -eq 1 ]
echo "== $deb"
dpkg-deb -c "$deb" | tee "$work/deb.list"
awk '$1 !~ /^d/ {print $NF}' "$work/deb.list" | sort >"$work/deb.files"
printf '%s\n' ./usr/bin/quillmar \
    ./usr/share/doc/quillmar/README.md.gz \
    ./usr/share/doc/quillmar/THIRD-PARTY-NOTICES.txt.gz \
    ./usr/share/doc/quillmar/changelog.Debian.gz \
    ./usr/share/doc/quillmar/changelog.gz \
    ./usr/share/doc/quillmar/copyright \
    ./usr/share/lintian/overrides/quillmar \
    ./usr/share/man/man1/quillmar.1.gz \
    ./usr/share/man/man5/quillmar-machine.5.gz | sort >"$work/deb.want"
if cmp -s "$work/deb.want" "$work/deb.files"; then
    pass "deb holds exactly the program, its man pages and its papers"
else
    fail "deb contents differ (- wanted, + found):"
    diff -u "$work/deb.want" "$work/deb.files" | tail -n +3 >&2 || true
fi
dpkg-deb -I "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
check "deb Package" [ "$(field Package)" = quillmar ]
# debian/changelog holds the package's version and date; CMakeLists.txt
# the program's version and release date. They must agree.
changelog_version=$(cd "$tree" && dpkg-parsechangelog -S Version)
changelog_day=$(date -u -d "$(cd "$tree" && dpkg-parsechangelog -S Date)" +%F)
check "debian/changelog's $changelog_version is a package of quillmar $version" \
    [ "${changelog_version%-*}" = "$version" ]
check "debian/changelog's last entry is dated QUILLMAR_RELEASE_DATE ($release_date)" \
    [ "$changelog_day" = "$release_date" ]
check "deb Version is $changelog_version" [ "$(field Version)" = "$changelog_version" ]
check "deb Maintainer is $maintainer" [ "$(field Maintainer)" = "$maintainer" ]
# The C++ runtime is linked in: the C library is all the program needs.
depends=$(field Depends)
libc_only() { [[ "$depends" =~ ^libc6(\ \([^\)]*\))?$ ]]; }
check "deb depends on libc6 alone ($depends)" libc_only

# Lintian: no error, no warning, no informational or pedantic tag (each
# override in debian/quillmar.lintian-overrides says why it holds).
if command -v lintian >/dev/null; then
    echo "== lintian $(basename "$deb")"
    lintian_status=0
    lintian --fail-on error,warning,info,pedantic --display-info --pedantic \
        --tag-display-limit 0 "$deb" \
        >"$work/lintian.txt" 2>&1 || lintian_status=$?
    grep -v '^running with root privileges' "$work/lintian.txt" || true
    if [ "$lintian_status" -eq 0 ]; then
        pass "lintian: no error, no warning, no information, nothing pedantic"
    else
        fail "lintian: errors, warnings or information (above)"
    fi
else
    fail "lintian is not installed (scripts/install-deps.sh)"
fi

mkdir "$work/deb"
dpkg-deb -x "$deb" "$work/deb"
doc="$work/deb/usr/share/doc/quillmar"
man1="$work/deb/usr/share/man/man1/quillmar.1.gz"
man5="$work/deb/usr/share/man/man5/quillmar-machine.5.gz"
check "deb's quillmar -h prints the usage of the README and the man page" \
    bash "$check_docs" usage "$work/deb/usr/bin/quillmar" "$root/README.md" "$man1"
gunzips_to() { gzip -dc "$1" | cmp -s - "$2"; }
check "deb README.md.gz is the README" gunzips_to "$doc/README.md.gz" "$root/README.md"
check "deb THIRD-PARTY-NOTICES.txt.gz is docs/'s" \
    gunzips_to "$doc/THIRD-PARTY-NOTICES.txt.gz" "$root/docs/THIRD-PARTY-NOTICES.txt"
check "deb changelog.gz is CHANGELOG.md" gunzips_to "$doc/changelog.gz" "$root/CHANGELOG.md"
check "deb copyright is in the machine-readable format" \
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$doc/copyright"
# debian/copyright's licence text is LICENSE's, each line indented by one
# blank and an empty line written as " .".
license_text() { sed -n '/^Permission is hereby granted/,$p' "$root/LICENSE"; }
copyright_text() {
    awk '/^License: Expat$/ { inside = 1; next }
         inside && /^ / { line = substr($0, 2); print (line == "." ? "" : line); next }
         inside { exit }' "$doc/copyright"
}
same_licence() { cmp -s <(license_text) <(copyright_text); }
check "deb copyright's Expat text is LICENSE's" same_licence
check "deb copyright's holder is LICENSE's" \
    grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' "$root/LICENSE")" "$doc/copyright"
first_entry_is() { gzip -dc "$1" | head -n 1 | grep -qF "quillmar ($2) "; }
check "deb changelog.Debian.gz names version $changelog_version" \
    first_entry_is "$doc/changelog.Debian.gz" "$changelog_version"
if command -v groff >/dev/null; then
    check "deb man pages render" bash "$check_docs" render "$man1" "$man5"
else
    fail "groff is not installed, the man pages are not rendered"
fi

if [ "$failures" -ne 0 ]; then
    echo "check-packages: $failures check(s) failed" >&2
    exit 1
fi
echo "check-packages: both packages are right"
