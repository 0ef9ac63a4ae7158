#!/usr/bin/env bash
# Our installer against unzip on the large payloads: 1 GiB in 12 files (two of 256 MiB,
# past what is inflated in one call) and 100,000 files of 1-8 KiB in 1,000 directories; on
# the disk (under the build directory) and on a tmpfs; then how long a close takes to end
# the installer while it inflates a long entry in slices, and one in one call. Payloads
# and archives are made once,
# under BUILD_DIR/bench-cache (about 3 GiB).
# Usage: bench/scaling.sh [BUILD_DIR] [STUB]   (SCALING_RUNS, default 3; SCALING_WHERE,
# default "disk tmpfs")
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
stub=${2:-$build/sfx-stub}
for tool in zip unzip xdotool /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "scaling: $tool is not installed" >&2; exit 1; }
done
cmake --build "$build" --target sfx-stub wm_delete -j2 >/dev/null
exec "$here/../tests/support/with-xvfb.sh" /usr/bin/python3 "$here/scaling.py" "$build" "$stub"
