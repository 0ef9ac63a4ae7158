#!/usr/bin/env bash
# Packs demo/payload into an installer built on the stub in $1 (default build/) and runs it
# in a fresh temporary directory. With a display it runs there; without one it runs under a
# private Xvfb and saves a screenshot of its window to $1/demo.png (the one in
# docs/installer-window.png was made so).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
stub="$build/sfx-stub"
command='cd sambrel-demo && ./install.sh'

fail() { echo "run-demo: $*" >&2; exit 1; }

need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (run scripts/install-deps.sh)"
  done
}

[[ -x "$stub" ]] || fail "no stub at $stub (run make first)"
need zip

# Without a display, start over under a private X server.
if [[ -z "${DISPLAY:-}" ]]; then
  need Xvfb xdotool import
  SFX_DEMO_SCREENSHOT="$build/demo.png" exec "$here/../tests/support/with-xvfb.sh" "$0" "$build"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/sambrel-demo-XXXXXX")
trap 'rm -rf "$work"' EXIT

# The installer, made as a packager makes one.
installer="$work/sambrel-demo-setup"
"$here/../tools/pack-installer" --stub "$stub" -c "$command" -o "$installer" \
  "$here/payload/sambrel-demo" >/dev/null
echo "run-demo: built $(basename "$installer") ($(stat -c %s "$installer") bytes), running it in $work/run"

mkdir "$work/run"
cd "$work/run"
if [[ -z "${SFX_DEMO_SCREENSHOT:-}" ]]; then
  "$installer"
  exit
fi

# The autorun command prints its first line once the extraction is over, then stays a
# couple of seconds: that is when the window shows its full bar.
log="$work/installer.log"
"$installer" >"$log" 2>&1 &
pid=$!
for _ in $(seq 200); do
  grep -q "installed in" "$log" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
window=$(xdotool search --onlyvisible --name '^Sambrel Ivox SFX Tool$' | head -n 1 || true)
if [[ -n "$window" ]]; then
  sleep 0.2
  # -strip: no dates inside, so the same picture gives the same file.
  import -window "$window" -strip "$SFX_DEMO_SCREENSHOT"
  echo "run-demo: window screenshot saved to $SFX_DEMO_SCREENSHOT"
else
  echo "run-demo: the installer's window did not show" >&2
fi
status=0
wait "$pid" || status=$?
cat "$log"
echo "run-demo: installer ended with status $status"
exit "$status"
