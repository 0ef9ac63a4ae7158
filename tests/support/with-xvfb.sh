#!/usr/bin/env bash
# Runs a command against a private Xvfb server on a free display, then stops the server.
# -noreset: a server that resets whenever its last client leaves refuses the next one
# for a moment, and the tests connect and disconnect all the time.
# Usage: with-xvfb.sh COMMAND [ARGS...]; SFX_XVFB_SCREEN sets the screen (1024x768x24).
set -u
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 "${SFX_XVFB_SCREEN:-1024x768x24}" -nolisten tcp -noreset 3>"$fifo" 2>/dev/null &
xvfb=$!
read -r -t 20 number <"$fifo"
rm -f "$fifo"
if [[ -z "${number:-}" ]]; then
  echo "with-xvfb: Xvfb did not start" >&2
  kill "$xvfb" 2>/dev/null
  exit 1
fi
export DISPLAY=":$number"
"$@"
status=$?
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
exit "$status"
