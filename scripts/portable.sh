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
#
# With arm64, the stub for 64-bit ARM desktops, cross-compiled in the same root into
# build-portable-arm64/; `check` runs its tests under this machine's qemu-aarch64-static
# (qemu-user), copied into the root for the run.
# CTEST_ARGS goes to ctest (`-L unit`: the unit tests alone, as CI runs the arm64 ones).
# Usage: portable.sh build|check [amd64|arm64]   (needs root)
set -euo pipefail

fail() { echo "portable: $*" >&2; exit 1; }

mode=${1:-}
arch=${2:-amd64}
[[ "$mode" == build || "$mode" == check ]] || fail "usage: portable.sh build|check [amd64|arm64]"
[[ $(id -u) -eq 0 ]] || fail "needs root: it builds in a Debian 11 root (debootstrap, chroot, mount namespaces)"
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
jobs=${JOBS:-$(nproc)}
case "$arch" in
  amd64|x86_64)
    [[ $(uname -m) == x86_64 ]] || fail "the Debian 11 root is an x86-64 one; this machine is $(uname -m)"
    name=build-portable
    cross="" ;;
  arm64|aarch64)
    name=build-portable-arm64
    qemu=/usr/bin/qemu-aarch64-static
    [[ -x "$qemu" ]] || fail "$qemu is missing: the arm64 tests run under it (scripts/install-deps.sh installs qemu-user-static)"
    cross="-DCMAKE_TOOLCHAIN_FILE=/src/cmake/aarch64-linux-gnu.cmake -DCMAKE_CROSSCOMPILING_EMULATOR=$qemu" ;;
  *) fail "no portable build for $arch (amd64 or arm64)" ;;
esac
out=$top/$name

root=$("$here/debian-root.sh" bullseye)
key=$(basename "$root")
run=$(mktemp -d "${TMPDIR:-/var/tmp}/sfx-portable-XXXXXX")
trap 'rm -rf --one-file-system "$run"' EXIT

mkdir -p "$run/upper/src"
if [[ -n "${qemu:-}" ]]; then
  # Debian 11's own qemu (5.2) is older than this machine's; a static program runs anywhere.
  mkdir -p "$run/upper$(dirname "$qemu")"
  cp "$qemu" "$run/upper$qemu" || fail "cannot copy $qemu into $run/upper"
fi
tar -C "$top" --exclude=./.git --exclude=./build --exclude='./build-*' -cf - . |
  tar -C "$run/upper/src" -xf - || fail "cannot copy the sources from $top to $run/upper/src"
# A build tree made on another root (an older package list) starts over.
if [[ -f "$out/.root" && "$(cat "$out/.root")" == "$key" ]]; then
  cp -a "$out" "$run/upper/src/$name" || fail "cannot copy $out to $run/upper/src"
fi

# Warnings are errors in our own check, not in a packager's `make portable`.
werror=$([[ "$mode" == check ]] && echo ON || echo OFF)
configure="cmake -S /src -B /src/$name -DCMAKE_BUILD_TYPE=MinSizeRel -DSFX_GLIBC_FLOOR=2.28 \
  -DSFX_WERROR=$werror $cross >/dev/null"
if [[ "$mode" == build ]]; then
  steps="$configure && cmake --build /src/$name --target sfx-stub sfx-list -j$jobs"
else
  steps="$configure && cmake --build /src/$name -j$jobs &&
    scripts/check-glibc-floor.sh $name/sfx-stub && scripts/check-glibc-floor.sh $name/sfx-list &&
    cd $name && ctest --output-on-failure -j$jobs ${CTEST_ARGS:-}"
fi
status=0
"$here/in-root.sh" --overlay "$run" "$root" /bin/sh -c "cd /src && $steps" || status=$?

# The build tree comes back even when a test failed: its logs tell why.
if [[ -d "$run/upper/src/$name" ]]; then
  rm -rf --one-file-system "$out.new"
  cp -a "$run/upper/src/$name" "$out.new" || fail "cannot copy the build tree to $out.new"
  echo "$key" >"$out.new/.root"
  rm -rf --one-file-system "$out"
  mv "$out.new" "$out"
fi
[[ $status -eq 0 ]] || fail "failed in the Debian 11 root (status $status)"
echo "portable: $out/sfx-stub ($(stat -c %s "$out/sfx-stub") bytes, $arch), built on Debian 11"
