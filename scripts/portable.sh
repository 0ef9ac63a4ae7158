#!/usr/bin/env bash
# make portable (build) and make portable-check (check): the shipped stub built in a Debian 11
# root with that release's GCC 10, CMake 3.18, FLTK 1.3.5, Boost 1.74 and zlib, so that it
# starts on every desktop with glibc 2.28 or newer; written to build-portable/sfx-stub.
# `check` also builds the tests and, in the root, runs the glibc floor check on that stub and
# the whole test suite (unit tests, and installers under Xvfb with Debian 11's X11 libraries
# and Python).
#
# The cached root (debian-root.sh) is never written to: each run lays a fresh directory over
# it (in-root.sh --overlay) holding a copy of the sources and of build-portable/, the build
# tree, which is copied back afterwards so that the next run builds only what changed.
# Usage: portable.sh build|check   (needs root)
set -euo pipefail

fail() { echo "portable: $*" >&2; exit 1; }

mode=${1:-}
[[ "$mode" == build || "$mode" == check ]] || fail "usage: portable.sh build|check"
[[ $(id -u) -eq 0 ]] || fail "needs root: it builds in a Debian 11 root (debootstrap, chroot, mount namespaces)"
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
out=$top/build-portable
jobs=${JOBS:-$(nproc)}

root=$("$here/debian-root.sh" bullseye)
key=$(basename "$root")
run=$(mktemp -d "${TMPDIR:-/var/tmp}/sfx-portable-XXXXXX")
trap 'rm -rf --one-file-system "$run"' EXIT

mkdir -p "$run/upper/src"
tar -C "$top" --exclude=./.git --exclude=./build --exclude='./build-*' -cf - . |
  tar -C "$run/upper/src" -xf - || fail "cannot copy the sources from $top to $run/upper/src"
# A build tree made on another root (an older package list) starts over.
if [[ -f "$out/.root" && "$(cat "$out/.root")" == "$key" ]]; then
  cp -a "$out" "$run/upper/src/build-portable" || fail "cannot copy $out to $run/upper/src"
fi

configure="cmake -S /src -B /src/build-portable -DCMAKE_BUILD_TYPE=MinSizeRel -DSFX_GLIBC_FLOOR=2.28 >/dev/null"
if [[ "$mode" == build ]]; then
  steps="$configure && cmake --build /src/build-portable --target sfx-stub sfx-list -j$jobs"
else
  steps="$configure && cmake --build /src/build-portable -j$jobs &&
    scripts/check-glibc-floor.sh build-portable/sfx-stub &&
    cd build-portable && ctest --output-on-failure -j$jobs"
fi
status=0
"$here/in-root.sh" --overlay "$run" "$root" /bin/sh -c "cd /src && $steps" || status=$?

# The build tree comes back even when a test failed: its logs tell why.
if [[ -d "$run/upper/src/build-portable" ]]; then
  rm -rf --one-file-system "$out.new"
  cp -a "$run/upper/src/build-portable" "$out.new" || fail "cannot copy the build tree to $out.new"
  echo "$key" >"$out.new/.root"
  rm -rf --one-file-system "$out"
  mv "$out.new" "$out"
fi
[[ $status -eq 0 ]] || fail "failed in the Debian 11 root (status $status)"
echo "portable: $out/sfx-stub ($(stat -c %s "$out/sfx-stub") bytes), built on Debian 11"
