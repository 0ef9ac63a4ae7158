#!/usr/bin/env bash
# How soon the window is on screen for a 1 GiB installer whose file is not in the page
# cache: the time from starting it to its window being mapped, median of 5 runs, with the
# installer's pages dropped from the cache before each (fadvise; other files keep theirs).
# The installer is stopped once its window is there; it cleans up after itself.
# Usage: bench/first_window.sh [BUILD_DIR]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
if [[ -z "${FIRST_WINDOW_UNDER_XVFB:-}" ]]; then
  FIRST_WINDOW_UNDER_XVFB=1 exec "$here/../tests/support/with-xvfb.sh" "$0" "$build"
fi
work=$(mktemp -d "$build/first-window.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/setup"
for i in 0 1 2 3; do head -c $((256 << 20)) /dev/urandom >"$work/src/setup/part-$i.bin"; done
(cd "$work/src" && zip -q -0 -r ../payload.zip setup)
rm -rf "$work/src"
"$here/../tools/pack-installer" --stub "$build/sfx-stub" --archive "$work/payload.zip" \
  -c 'true' -o "$work/installer" >/dev/null
rm "$work/payload.zip"
PYTHONPATH="$here/../tests/support" /usr/bin/python3 - "$work" <<'PY'
import os, signal, statistics, subprocess, sys, time
import sfx_testlib as lib

work = sys.argv[1]
installer = os.path.join(work, "installer")
x = lib.x_connection()
times = []
for run in range(5):
    target = os.path.join(work, "run-%d" % run)
    os.mkdir(target)
    fd = os.open(installer, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
    start = time.monotonic()
    process = subprocess.Popen([installer], cwd=target, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    shown = None
    while shown is None and process.poll() is None:
        for window in x.top_windows():
            if x.viewable(window) and x.name(window) == lib.TITLE:
                shown = time.monotonic() - start
        time.sleep(0.002)
    process.send_signal(signal.SIGTERM)
    process.wait()
    if shown is None:
        sys.exit("first_window: the installer ended before its window showed")
    times.append(shown)
print("1 GiB installer (%d bytes), cold page cache: window on screen after %s s"
      % (os.path.getsize(installer), " ".join("%.3f" % t for t in times)))
print("median %.3f s (target: within 0.3 s)" % statistics.median(times))
PY
