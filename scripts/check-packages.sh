#!/usr/bin/env bash
# What a release publishes is right. Checks the release that
# scripts/build-release.sh made: the files it publishes and their .sha256
# files; the ZIP's and the test kit's contents, their quillmar.exe under
# Wine and the kit's run-tests.cmd --list; the .deb's contents and fields,
# lintian over it (no error, warning, informational or pedantic tag), its
# quillmar and man pages run natively; THIRD-PARTY-NOTICES.txt in both
# packages, naming every file the link maps show linked in from the
# toolchains. Then signs quillmar.exe as a release would, with a throwaway
# self-signed certificate made here, verifies the signature and runs the
# signed exe under Wine. Exits non-zero when a package is not right.
#
#   scripts/check-packages.sh [RELEASE_WORK_DIR]
#
# RELEASE_WORK_DIR is where scripts/check-reproducible.sh built the release
# (the test command hands it over, so that the release is built once for
# both checks): its control build's tree (control-tree/), log (control.log)
# and published files (control/source-root/release/). Without it the
# release is built here the same way, from a copy of the working tree.
#
# Wine: /usr/lib/wine/wine64 (or $WINE) in a private prefix ($WINEPREFIX, or
# a fresh one that is removed afterwards).
set -euo pipefail

if [ $# -gt 1 ]; then
    echo "usage: $0 [RELEASE_WORK_DIR]" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
check_docs="$root/scripts/check-docs.py"
wine=${WINE:-/usr/lib/wine/wine64}
maintainer="quillmar developers <maintainers@quillmar.example>"

work=$(mktemp -d /tmp/quillmar-packages.XXXXXX)
made=${1:-$work}
tree=$made/control-tree
release=$made/control/source-root/release
windows=$tree/build/release-windows
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
# check DESCRIPTION COMMAND...: passes or fails on the command's status.
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
# holds_exactly DESCRIPTION LISTING NAME...: the file LISTING lists the
# NAMEs, no more, no fewer.
holds_exactly() {
    local what=$1 listing=$2
    shift 2
    if printf '%s\n' "$@" | sort | cmp -s - <(sort "$listing"); then
        pass "$what"
    else
        fail "$what; they differ (- wanted, + found):"
        diff -u <(printf '%s\n' "$@" | sort) <(sort "$listing") | tail -n +3 >&2 || true
    fi
}
files_in() { (cd "$1" && find . -type f); }
with_crlf() { sed 's/$/\r/' "$1" | cmp -s - "$2"; }
gunzips_to() { gzip -dc "$1" | cmp -s - "$2"; }
is_pe() { [ "$(head -c 2 "$1")" = MZ ]; }

if [ $# -eq 0 ]; then
    echo "== scripts/build-release.sh in a copy of the tree"
    bash "$root/scripts/copy-tree.sh" "$tree"
    (cd "$tree" && bash scripts/build-release.sh "$release") >"$made/control.log" 2>&1 || {
        tail -n 60 "$made/control.log" >&2
        fail "scripts/build-release.sh (its log above)"
        exit 1
    }
fi
[ -d "$windows" ] || { fail "no release was built in $made"; exit 1; }
# The Wine prefix is made while the files are checked.
"$wine" wineboot --init >"$work/wineboot.log" 2>&1 </dev/null &
wineboot=$!

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$windows/CMakeCache.txt")
release_date=$(sed -n 's/^set(QUILLMAR_RELEASE_DATE \([0-9-]*\))$/\1/p' "$root/CMakeLists.txt")
changelog_version=$(cd "$tree" && dpkg-parsechangelog -S Version)
changelog_day=$(date -u -d "$(cd "$tree" && dpkg-parsechangelog -S Date)" +%F)
zip=$release/quillmar-$version-win64.zip
kit=$release/quillmar-$version-win64-tests.zip
deb=$release/quillmar_${changelog_version}_$(dpkg-architecture -q DEB_HOST_ARCH).deb

# ------------------------------------------------------------ what is published
echo "== $release"
ls -l "$release"
files_in "$release" >"$work/release.files"
holds_exactly "the release is quillmar, quillmar.exe, the .deb, the ZIP and the test kit, each package with its .sha256" \
    "$work/release.files" ./quillmar ./quillmar.exe "./${deb##*/}" "./${deb##*/}.sha256" \
    "./${zip##*/}" "./${zip##*/}.sha256" "./${kit##*/}" "./${kit##*/}.sha256"
sums_match() { (cd "$(dirname "$1")" && sha256sum --quiet -c "$(basename "$1").sha256"); }
for package in "$deb" "$zip" "$kit"; do
    [ -f "$package" ] || { fail "no ${package##*/} in $release"; exit 1; }
    check "sha256sum -c ${package##*/}.sha256" sums_match "$package"
done
notices=$root/docs/THIRD-PARTY-NOTICES.txt
native_map=("$tree"/obj-*/quillmar.map)
check "THIRD-PARTY-NOTICES.txt names every component linked in" \
    python3 "$root/scripts/check-notices.py" "$notices" "${native_map[0]}" "$windows/quillmar.map"

# ------------------------------------------------------------------ ZIP
check "cpack said the ZIP's quillmar.exe is not signed" \
    grep -q "quillmar.exe is NOT signed" "$made/control.log"
echo "== $zip"
unzip -l "$zip"
top="$work/zip"
unzip -q "$zip" -d "$top"
files_in "$top" >"$work/zip.files"
holds_exactly "zip holds quillmar.exe, README.txt, THIRD-PARTY-NOTICES.txt and LICENSE at its top" \
    "$work/zip.files" ./LICENSE ./README.txt ./THIRD-PARTY-NOTICES.txt ./quillmar.exe
check "zip LICENSE is the LICENSE" cmp -s "$top/LICENSE" "$root/LICENSE"
check "zip THIRD-PARTY-NOTICES.txt is docs/'s with CRLF line ends" \
    with_crlf "$notices" "$top/THIRD-PARTY-NOTICES.txt"
# The papers: their sources with the version and the figures of the wait
# filled in as the Windows build configured them, every line ending in CR LF.
papers=$(python3 -c 'import json, sys
for name, value in json.load(open(sys.argv[1]))["papers"].items(): print(f"s/@{name}@/{value}/g")' \
    "$windows/quillmar-facts.json")
configured() { sed -e "s/@PROJECT_VERSION@/$version/g" -e "$papers" "$1"; }
configured "$root/docs/README.txt" >"$work/readme.lf"
check "zip README.txt is docs/README.txt for $version with CRLF line ends" \
    with_crlf "$work/readme.lf" "$top/README.txt"
check "zip quillmar.exe is a Windows executable" is_pe "$top/quillmar.exe"
stripped() { file "$1" | grep -q "stripped to external PDB"; }
check "zip quillmar.exe is stripped" stripped "$top/quillmar.exe"
check "zip quillmar.exe keeps its imports, version resource and manifest" \
    python3 "$root/SERVICES/tests/wine/check_exe.py" "$top/quillmar.exe" "$version"

# The exe alone, as unzipped, with no arguments: "????" and the usage text.
wait "$wineboot" || { cat "$work/wineboot.log" >&2; fail "wineboot --init in $WINEPREFIX"; }
echo "== $wine quillmar.exe (WINEPREFIX=$WINEPREFIX)"
{ printf '????'; python3 "$check_docs" print-usage "$root/README.md"; } >"$work/expected-usage"
# prints_usage DIR: DIR's quillmar.exe under Wine, with no arguments,
# exits 0 and prints "????" and the README's usage text, and nothing else.
prints_usage() {
    local status=0
    (cd "$1" && "$wine" ./quillmar.exe) >"$work/wine.out" 2>"$work/wine.err" </dev/null || status=$?
    tr -d '\r' <"$work/wine.out" >"$work/wine.lf"
    if [ "$status" -eq 0 ] && cmp -s "$work/wine.lf" "$work/expected-usage" && [ ! -s "$work/wine.err" ]; then
        return 0
    fi
    echo "status $status; standard error:" >&2
    cat "$work/wine.err" >&2
    diff -u "$work/expected-usage" "$work/wine.lf" >&2 || true
    return 1
}
check "zip's quillmar.exe under Wine prints ???? and the usage text" prints_usage "$top"

# ------------------------------------------------------------ test kit
# The kit beside the release ZIP: the release's own quillmar.exe, the
# runner and its fixtures, the data made from the scenario table now, the
# papers in CRLF; under Wine, run-tests.cmd --list lists every scenario and
# changes nothing.
echo "== $kit"
unzip -l "$kit"
unzip -q "$kit" -d "$work/kit"
files_in "$work/kit" >"$work/kit.files"
holds_exactly "kit holds quillmar.exe, the runner, its fixtures, the scenario data and its papers" \
    "$work/kit.files" ./LICENSE ./README.txt ./THIRD-PARTY-NOTICES.txt ./fakemerge.exe ./qmkit.exe \
    ./quillmar.exe ./run-tests.cmd ./scenarios.txt ./testsvc.exe
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
configured "$root/SERVICES/tests/kit/README.txt" >"$work/kit-readme.lf"
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
    check "the signed quillmar.exe under Wine prints ???? and the usage text" \
        prints_usage "$work/signed-zip"
else
    cat "$work/cpack-signed.log" >&2
    fail "cpack with a signing certificate"
fi

# ------------------------------------------------------------------ .deb
# dpkg-buildpackage writes beside the tree what build-release.sh does not
# move into the release.
check "dpkg-buildpackage made one package, no debug symbol package beside it" \
    [ "$(find "$made" "$release" -maxdepth 1 \( -name '*.deb' -o -name '*.ddeb' \) | wc -l)" -eq 1 ]
echo "== $deb"
dpkg-deb -c "$deb" | tee "$work/deb.list"
awk '$1 !~ /^d/ {print $NF}' "$work/deb.list" >"$work/deb.files"
holds_exactly "deb holds exactly the program, its man pages and its papers" "$work/deb.files" \
    ./usr/bin/quillmar \
    ./usr/share/doc/quillmar/README.md.gz \
    ./usr/share/doc/quillmar/THIRD-PARTY-NOTICES.txt.gz \
    ./usr/share/doc/quillmar/changelog.Debian.gz \
    ./usr/share/doc/quillmar/changelog.gz \
    ./usr/share/doc/quillmar/copyright \
    ./usr/share/lintian/overrides/quillmar \
    ./usr/share/man/man1/quillmar.1.gz \
    ./usr/share/man/man5/quillmar-machine.5.gz
dpkg-deb -I "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
check "deb Package" [ "$(field Package)" = quillmar ]
# debian/changelog holds the package's version and date; CMakeLists.txt
# the program's version and release date. They must agree.
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

dpkg-deb -x "$deb" "$work/deb"
doc="$work/deb/usr/share/doc/quillmar"
man1="$work/deb/usr/share/man/man1/quillmar.1.gz"
man5="$work/deb/usr/share/man/man5/quillmar-machine.5.gz"
check "deb's quillmar -h prints the usage of the README and the man page" \
    python3 "$check_docs" usage "$work/deb/usr/bin/quillmar" "$root/README.md" "$man1"
check "deb README.md.gz is the README" gunzips_to "$doc/README.md.gz" "$root/README.md"
check "deb THIRD-PARTY-NOTICES.txt.gz is docs/'s" gunzips_to "$doc/THIRD-PARTY-NOTICES.txt.gz" "$notices"
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
    check "deb man pages render" python3 "$check_docs" render "$man1" "$man5"
else
    fail "groff is not installed, the man pages are not rendered"
fi

if [ "$failures" -ne 0 ]; then
    echo "check-packages: $failures check(s) failed" >&2
    exit 1
fi
echo "check-packages: both packages are right"
