#!/bin/sh
# Runs a Windows program under Wine for CTest. Its output goes through a file: Wine's
# background processes (the desktop, its services) inherit the output of the program that
# starts them, and a pipe that they keep open would hold CTest up until they end.
out=$(mktemp)
wine "$@" >"$out" 2>&1
status=$?
cat "$out"
rm -f "$out"
exit "$status"
