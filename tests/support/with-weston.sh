#!/usr/bin/env bash
# Runs a command against XWayland under a headless weston, as on a Wayland desktop, then
# stops weston. Exits 77, which CTest counts as skipped, when weston or XWayland is not
# installed or does not come up here.
# Usage: with-weston.sh COMMAND [ARGS...]
set -u
for tool in weston Xwayland; do
  if ! command -v "$tool" >/dev/null; then
    echo "with-weston: skipped, $tool is not installed (scripts/install-deps.sh installs it)" >&2
    exit 77
  fi
done
runtime=$(mktemp -d)
chmod 700 "$runtime"
export XDG_RUNTIME_DIR="$runtime"
weston --backend=headless-backend.so --xwayland --socket=wayland-sfx --idle-time=0 \
  --log="$runtime/log" >/dev/null 2>&1 &
pid=$!
stop() {
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  rm -rf "$runtime"
}
# weston says where XWayland listens; XWayland itself starts with the first client.
number=""
for _ in $(seq 200); do
  number=$(sed -n 's/.*xserver listening on display :\([0-9]*\).*/\1/p' "$runtime/log" 2>/dev/null)
  [[ -n "$number" ]] && break
  sleep 0.05
done
if [[ -z "$number" ]]; then
  echo "with-weston: skipped, weston with XWayland did not start here" >&2
  tail -5 "$runtime/log" >&2 2>/dev/null
  stop
  exit 77
fi
export DISPLAY=":$number"
unset WAYLAND_DISPLAY
"$@"
status=$?
stop
exit "$status"
