#!/usr/bin/env bash
# Prints the path of a Debian root for building and testing in: `debootstrap --variant=minbase`
# of RELEASE plus the packages `install-deps.sh --list build test` names. The root is made
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
# The first field is the recipe's version: change it when the way a root is made changes.
key=$(printf '1 %s minbase %s' "$release" "$packages" | sha256sum | cut -c1-16)
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
  # shellcheck disable=SC2086
  if ! "$here/in-root.sh" --network "$tmp" /bin/sh -c \
      "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
       --no-install-recommends $packages && apt-get clean" >>"$log" 2>&1; then
    tail -n 20 "$log" >&2
    fail "installing the packages in $tmp failed (log: $log)"
  fi
  echo "$packages" >"$tmp/.complete"
  mv "$tmp" "$root"
  trap - EXIT
fi
echo "$root"
