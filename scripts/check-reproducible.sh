#!/usr/bin/env bash
# The release rebuilds byte for byte. Builds it twice from one snapshot of
# the tree with scripts/build-release.sh (the .deb through
# dpkg-buildpackage, the ZIP through the release-windows workflow preset)
# and has reprotest (Debian's reproducible-builds tool) compare what a
# release publishes: the native quillmar, quillmar.exe, the .deb, the ZIP,
# the test kit's ZIP and their .sha256 files, with diffoscope saying what
# differs; the kit must hold the release ZIP's quillmar.exe. Then each
# .sha256 file must match its package, and THIRD-PARTY-NOTICES.txt must be
# in both packages and name every file the link maps show linked in from
# the toolchains. Exits 1 on any difference.
#
#   scripts/check-reproducible.sh [WORK_DIR]
#
# WORK_DIR (default: a new directory under /tmp) keeps both builds and
# their logs; it is removed when everything matched.
#
# The two build at once, one job each. The first is the control: this
# user, umask 022, TZ=UTC, C.UTF-8, the clock as it is. The second is
# reprotest's experiment, which varies against it what can be varied here
# without FUSE or namespaces: the build path, umask (002), time zone
# (GMT-14), locale (et_EE.UTF-8, compiled here into a private LOCPATH),
# time (faketime, months ahead), HOME, PATH, the environment, the kernel's
# name (setarch), ASLR and the CPUs. The
# user varies too, but not through reprotest's user_group variation: in
# reprotest 0.7.23 it runs its builds through "sudo -h localhost -u USER",
# which sudo 1.9.13 refuses ("sudo: a remote host may only be specified
# when listing privileges"); so when this runs as root, the control is
# built as root and reprotest itself runs as nobody, handed the control's
# artefacts (--control-build). Left out: fileordering (disorderfs, FUSE)
# and domain_host (unshare, namespaces).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$(mktemp -d /tmp/quillmar-repro.XXXXXX)}
mkdir -p "$work"
work=$(cd "$work" && pwd)
started=$SECONDS

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() {
    echo "ok: $*"
}

for tool in reprotest faketime diffoscope localedef dpkg-buildpackage; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/install-deps.sh)" >&2; exit 2; }
done

rm -rf "$work/source" "$work/control" "$work/control-tree" "$work/tmp" "$work/locale" "$work/unpacked" \
    "$work/control.status"
bash "$root/scripts/copy-tree.sh" "$work/source/quillmar"
# The control from the same snapshot as the experiment: the tree may be
# changing under us.
cp -a "$work/source/quillmar" "$work/control-tree"
# reprotest's layout of a build's artefacts, which --control-build reads.
release=$work/control/source-root/release

mkdir -p "$work/tmp" "$work/locale"
localedef -i et_EE -f UTF-8 "$work/locale/et_EE.UTF-8"
as_other=()
if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1; then
    chown -R nobody: "$work/source" "$work/tmp"
    chmod -R a+rX "$work/locale"
    chmod 755 "$work"
    as_other=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
fi

# Both builds at once, one job each. reprotest compares as soon as its
# experiment is built, so the diffoscope it is given first waits for the
# control to end (and fails, status 2, when the control failed).
echo "== building the release twice: the control in $work/control-tree" \
     "(umask 022, UTC, C.UTF-8, user $(id -un)), and reprotest's experiment${as_other:+ as nobody}"
(
    status=0
    (cd "$work/control-tree" && umask 022 &&
        env TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8 LANGUAGE=en_US:en QUILLMAR_RELEASE_JOBS=1 \
            bash scripts/build-release.sh "$release") >"$work/control.log" 2>&1 || status=$?
    echo "$status" >"$work/control.status.new"
    mv "$work/control.status.new" "$work/control.status"
) &
control=$!
printf '%s\n' '#!/bin/sh' \
    "while [ ! -e '$work/control.status' ]; do sleep 1; done" \
    "[ \"\$(cat '$work/control.status')\" = 0 ] || exit 2" \
    'exec diffoscope "$@"' >"$work/diffoscope-after-control"
chmod 755 "$work/diffoscope-after-control"
reprotest_status=0
"${as_other[@]}" env HOME="$work/tmp" TMPDIR="$work/tmp" LOCPATH="$work/locale" QUILLMAR_RELEASE_JOBS=1 \
    reprotest --verbosity 1 --min-cpus 2 --diffoscope "$work/diffoscope-after-control" \
    --variations=-all,+build_path,+umask,+timezone,+locales,+time,+home,+exec_path,+environment,+kernel,+aslr,+num_cpus \
    --control-build "$work/control" -c 'bash scripts/build-release.sh release' \
    "$work/source/quillmar" 'release/*' >"$work/reprotest.log" 2>&1 || reprotest_status=$?
wait "$control" || true
if [ "$(cat "$work/control.status" 2>/dev/null)" != 0 ]; then
    tail -30 "$work/control.log" >&2
    fail "the control build failed (its log: $work/control.log)"
    exit 1
fi
echo "   both built and compared in $((SECONDS - started)) s"
grep -E '^INFO:reprotest[.a-z]*:([A-Z_]+ variation|build ")' "$work/reprotest.log" | sed 's/^INFO:[^:]*:/   /'
if [ "$reprotest_status" -eq 0 ] && grep -q '^Reproduction successful' "$work/reprotest.log"; then
    sed -n '/^No differences in/,$p' "$work/reprotest.log" | grep -v '^However, other factors'
    published=("$release"/*)
    pass "the release rebuilds byte for byte: ${published[*]##*/}"
else
    # diffoscope's account of what differs, or the failed build's end.
    grep -v -E '^(INFO|WARNING):' "$work/reprotest.log" | tail -n 80 >&2
    fail "reprotest: the second build differs or failed (status $reprotest_status; $work/reprotest.log)"
fi

for want in quillmar quillmar.exe; do
    [ -f "$release/$want" ] || fail "the control build left no $want"
done
debs=("$release"/*.deb)
zips=("$release"/quillmar-*-win64.zip)
kits=("$release"/quillmar-*-win64-tests.zip)
[ -f "${debs[0]}" ] || fail "the control build left no .deb"
[ -f "${zips[0]}" ] || fail "the control build left no ZIP"
[ -f "${kits[0]}" ] || fail "the control build left no test kit ZIP"
for sums in "$release"/*.sha256; do
    if (cd "$release" && sha256sum --quiet -c "$(basename "$sums")"); then
        pass "sha256sum -c $(basename "$sums")"
    else
        fail "sha256sum -c $(basename "$sums") in $release"
    fi
done

# The notices: shipped in both packages as they stand in docs/, and not
# behind either link.
notices=$root/docs/THIRD-PARTY-NOTICES.txt
unpacked=$work/unpacked
mkdir -p "$unpacked/deb" "$unpacked/zip"
dpkg-deb -x "${debs[0]}" "$unpacked/deb"
unzip -q "${zips[0]}" -d "$unpacked/zip"
if unzip -q "${kits[0]}" quillmar.exe -d "$unpacked/kit" &&
    cmp -s "$unpacked/kit/quillmar.exe" "$unpacked/zip/quillmar.exe"; then
    pass "the test kit holds the release ZIP's quillmar.exe"
else
    fail "the test kit's quillmar.exe is not the release ZIP's"
fi
if gzip -dc "$unpacked/deb/usr/share/doc/quillmar/THIRD-PARTY-NOTICES.txt.gz" 2>/dev/null |
        cmp -s "$notices" -; then
    pass "the .deb holds THIRD-PARTY-NOTICES.txt"
else
    fail "the .deb's /usr/share/doc/quillmar/THIRD-PARTY-NOTICES.txt.gz is missing or not docs/'s"
fi
if sed 's/$/\r/' "$notices" | cmp -s - "$unpacked/zip/THIRD-PARTY-NOTICES.txt"; then
    pass "the ZIP holds THIRD-PARTY-NOTICES.txt (CRLF)"
else
    fail "the ZIP's THIRD-PARTY-NOTICES.txt is missing or not docs/'s with CRLF"
fi
native_map=("$work"/control-tree/obj-*/quillmar.map)
if python3 "$root/scripts/check-notices.py" "$notices" "${native_map[0]}" \
    "$work/control-tree/build/release-windows/quillmar.map"; then
    pass "THIRD-PARTY-NOTICES.txt names every component linked in"
else
    fail "THIRD-PARTY-NOTICES.txt is behind the link (above)"
fi

echo "check-reproducible: $((SECONDS - started)) s in all"
if [ "$failures" -ne 0 ]; then
    echo "check-reproducible: $failures check(s) failed; both builds are kept in $work" >&2
    exit 1
fi
rm -rf "$work"
echo "check-reproducible: the release rebuilds byte for byte"
