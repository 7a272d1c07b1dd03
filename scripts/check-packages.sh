#!/usr/bin/env bash
# What a release publishes is right: scripts/build-release.sh builds one from
# a copy of the working tree, and every check below says what it holds.
# Exits 1 when one fails. Wine: /usr/lib/wine/wine64 (or $WINE).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
check_docs="$root/scripts/check-docs.py"
wine=${WINE:-/usr/lib/wine/wine64}

work=$(mktemp -d -t quillmar-packages.XXXXXX)
tree=$work/tree
release=$work/release
windows=$tree/build/release-windows
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
cleanup() {
    [ ! -d "$WINEPREFIX" ] || "${WINESERVER:-/usr/lib/wine/wineserver}" -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
check() {
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else fail "$what"; fi
}
# holds_exactly DESCRIPTION LISTING LINE...: LISTING holds the LINEs in any order.
holds_exactly() {
    local what=$1 listing=$2
    shift 2
    if printf '%s\n' "$@" | sort | cmp -s - <(sort "$listing"); then
        echo "ok: $what"
    else
        fail "$what; they differ (- wanted, + found):"
        diff -u <(printf '%s\n' "$@" | sort) <(sort "$listing") | tail -n +3 >&2 || true
    fi
}
with_crlf() { sed 's/$/\r/' "$1" | cmp -s - "$2"; }
gunzips_to() { gzip -dc "$1" | cmp -s - "$2"; }
is_pe() { [ "$(head -c 2 "$1")" = MZ ]; }

echo "== scripts/build-release.sh in a copy of the tree"
bash "$root/scripts/copy-tree.sh" "$tree"
(cd "$tree" && bash scripts/build-release.sh "$release") >"$work/release.log" 2>&1 || {
    tail -n 60 "$work/release.log" >&2
    fail "scripts/build-release.sh (its log above)"
    exit 1
}
# The Wine prefix is made while the files are checked, by an ordinary command
# (wineboot --init may leave two services.exe), under a server that stays up
# until cleanup (or ten idle minutes), so that no run meets it shutting down.
mkdir -p "$WINEPREFIX"
"${WINESERVER:-/usr/lib/wine/wineserver}" -p600 </dev/null >/dev/null 2>&1
"$wine" cmd /c exit 0 >"$work/wineboot.log" 2>&1 </dev/null &
wineboot=$!

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$windows/CMakeCache.txt")
release_date=$(sed -n 's/^set(QUILLMAR_RELEASE_DATE \([0-9-]*\))$/\1/p' "$root/CMakeLists.txt")
changelog_version=$(cd "$tree" && dpkg-parsechangelog -S Version)
changelog_day=$(date -u -d "$(cd "$tree" && dpkg-parsechangelog -S Date)" +%F)
zip=quillmar-$version-win64.zip
kit=quillmar-$version-win64-tests.zip
deb=quillmar_${changelog_version}_$(dpkg-architecture -q DEB_HOST_ARCH).deb
notices=$root/docs/THIRD-PARTY-NOTICES.txt

echo "== $release"
ls -l "$release"
sums_match() { (cd "$release" && sha256sum --quiet -c "$1.sha256"); }
for package in "$deb" "$zip" "$kit"; do
    [ -f "$release/$package" ] || { fail "no $package in $release"; exit 1; }
    check "sha256sum -c $package.sha256" sums_match "$package"
done
native_map=("$tree"/obj-*/quillmar.map)
check "THIRD-PARTY-NOTICES.txt names every component linked in" \
    python3 "$check_docs" notices "$notices" "${native_map[0]}" "$windows/quillmar.map"
for package in zip kit; do
    echo "== ${!package}"
    unzip -l "$release/${!package}"
    unzip -q "$release/${!package}" -d "$work/$package"
done
echo "== $deb"
dpkg-deb -c "$release/$deb"
dpkg-deb -x "$release/$deb" "$work/deb"
dpkg-deb -I "$release/$deb"

# Every file published and packed, and what it must be: "=" a file's bytes,
# "crlf" a file with CR LF line ends, "configured" a paper with the version
# and the Windows build's figures of the wait filled in, CR LF; "gz" a file
# gzipped, "pe" a Windows executable, "-" checked below or not at all.
make_kit_data=("$root/SERVICES/tests/kit/make_kit_data.py" --version "$version" --build "$windows")
check "kit scenarios.txt is what the scenario table gives now" \
    python3 "${make_kit_data[@]}" -o "$work/scenarios.txt"
cat >"$work/table" <<EOF
release/quillmar -
release/quillmar.exe -
release/$deb -
release/$deb.sha256 -
release/$zip -
release/$zip.sha256 -
release/$kit -
release/$kit.sha256 -
zip/LICENSE = $root/LICENSE
zip/README.txt configured $root/docs/README.txt
zip/THIRD-PARTY-NOTICES.txt crlf $notices
zip/quillmar.exe pe
kit/LICENSE -
kit/README.txt configured $root/SERVICES/tests/kit/README.txt
kit/THIRD-PARTY-NOTICES.txt -
kit/fakemerge.exe pe
kit/qmkit.exe pe
kit/quillmar.exe = $work/zip/quillmar.exe
kit/run-tests.cmd crlf $root/SERVICES/tests/kit/run-tests.cmd
kit/scenarios.txt = $work/scenarios.txt
kit/testsvc.exe pe
deb/usr/bin/quillmar -
deb/usr/share/doc/quillmar/README.md.gz gz $root/README.md
deb/usr/share/doc/quillmar/THIRD-PARTY-NOTICES.txt.gz gz $notices
deb/usr/share/doc/quillmar/changelog.Debian.gz gz $tree/debian/changelog
deb/usr/share/doc/quillmar/changelog.gz gz $root/CHANGELOG.md
deb/usr/share/doc/quillmar/copyright -
deb/usr/share/lintian/overrides/quillmar -
deb/usr/share/man/man1/quillmar.1.gz -
deb/usr/share/man/man5/quillmar-machine.5.gz -
EOF
(cd "$work" && find release/ zip kit deb ! -type d) >"$work/found"
mapfile -t wanted < <(cut -d' ' -f1 "$work/table")
holds_exactly "the release, the ZIP, the kit and the .deb hold exactly the files of the table" \
    "$work/found" "${wanted[@]}"
papers=$(python3 -c 'import json, sys
for name, value in json.load(open(sys.argv[1]))["papers"].items(): print(f"s/@{name}@/{value}/g")' \
    "$windows/quillmar-facts.json")
while read -r file rule from; do
    case $rule in
        =) check "$file is ${from#"$root"/}" cmp -s "$from" "$work/$file" ;;
        crlf) check "$file is ${from#"$root"/} with CRLF line ends" with_crlf "$from" "$work/$file" ;;
        configured)
            sed -e "s/@PROJECT_VERSION@/$version/g" -e "$papers" "$from" >"$work/configured"
            check "$file is ${from#"$root"/} for $version, CRLF" with_crlf "$work/configured" "$work/$file" ;;
        gz) check "$file is ${from#"$root"/}, gzipped" gunzips_to "$work/$file" "$from" ;;
        pe) check "$file is a Windows executable" is_pe "$work/$file" ;;
    esac
done <"$work/table"

# ------------------------------------------------------------ quillmar.exe
check "cpack said the ZIP's quillmar.exe is not signed" \
    grep -q "quillmar.exe is NOT signed" "$work/release.log"
stripped() { file "$1" | grep -q "stripped to external PDB"; }
check "zip quillmar.exe is stripped" stripped "$work/zip/quillmar.exe"
check "zip quillmar.exe keeps its imports, version resource and manifest" \
    python3 "$root/SERVICES/tests/wine/check_exe.py" "$work/zip/quillmar.exe" "$version"

wait "$wineboot" || { cat "$work/wineboot.log" >&2; fail "making the prefix $WINEPREFIX"; }
echo "== $wine quillmar.exe (WINEPREFIX=$WINEPREFIX)"
{ printf '????'; python3 "$check_docs" print-usage "$root/README.md"; } >"$work/expected-usage"
# prints_usage DIR: DIR's quillmar.exe with no arguments under Wine.
prints_usage() {
    local status=0
    (cd "$1" && "$wine" ./quillmar.exe) 2>"$work/wine.err" </dev/null | tr -d '\r' >"$work/wine.lf" ||
        status=$?
    [ "$status" -eq 0 ] && cmp -s "$work/wine.lf" "$work/expected-usage" && [ ! -s "$work/wine.err" ] &&
        return
    echo "exit status $status" | cat - "$work/wine.err" >&2
    diff -u "$work/expected-usage" "$work/wine.lf" >&2
    return 1
}
check "zip's quillmar.exe under Wine prints ???? and the usage text" prints_usage "$work/zip"

lists_all() {
    (cd "$work/kit" && "$wine" cmd /c run-tests.cmd --list) >"$work/kit-list.out" </dev/null &&
        [ "$(grep -c . "$work/kit-list.out")" -eq "$(grep -c '^scenario'$'\t' "$work/kit/scenarios.txt")" ] &&
        [ ! -e "$work/kit/work" ]
}
check "kit run-tests.cmd --list under Wine lists its scenarios and changes nothing" lists_all

# cpack signs the staged exe as a release with a certificate would, a
# throwaway one made here, into a ZIP elsewhere.
echo "== cpack in $windows, signed with a throwaway certificate"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=quillmar throwaway test certificate" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$work/sign.key" -out "$work/sign.crt" \
    >"$work/openssl.log" 2>&1 || { cat "$work/openssl.log" >&2; fail "making a test certificate"; }
verifies() {
    osslsigncode verify -in "$1" -CAfile "$work/sign.crt" >"$work/verify.log" 2>&1 || true
    if ! grep -q "^Signature verification: ok" "$work/verify.log" || ! grep -q "^Succeeded" "$work/verify.log"; then
        cat "$work/verify.log" >&2
        return 1
    fi
}
if (cd "$windows" && QUILLMAR_SIGN_CERT="$work/sign.crt" QUILLMAR_SIGN_KEY="$work/sign.key" \
        cpack -B "$work/signed") >"$work/cpack-signed.log" 2>&1; then
    unzip -q "$work"/signed/quillmar-*-win64.zip -d "$work/signed-zip"
    signed=$work/signed-zip/quillmar.exe
    unzip -q "$work"/signed/quillmar-*-win64-tests.zip quillmar.exe -d "$work/signed-kit"
    check "the signed test kit holds the signed quillmar.exe" cmp -s "$work/signed-kit/quillmar.exe" "$signed"
    check "the signed quillmar.exe verifies (osslsigncode verify)" verifies "$signed"
    check "the signed quillmar.exe keeps its imports, version resource and manifest" \
        python3 "$root/SERVICES/tests/wine/check_exe.py" "$signed" "$version"
    check "the signed quillmar.exe under Wine prints ???? and the usage text" \
        prints_usage "$work/signed-zip"
else
    cat "$work/cpack-signed.log" >&2
    fail "cpack with a signing certificate"
fi

# ------------------------------------------------------------------ .deb
# Beside the tree is what build-release.sh did not move into the release.
check "dpkg-buildpackage made one package, no debug symbol package beside it" \
    [ "$(find "$work" "$release" -maxdepth 1 \( -name '*.deb' -o -name '*.ddeb' \) | wc -l)" -eq 1 ]
check "debian/changelog's $changelog_version is a package of quillmar $version" \
    [ "${changelog_version%-*}" = "$version" ]
check "debian/changelog's last entry is dated QUILLMAR_RELEASE_DATE ($release_date)" \
    [ "$changelog_day" = "$release_date" ]
# The C++ runtime is linked in: the C library is all the program needs.
dpkg-deb -f "$release/$deb" Package Version Maintainer Depends |
    sed 's/^\(Depends: libc6\) ([^)]*)$/\1/' >"$work/deb.fields"
holds_exactly "deb's Package, Version, Maintainer and Depends (libc6 alone)" "$work/deb.fields" \
    "Package: quillmar" "Version: $changelog_version" "Depends: libc6" \
    "Maintainer: quillmar developers <maintainers@quillmar.example>"
# Each override in debian/quillmar.lintian-overrides says why it holds.
lints_clean() {
    lintian --fail-on error,warning,info,pedantic --display-info --pedantic \
        --tag-display-limit 0 "$release/$deb" 2>&1 | grep -v '^running with root privileges'
    return "${PIPESTATUS[0]}"
}
check "lintian: no error, no warning, no information, nothing pedantic" lints_clean

doc="$work/deb/usr/share/doc/quillmar"
man1="$work/deb/usr/share/man/man1/quillmar.1.gz"
check "deb's quillmar -h prints the usage of the README and the man page" \
    python3 "$check_docs" usage "$work/deb/usr/bin/quillmar" "$root/README.md" "$man1"
check "deb man pages render" \
    python3 "$check_docs" render "$man1" "$work/deb/usr/share/man/man5/quillmar-machine.5.gz"
check "deb copyright is in the machine-readable format" \
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$doc/copyright"
# debian/copyright's licence text is LICENSE's, each line indented by one
# blank and an empty line written as " .".
same_licence() {
    cmp -s <(sed -n '/^Permission is hereby granted/,$p' "$root/LICENSE" | sed 's/^$/./; s/^/ /') \
        <(sed -n '/^License: Expat$/,/^[^ ]\|^$/{/^ /p}' "$doc/copyright")
}
check "deb copyright's Expat text is LICENSE's" same_licence
check "deb copyright's holder is LICENSE's" \
    grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' "$root/LICENSE")" "$doc/copyright"

if [ "$failures" -ne 0 ]; then
    echo "check-packages: $failures check(s) failed" >&2
    exit 1
fi
echo "check-packages: both packages are right"
