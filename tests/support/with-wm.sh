#!/usr/bin/env bash
# Runs a command under a window manager on the display DISPLAY names (with-xvfb.sh's),
# then stops the window manager. Exits 77, which CTest counts as skipped, when the window
# manager is not installed or does not come up.
# Usage: with-wm.sh WINDOW_MANAGER COMMAND [ARGS...]
set -u
wm=$1
shift
if ! command -v "$wm" >/dev/null; then
  echo "with-wm: skipped, $wm is not installed (scripts/install-deps.sh installs it)" >&2
  exit 77
fi
"$wm" >/dev/null 2>&1 &
pid=$!
# A window manager that manages the screen says so on the root window.
for _ in $(seq 200); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && break
  sleep 0.05
done
if ! xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; then
  echo "with-wm: skipped, $wm did not take the screen within 10 s" >&2
  kill "$pid" 2>/dev/null
  exit 77
fi
export SFX_WM="$wm"
"$@"
status=$?
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
exit "$status"
