#!/bin/sh
# Runs a Windows program under Wine for CTest: wine-run.sh 64|32 PROGRAM [ARGUMENT...], with
# the loader for programs of that width (wine-loader.sh). Its output goes through a file:
# Wine's background processes (the desktop, its services) inherit the output of the program
# that starts them, and a pipe that they keep open would hold CTest up until they end.
#
# Now and then, with the machine busy, Wine fails to start the program at all ("Application
# could not be started ... ShellExecuteEx failed"): the program never ran, so it is started
# once more. A program that ran and failed is never run again.
. "$(dirname "$0")/wine-loader.sh"
loader=$(wine_loader "$1")
shift
out=$(mktemp)
for attempt in 1 2; do
  "$loader" "$@" >"$out" 2>&1
  status=$?
  [ "$status" -ne 0 ] && grep -q '^ShellExecuteEx failed' "$out" && [ "$attempt" = 1 ] || break
  echo "wine-run: Wine did not start $1; starting it again" >&2
done
cat "$out"
rm -f "$out"
exit "$status"
