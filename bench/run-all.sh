#!/usr/bin/env bash
# Runs every benchmark against the build in $1 (default build/) and prints their figures.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
cmake --build "$build" -j"$(nproc)" >/dev/null
for program in "$build"/bench/*_bench; do
  echo "== $(basename "$program")"
  "$here/../tests/support/with-xvfb.sh" "$program"
done
for script in "$here"/*.sh; do
  [[ "$(basename "$script")" == run-all.sh ]] && continue
  echo "== $(basename "$script")"
  "$script" "$build"
done
