#!/usr/bin/env bash
# Prints the path of a Debian root for building and testing in: `debootstrap --variant=minbase`
# of RELEASE plus the packages `install-deps.sh --list build test` names, and for the arm64
# stub a cross compiler (crossbuild-essential-arm64) with every -dev package of the build
# group as arm64's (`dpkg --add-architecture arm64`), whatever the build group holds. Those
# marked Multi-Arch: same install beside the native ones; the others (libfltk1.3-dev, which
# ships fltk-config) cannot, so their arm64 libraries are unpacked into
# /usr/lib/aarch64-linux-gnu instead (the headers are the native package's, the same files).
# The root is made
# once and cached under ${XDG_CACHE_HOME:-$HOME/.cache}/sfx-portable/, named by a hash of
# the release and the package list, so a changed list makes a new root (and the old one goes).
# A root is made under a temporary name and renamed when complete: an interrupted run never
# leaves a half root that would count as made.
#
# Usage: debian-root.sh RELEASE   (needs root; SFX_DEBIAN_MIRROR overrides the mirror)
set -euo pipefail

fail() { echo "debian-root: $*" >&2; exit 1; }

release=${1:-}
[[ -n "$release" ]] || fail "usage: debian-root.sh RELEASE"
here=$(cd "$(dirname "$0")" && pwd)
mirror=$("$here/apt-mirror.sh")
[[ $(id -u) -eq 0 ]] || fail "needs root (debootstrap, chroot and mount namespaces)"
command -v debootstrap >/dev/null || fail "debootstrap is not installed (run scripts/install-deps.sh)"

packages=$("$here/install-deps.sh" --list build test | sort -u | tr '\n' ' ')
arm64=$({ echo crossbuild-essential-arm64
          "$here/install-deps.sh" --list build | sed -n 's/-dev$/-dev:arm64/p'; } | sort -u | tr '\n' ' ')
# The first field is the recipe's version: change it when the way a root is made changes.
key=$(printf '2 %s minbase %s arm64 %s' "$release" "$packages" "$arm64" | sha256sum | cut -c1-16)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/sfx-portable
root=$cache/$release-$key

if [[ ! -f "$root/.complete" ]]; then
  mkdir -p "$cache"
  exec 9>"$cache/.lock"
  flock 9  # one run makes the root, the others wait for it
fi
if [[ ! -f "$root/.complete" ]]; then
  # Leftovers of runs that were killed, and roots of older package lists.
  for old in "$cache/.new-$release-"* "$cache/$release-"*; do
    [[ -e "$old" ]] && rm -rf --one-file-system "$old"
  done
  tmp=$(mktemp -d "$cache/.new-$release-XXXXXX")
  log=$cache/$release-$key.log
  trap 'rm -rf --one-file-system "$tmp"' EXIT
  echo "debian-root: making the $release root $root (a few minutes; log: $log)" >&2
  if ! debootstrap --variant=minbase "$release" "$tmp" "$mirror" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    fail "debootstrap of $release into $tmp failed (log: $log)"
  fi
  cp /etc/resolv.conf "$tmp/etc/resolv.conf"
  # shellcheck disable=SC2016
  if ! "$here/in-root.sh" --network "$tmp" /bin/sh -c '
      set -e
      packages=$1 arm64=$2
      dpkg --add-architecture arm64
      apt-get update -qq
      install="" unpack=""
      for p in $arm64; do
        case "$p" in
          *:arm64) apt-cache show --no-all-versions "$p" | grep -qx "Multi-Arch: same" ||
                     { unpack="$unpack ${p%:arm64}"; continue; } ;;
        esac
        install="$install $p"
      done
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        $packages $install
      mkdir /tmp/unpack && cd /tmp/unpack
      for p in $unpack; do
        apt-get download "$p:arm64"
        dpkg-deb -x "$p"_*_arm64.deb .
      done
      [ -z "$unpack" ] || cp -a usr/lib/aarch64-linux-gnu/. /usr/lib/aarch64-linux-gnu/
      cd / && rm -rf /tmp/unpack && apt-get clean' debian-root "$packages" "$arm64" \
      >>"$log" 2>&1; then
    tail -n 20 "$log" >&2
    fail "installing the packages in $tmp failed (log: $log)"
  fi
  echo "$packages $arm64" >"$tmp/.complete"
  mv "$tmp" "$root"
  trap - EXIT
fi
echo "$root"
