#!/usr/bin/env bash
# The README's quick start as a new user meets it: a fresh Debian root (debootstrap
# --variant=minbase of RELEASE, default bookworm) with nothing added but make, a clean clone
# of this repository's HEAD in /src, then `make demo` and `make check` there as root. Prints
# the last lines of each; the whole output is kept in LOGDIR (default: the current
# directory). The root is made anew every time and removed afterwards. Not part of CI: it
# downloads a whole system and takes about a quarter of an hour.
# Usage: fresh-debian-check.sh [RELEASE]   (needs root; LOGDIR=DIR keeps the logs there)
set -euo pipefail

fail() { echo "fresh-debian-check: $*" >&2; exit 1; }

release=${1:-bookworm}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
logs=$(cd "${LOGDIR:-.}" && pwd)
mirror=$("$here/apt-mirror.sh")
[[ $(id -u) -eq 0 ]] || fail "needs root (debootstrap, chroot and mount namespaces)"
command -v debootstrap >/dev/null || fail "debootstrap is not installed (run scripts/install-deps.sh)"

work=$(mktemp -d "${TMPDIR:-/var/tmp}/sfx-fresh-XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT
root=$work/root

echo "fresh-debian-check: debootstrap $release into $root" >&2
debootstrap --variant=minbase "$release" "$root" "$mirror" >"$logs/fresh-debootstrap.log" 2>&1 ||
  fail "debootstrap failed (log: $logs/fresh-debootstrap.log)"
cp /etc/resolv.conf "$root/etc/resolv.conf"
"$here/in-root.sh" --network "$root" /bin/sh -c \
  "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq make" \
  >>"$logs/fresh-debootstrap.log" 2>&1 || fail "cannot install make (log: $logs/fresh-debootstrap.log)"
git clone -q "$top" "$root/src" || fail "cannot clone $top into $root/src"
echo "fresh-debian-check: $(git -C "$root/src" log -1 --format='%h %s')" >&2

status=0
for target in demo check; do
  log=$logs/fresh-make-$target.log
  echo "fresh-debian-check: make $target (log: $log)" >&2
  result=0
  # The demo installs the packages, so it needs the network; the tests do not get it.
  network=()
  [[ $target == demo ]] && network=(--network)
  "$here/in-root.sh" "${network[@]}" "$root" /bin/sh -c "cd /src && make $target" >"$log" 2>&1 ||
    result=$?
  echo "---- make $target: status $result; its last lines:"
  tail -n 12 "$log"
  [[ $result -eq 0 ]] || status=1
done
exit $status
