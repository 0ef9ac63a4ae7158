#!/usr/bin/env bash
# What old files cost the user: start to command beside a killed run's stage and over a
# previous installation, close to end while the previous installation goes; disk and tmpfs.
# Usage: bench/housekeeping.sh [BUILD_DIR] [OTHER_STUB...]   (HK_FILES, HK_RUNS)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
shift || true
here=$(cd "$(dirname "$0")" && pwd)
for tool in strace xdotool; do
  command -v "$tool" >/dev/null || { echo "housekeeping: $tool is not installed" >&2; exit 1; }
done
cmake --build "$build" --target sfx-stub wm_delete -j2 >/dev/null
exec "$here/../tests/support/with-xvfb.sh" /usr/bin/python3 "$here/housekeeping.py" "$build" \
  "$build/sfx-stub" "$@"
