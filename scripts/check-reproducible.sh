#!/usr/bin/env bash
# The release rebuilds byte for byte: scripts/build-release.sh twice from one
# snapshot of the tree, reprotest comparing what a release publishes and
# diffoscope saying what differs. Exits 1 on a difference; the work directory
# is kept then.
#
# reprotest varies what it can without FUSE or namespaces (so not
# fileordering or domain_host). The user varies too, but not through its
# user_group variation, whose "sudo -h localhost -u USER" sudo 1.9.13
# refuses: as root, the control is built as root and reprotest runs as
# nobody, handed the control (--control-build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/quillmar-repro.XXXXXX)
started=$SECONDS

for tool in reprotest faketime diffoscope localedef dpkg-buildpackage; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/install-deps.sh)" >&2; exit 2; }
done

bash "$root/scripts/copy-tree.sh" "$work/source/quillmar"
# The tree may be changing under us.
cp -a "$work/source/quillmar" "$work/control-tree"
# reprotest's layout of a build's artefacts, which --control-build reads.
release=$work/control/source-root/release
as_other=()
if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1; then
    as_other=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
fi

# Both builds at once: reprotest compares as soon as its experiment is
# built, so the diffoscope it is given waits for the control first.
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
# What only the experiment needs, made while the control builds.
mkdir -p "$work/tmp" "$work/locale"
localedef -i et_EE -f UTF-8 "$work/locale/et_EE.UTF-8"
if [ ${#as_other[@]} -gt 0 ]; then
    chown -R nobody: "$work/source" "$work/tmp"
    chmod -R a+rX "$work/locale"
    chmod 755 "$work"
fi
reprotest_status=0
"${as_other[@]}" env HOME="$work/tmp" TMPDIR="$work/tmp" LOCPATH="$work/locale" QUILLMAR_RELEASE_JOBS=1 \
    reprotest --verbosity 1 --min-cpus 2 --diffoscope "$work/diffoscope-after-control" \
    --variations=-all,+build_path,+umask,+timezone,+locales,+time,+home,+exec_path,+environment,+kernel,+aslr,+num_cpus \
    --control-build "$work/control" -c 'bash scripts/build-release.sh release' \
    "$work/source/quillmar" 'release/*' >"$work/reprotest.log" 2>&1 || reprotest_status=$?
wait "$control" || true
if [ "$(cat "$work/control.status" 2>/dev/null)" != 0 ]; then
    tail -30 "$work/control.log" >&2
    echo "FAIL: the control build failed (its log: $work/control.log)" >&2
    exit 1
fi
grep -E '^INFO:reprotest[.a-z]*:([A-Z_]+ variation|build ")' "$work/reprotest.log" | sed 's/^INFO:[^:]*:/   /'
if [ "$reprotest_status" -ne 0 ] || ! grep -q '^Reproduction successful' "$work/reprotest.log"; then
    grep -v -E '^(INFO|WARNING):' "$work/reprotest.log" | tail -n 80 >&2
    echo "FAIL: reprotest: the second build differs or failed (status $reprotest_status;" \
         "$work/reprotest.log); both builds are kept in $work" >&2
    exit 1
fi
sed -n '/^No differences in/,$p' "$work/reprotest.log" | grep -v '^However, other factors'
published=("$release"/*)
rm -rf "$work"
echo "check-reproducible: the release rebuilds byte for byte in $((SECONDS - started)) s: ${published[*]##*/}"
