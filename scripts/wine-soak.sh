#!/usr/bin/env bash
# Runs the 64-bit Windows suites under Wine ROUNDS times in a row (default 20) on one
# prefix and one display, as the Windows stage does, and counts what failed only now and
# then: runs that wine-run.sh started again (Wine did not start the program, or its loader
# failed on the way out) and suites that failed. Needs the mingw build of
# scripts/test-windows.sh (it reuses its prefix in build/wine-ci).
#   scripts/wine-soak.sh [ROUNDS]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
rounds="${1:-20}"
scratch="$root/build/wine-soak"
rm -rf "$scratch" && mkdir -p "$scratch/home" "$scratch/pfx"
export HOME="$scratch/home" WINEPREFIX="$scratch/pfx" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
source cmake/wine-loader.sh
wine64=$(wine_loader 64)
n=95
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
export DISPLAY=":$n"
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >"$scratch/xvfb.log" 2>&1 &
xvfb=$!
trap 'wineserver -k >/dev/null 2>&1; kill $xvfb 2>/dev/null' EXIT
sleep 1
wineserver -p >/dev/null 2>&1
timeout 120 "$wine64" wineboot --init >"$scratch/wineboot.log" 2>&1
timeout 60 "$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
"$wine64" explorer.exe /desktop >"$scratch/desktop.log" 2>&1 &
sleep 2
failed=0 restarted=0 lost=0 unstarted=0
for round in $(seq "$rounds"); do
  log="$scratch/round-$round.log"
  start=$(date +%s)
  if ! timeout 900 ctest --preset mingw --timeout 300 -V >"$log" 2>&1; then
    failed=$((failed + 1))
    grep -E '\*\*\*Failed|Timeout' "$log" | sed "s/^/   round $round: /"
  fi
  l=$(grep -c "loader failed after" "$log")
  u=$(grep -c "did not start\|printed nothing" "$log")
  lost=$((lost + l)) unstarted=$((unstarted + u)) restarted=$((restarted + l + u))
  echo "round $round: $(grep -Eo '[0-9]+ tests failed out of [0-9]+' "$log"), $l lost statuses, $u not started, $(($(date +%s) - start)) s"
done
echo "$rounds rounds: $failed failed; $restarted programs started again ($lost lost statuses after an ld.so assertion, $unstarted never started or printed nothing)"
[ "$failed" = 0 ]
