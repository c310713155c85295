#!/bin/sh
# Runs a Windows program under Wine for CTest: wine-run.sh 64|32 PROGRAM [ARGUMENT...], with
# the loader for programs of that width (wine-loader.sh). Its output goes through a file:
# Wine's background processes (the desktop, its services) inherit the output of the program
# that starts them, and a pipe that they keep open would hold CTest up until they end.
#
# Two failures of Wine's own make a run tell nothing, and the program is started once more:
# with the machine busy, Wine may not start the program at all ("Application could not be
# started ... ShellExecuteEx failed"); and, rarely, the loader dies after the program has
# ended, in glibc's teardown ("Inconsistency detected by ld.so: dl-fini.c"), which replaces
# the program's exit status with its own. A program that ran and failed is never run again.
. "$(dirname "$0")/wine-loader.sh"
loader=$(wine_loader "$1")
shift
out=$(mktemp)
for attempt in 1 2; do
  "$loader" "$@" >"$out" 2>&1
  status=$?
  [ "$status" -ne 0 ] && [ "$attempt" = 1 ] || break
  if grep -q '^ShellExecuteEx failed' "$out"; then
    echo "wine-run: Wine did not start $1; starting it again" >&2
  elif wine_lost_status "$out"; then
    echo "wine-run: Wine's loader failed after $1 ended (ld.so assertion); running it again" >&2
  else
    break
  fi
done
cat "$out"
rm -f "$out"
exit "$status"
