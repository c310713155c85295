#!/usr/bin/env bash
# Runs a command with an X display: the current one, or a private Xvfb started for it
# (a free display number chosen by Xvfb itself) and stopped afterwards.
set -euo pipefail
if [ -n "${DISPLAY:-}" ] || ! command -v Xvfb >/dev/null; then
  exec "$@"
fi
fifo="$(mktemp -u)"
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
read -r -t 20 number <"$fifo" || { echo "Xvfb did not start" >&2; kill "$xvfb" 2>/dev/null; exit 1; }
rm -f "$fifo"
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null || true' EXIT
status=0
DISPLAY=":$number" "$@" || status=$?
exit "$status"
