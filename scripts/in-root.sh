#!/usr/bin/env bash
# Runs COMMAND as root in a Debian root made by debian-root.sh, in private mount, PID and IPC
# namespaces (and a network namespace of its own unless --network is given). Inside are
# /proc, /sys with the host's cgroup hierarchies, and a tmpfs /dev/shm; the command may mount
# more (tmpfs, bind mounts). Every mount goes away with the namespaces, and so does every
# process the command leaves behind.
#
# With --overlay DIR, ROOT stays untouched: the command sees ROOT with DIR/upper laid over it,
# and everything it writes lands in DIR/upper. Files put in DIR/upper beforehand are there too.
#
# Usage: in-root.sh [--network] [--overlay DIR] ROOT COMMAND [ARGS...]   (needs root)
set -euo pipefail

fail() { echo "in-root: $*" >&2; exit 1; }

network=(--net)
overlay=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --network) network=(); shift ;;
    --overlay) [[ $# -ge 2 ]] || fail "--overlay needs a directory"; overlay=$2; shift 2 ;;
    *) break ;;
  esac
done
[[ $# -ge 2 ]] || fail "usage: in-root.sh [--network] [--overlay DIR] ROOT COMMAND [ARGS...]"
root=$1
shift
[[ $(id -u) -eq 0 ]] || fail "needs root (chroot and mount namespaces)"
[[ -x "$root/bin/sh" ]] || fail "not a Debian root: $root"
if [[ -n "$overlay" ]]; then
  mkdir -p "$overlay/upper" "$overlay/work" "$overlay/root"
fi

# Runs as PID 1 of the new PID namespace: when it ends, the kernel ends everything else there.
inside='
set -e
root=$1 overlay=$2
shift 2
if [ -n "$overlay" ]; then
  mount -t overlay overlay -o "lowerdir=$root,upperdir=$overlay/upper,workdir=$overlay/work" \
    "$overlay/root" || { echo "in-root: cannot lay $overlay/upper over $root" >&2; exit 1; }
  root=$overlay/root
fi
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mkdir -p "$root/dev/shm"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
set +e
chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/root LANG=C.UTF-8 TERM=dumb "$@"
'
exec unshare --mount --propagation private --pid --fork --ipc "${network[@]}" \
  /bin/sh -c "$inside" in-root "$root" "$overlay" "$@"
