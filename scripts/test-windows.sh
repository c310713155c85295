#!/usr/bin/env bash
# The Windows side: cross-builds LumoraUpdate.exe and the test suites with MinGW-w64 for
# 64-bit and 32-bit Windows (presets mingw and mingw32), runs the suites under Wine on an X
# display, then runs each packed updater end to end twice: once over a real installation
# (the "Information" box, exit status 0, the installation checked byte for byte) and once
# without one (the "Error" box, then the window closed, exit status 1). Screenshots of the
# windows go to build/screenshots/wine-*.png (64-bit) and wine32-*.png (32-bit); --help's
# information box is checked and shot too (wine-help.png).
#
# 64-bit programs start with Wine's 64-bit loader, on every machine. 32-bit ones need a
# kernel that runs 32-bit programs: the stage finds out once, by starting Wine's 32-bit
# loader, and where it cannot run (or LUMORA_WINE32=0) the 32-bit build is still made and
# its imports checked, while its suites and end-to-end runs are skipped with the reason.
#
# Needs: the packages of scripts/install-deps.sh and the packer of the release preset
# (build/release/tools/pack/lumora-pack, or LUMORA_PACK), which the Windows packer's
# updaters must equal byte for byte. Every wait has a time limit.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scratch="$root/build/wine-ci"
logs="$scratch/logs"
shots="$root/build/screenshots"
packer="${LUMORA_PACK:-$root/build/release/tools/pack/lumora-pack}"
exe="$root/build/mingw/src/app/LumoraUpdate.exe"
exe32="$root/build/mingw32/src/app/LumoraUpdate.exe"

step_start=0
begin() {
  echo "== $*"
  step_start=$(date +%s.%N)
}
took() { printf '   (%.1f s)\n' "$(echo "$(date +%s.%N) - $step_start" | bc)"; }
fail() {
  echo "FAILED: $*" >&2
  echo "logs: $logs" >&2
  exit 1
}

# A scratch prefix and home for every run: Wine writes nothing into the real home. A server
# still running on the last run's prefix is ended first.
if [ -d "$scratch/pfx" ]; then
  WINEPREFIX="$scratch/pfx" wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX="$scratch/pfx" timeout 30 wineserver -w >/dev/null 2>&1 || true
fi
rm -rf "$scratch"
mkdir -p "$scratch/home" "$scratch/pfx" "$logs" "$shots"
export HOME="$scratch/home"
export WINEPREFIX="$scratch/pfx"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
# Wine turns Unix names, arguments and the environment into UTF-16 through LC_CTYPE, which
# must be UTF-8 for the suites' and the end-to-end runs' names in other scripts (reg.exe's
# arguments too): under the C locale of a bare environment they come out as '?'.
export LC_ALL=C.UTF-8

# Wine's loaders, called directly: the `wine` command would take the 32-bit one for every
# program wherever wine32 is installed (cmake/wine-loader.sh).
source "$root/cmake/wine-loader.sh"
wine64=$(wine_loader 64)
wine32=$(wine_loader 32)
if why32=$(wine32_runs); then
  runs32=1
  echo "   64-bit programs: $wine64; 32-bit programs: $wine32"
else
  runs32=0
  echo "   64-bit programs: $wine64; 32-bit programs cannot run here: $why32"
fi
# Commands that open no window go through wine-run.sh, which runs them once more when Wine
# lost their exit status (it did not start them, or its loader failed on the way out).
winerun="$root/cmake/wine-run.sh"
winepath() { "$winerun" 64 winepath "$@"; }

xvfb_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT

# An X display: the one given if it answers, else a new Xvfb on a free display number.
display_ok() { timeout 5 xdotool getdisplaygeometry >/dev/null 2>&1; }
if [ -z "${DISPLAY:-}" ] || ! display_ok; then
  n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  export DISPLAY=":$n"
  Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >"$logs/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do display_ok && break; sleep 0.2; done
  display_ok || fail "Xvfb did not start on $DISPLAY"
fi
echo "   display $DISPLAY"

# Wine's output goes to files: its background services inherit standard output, and a
# pipe that they hold open would never end.
begin "Wine prefix"
wineserver -p >"$logs/wineserver.log" 2>&1
timeout 120 "$wine64" wineboot --init >"$logs/wineboot.log" 2>&1 ||
  { sleep 2 && timeout 120 "$wine64" wineboot --init >>"$logs/wineboot.log" 2>&1; } || fail "wineboot --init"
# Without a window manager, Wine would wait 2 s each time a managed window is hidden.
timeout 60 "$winerun" 64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
  >"$logs/reg.log" 2>&1 || fail "setting Managed=N"
# Debian's Wine does not load the fonts it ships in its data folder: the title bar's
# buttons (Marlett) would show letters, and "MS Sans Serif" would become another face.
# A Windows installation has them in its Fonts folder, so they go there.
if [ -d /usr/share/wine/fonts ]; then
  cp /usr/share/wine/fonts/*.ttf /usr/share/wine/fonts/*.fon "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
fi
# The desktop process, started once with its output in a file. A program that opens a
# window would otherwise start it, hand it its own standard output, and ctest would wait
# some 20 s for that pipe to close after every test.
"$wine64" explorer.exe /desktop >"$logs/desktop.log" 2>&1 &
sleep 2
took

# The installation the updater finds: HKCU\SOFTWARE\Quandrix\Lumora's Version 5.0 and HDPath
# (TYPE DATA). reg.exe is set-up, not under test, and sets the same value however often it
# runs, so a failed reg add is made once more; a second failure shows reg.exe's own words.
set_installation() {
  local name type data attempt status
  for name in Version HDPath; do
    type=REG_SZ data=5.0
    [ "$name" = Version ] || type="$1" data="$2"
    for attempt in 1 2; do
      status=0
      timeout 60 "$winerun" 64 reg add 'HKCU\SOFTWARE\Quandrix\Lumora' /v "$name" /t "$type" /d "$data" /f \
        >"$logs/reg-last.log" 2>&1 || status=$?
      [ "$status" != 0 ] || break
      echo "   reg add $name: status $status (attempt $attempt): $(tr '\r\n' '  ' <"$logs/reg-last.log")" |
        tee -a "$logs/reg.log"
      [ "$attempt" = 1 ] || fail "setting $name"
      sleep 1
    done
    cat "$logs/reg-last.log" >>"$logs/reg.log"
  done
}

# Builds a preset (everything: the suites run next) and checks that its LumoraUpdate.exe and
# lumora-pack.exe need only the system's own DLLs. The packer's end-to-end test compares
# the Windows packer's updaters with those of the Linux packer.
build_preset() {
  local preset="$1" objdump="$2"
  cmake --preset "$preset" -DLUMORA_LINUX_PACK="$packer" >"$logs/configure-$preset.log" 2>&1 ||
    { tail -n 30 "$logs/configure-$preset.log"; fail "configure $preset"; }
  cmake --build --preset "$preset" ${LUMORA_JOBS:+-j "$LUMORA_JOBS"} >"$logs/build-$preset.log" 2>&1 ||
    { grep -E 'error|FAILED' -A3 "$logs/build-$preset.log" | head -n 40; fail "build $preset"; }
  local program dlls
  for program in "build/$preset/src/app/LumoraUpdate.exe" "build/$preset/tools/pack/lumora-pack.exe"; do
    dlls=$("$objdump" -p "$program" | awk '/DLL Name/ {print $3}' | sort | tr '\n' ' ')
    echo "   $preset: $(basename "$program") imports: $dlls"
    for dll in $dlls; do
      case "${dll,,}" in
        advapi32.dll | comctl32.dll | gdi32.dll | kernel32.dll | msvcrt.dll | shell32.dll | user32.dll) ;;
        *) fail "$preset: $(basename "$program") needs $dll (the build is not static)" ;;
      esac
    done
  done
}
# Runs a preset's suites under Wine. LUMORA_CTEST_ARGS passes a selection (e.g. "-R Win32")
# through to ctest.
run_suites() {
  local preset="$1"
  # shellcheck disable=SC2086
  timeout 900 ctest --preset "$preset" --timeout 300 ${LUMORA_CTEST_ARGS:-} >"$logs/ctest-$preset.log" 2>&1 ||
    { tail -n 40 "$logs/ctest-$preset.log"; fail "ctest $preset"; }
  grep -E 'tests passed|Total Test time' "$logs/ctest-$preset.log" | sed 's/^/   /'
}

begin "MinGW-w64 build, 64-bit"
build_preset mingw x86_64-w64-mingw32-objdump
took

begin "Test suites under Wine, 64-bit"
run_suites mingw
took

# ---- End to end ---------------------------------------------------------------------------
[ -x "$packer" ] || fail "no packer at $packer: build the release preset first"
e2e="$scratch/e2e"
mkdir -p "$e2e"

# Packs a stub into an updater of the sample update.
pack_updater() {
  "$packer" create --stub "$1" --manifest examples/sample-update.manifest \
    -C examples/sample-update -o "$2" >"$logs/pack-$(basename "$2").log" 2>&1 ||
    fail "packing $2"
}

# Starts a program under Wine in the background (log name, loader, program, arguments); its
# exit status lands in $e2e/status.
start_updater() {
  local log="$1" loader="$2"
  shift 2
  rm -f "$e2e/status"
  (
    # A program killed on purpose is no news: the shell's "Killed" line stays out.
    exec 2>/dev/null
    cd "$e2e"
    status=0
    timeout 180 "$loader" "$@" >"$logs/$log.log" 2>&1 || status=$?
    # Wine's loader failed after the program ended: its own status never came back.
    if [ "$status" != 0 ] && wine_lost_status "$logs/$log.log"; then status=lost; fi
    echo "$status" >"$e2e/status"
  ) &
}
# A scenario whose program's exit status Wine lost marks it here and returns at once.
lost_run() {
  echo "$1" >"$e2e/lost"
}
# Runs a scenario (a function and its arguments); when Wine lost a program's exit status on
# the way, says so and runs the whole scenario once more. A program that failed on its own
# fails the stage at once, as before. Called plainly, so that errexit holds inside.
scenario() {
  rm -f "$e2e/lost"
  "$@"
  [ -e "$e2e/lost" ] || return 0
  echo "   Wine's loader failed after $(cat "$e2e/lost") ended (ld.so assertion in dl-fini.c):" \
    "that run told nothing; running the scenario again"
  rm -f "$e2e/lost"
  "$@"
  [ ! -e "$e2e/lost" ] || fail "Wine's loader failed twice in a row after $(cat "$e2e/lost")"
}
wait_updater() {
  for _ in $(seq 600); do
    [ -s "$e2e/status" ] && { cat "$e2e/status"; return 0; }
    sleep 0.1
  done
  echo "timeout"
}
# The first visible window with exactly this title, waiting up to 60 s.
find_window() { timeout 60 xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1; }
# Crops a window out of a screenshot of the whole screen.
shoot() {
  local wid="$1" out="$2"
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$wid" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  convert "$3" -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"
}

# Waits for the message box titled $1 of the run logged as $2, and saves a screenshot of the
# whole screen as $e2e/$2-screen.png and of the box as $3. Sets box to the box's window.
capture_box() {
  box=$(find_window "$1") || true
  [ -n "$box" ] || fail "no $1 box (see $logs/$2.log)"
  sleep 0.5
  timeout 20 import -window root "$e2e/$2-screen.png"
  shoot "$box" "$3" "$e2e/$2-screen.png"
}

# The updater over a real installation (updater, screenshot prefix, loader): the Information
# box, exit status 0, the installation checked byte for byte.
e2e_success() {
  local updater="$1" tag="$2" loader="$3"
  local install="$e2e/$tag-install"
  local main status run_start win_install images left
  rm -rf "$install"
  mkdir -p "$install"
  printf '%s\r\n' "# 1 - Lips" "1; 0; 0;lips\\red.psd;red lips;" "1; 0; 0;lips\\pink.psd;pink lips;" \
    "# 9 - Hairdo" "9; 0; -40;hairdo\\bob.psd;bob;" >"$e2e/installed-partbase.txt"
  cp "$e2e/installed-partbase.txt" "$install/Partbase.txt"
  printf '%s\r\n' "palette 1" "palette 2" >"$install/PalData.txt"
  cp "$install/PalData.txt" "$e2e/installed-paldata.txt"
  win_install="$(timeout 30 "$winerun" 64 winepath -w "$install" 2>/dev/null)" || fail "winepath"
  set_installation REG_SZ "$win_install"
  run_start=$(date +%s.%N)
  start_updater "$tag-success" "$loader" "$updater"
  capture_box Information "$tag-success" "$shots/$tag-dialog.png"
  printf '   the box came after %.1f s\n' "$(echo "$(date +%s.%N) - $run_start" | bc)"
  main=$(xdotool search --onlyvisible --name '^SelfExtraction$' 2>/dev/null | head -n 1) || true
  if [ -n "$main" ]; then shoot "$main" "$shots/$tag-progress.png" "$e2e/$tag-success-screen.png"; fi
  timeout 20 xdotool windowfocus --sync "$box" key Return
  status=$(wait_updater)
  [ "$status" != lost ] || { lost_run "$tag-success"; return 0; }
  [ "$status" = 0 ] || fail "the update ended with status $status, expected 0"

  cat "$e2e/installed-partbase.txt" examples/sample-update/partbase.txt >"$e2e/expected-partbase.txt"
  cmp "$e2e/expected-partbase.txt" "$install/Partbase.txt" ||
    fail "Partbase.txt is not the installed lines followed by the new part base"
  cmp "$e2e/installed-paldata.txt" "$install/PalData.txt" || fail "PalData.txt changed"
  images=0
  for f in examples/sample-update/Addition/Tattoo/*; do
    cmp "$f" "$install/Addition/Tattoo/$(basename "$f")" || fail "image $(basename "$f") differs"
    images=$((images + 1))
  done
  [ "$images" = 23 ] || fail "expected 23 images, found $images in the sample"
  [ "$(ls "$install/Addition/Tattoo" | wc -l)" = 23 ] || fail "extra files in Addition\\Tattoo"
  left=$(ls "$install" | tr '\n' ' ')
  [ "$left" = "Addition PalData.txt Partbase.txt " ] || fail "working files left behind: $left"
  echo "   exit status 0; Partbase.txt, PalData.txt and 23 images as expected; no working files"
}

# The updater without an installation (updater, screenshot prefix, loader): the Error box,
# the window open until the user closes it, exit status 1.
e2e_failure() {
  local updater="$1" tag="$2" loader="$3"
  local main status
  timeout 60 "$winerun" 64 reg delete 'HKCU\SOFTWARE\Quandrix' /f >>"$logs/reg.log" 2>&1 || true
  start_updater "$tag-failure" "$loader" "$updater"
  capture_box Error "$tag-failure" "$shots/$tag-error.png"
  timeout 20 xdotool windowfocus --sync "$box" key Return
  # The window stays open with its captions until the user closes it.
  sleep 1
  [ ! -s "$e2e/status" ] || fail "the updater ended before its window was closed"
  main=$(find_window SelfExtraction) || true
  [ -n "$main" ] || fail "the main window is gone after the message"
  timeout 20 xdotool windowfocus --sync "$main" key alt+F4
  status=$(wait_updater)
  [ "$status" != lost ] || { lost_run "$tag-failure"; return 0; }
  [ "$status" = 1 ] || fail "the failed run ended with status $status, expected 1"
  # The run created the empty key it looks in, and wrote nothing else.
  timeout 60 "$winerun" 64 reg query 'HKCU\SOFTWARE\Quandrix' >"$logs/query.log" 2>&1 || fail "SOFTWARE\Quandrix was not created"
  echo "   Error box shown, window closed by the user, exit status 1"
}

begin "End to end: --help"
# Windows has no console for the program: the text shows in an information box.
help_box() {
  start_updater help "$wine64" "$exe" --help
  capture_box LumoraUpdate help "$shots/wine-help.png"
  timeout 20 xdotool windowfocus --sync "$box" key Return
  status=$(wait_updater)
  [ "$status" != lost ] || { lost_run "--help"; return 0; }
  [ "$status" = 0 ] || fail "--help ended with status $status, expected 0"
  echo "   --help box shown, exit status 0"
}
scenario help_box
took

updater="$e2e/LumoraUpdate-tattoos.exe"
pack_updater "$exe" "$updater"
begin "End to end: update of an installation, 64-bit"
scenario e2e_success "$updater" wine "$wine64"
took
begin "End to end: no installation, 64-bit"
scenario e2e_failure "$updater" wine "$wine64"
took

begin "End to end: a signed updater"
# The vendor signs the packed updater. A throw-away self-signed certificate stands in for
# the vendor's: the signature verifies against it, and Wine, like Windows for a program
# started by the user, runs the file whether or not it trusts the signer.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$e2e/signer.key" -out "$e2e/signer.crt" \
  -days 2 -subj "/CN=LumoraUpdate test signer" >"$logs/sign.log" 2>&1 || fail "making a certificate"
signed="$e2e/LumoraUpdate-tattoos-signed.exe"
osslsigncode sign -certs "$e2e/signer.crt" -key "$e2e/signer.key" -h sha256 \
  -n "Lumora database update" -in "$updater" -out "$signed" >>"$logs/sign.log" 2>&1 || fail "signing"
osslsigncode verify -CAfile "$e2e/signer.crt" -in "$signed" >>"$logs/sign.log" 2>&1 ||
  fail "osslsigncode verify (see $logs/sign.log)"
"$packer" test "$signed" >>"$logs/sign.log" 2>&1 || fail "lumora-pack test of the signed updater"
timeout 60 "$winerun" 64 build/mingw/tools/pack/lumora-pack.exe test "$(winepath -w "$signed")" \
  >>"$logs/sign.log" 2>&1 || fail "lumora-pack.exe test of the signed updater"
# A signed file as the stub of a new updater would carry a broken signature: refused.
if "$packer" create --stub "$signed" -o "$e2e/repacked.exe" -C examples/sample-update partbase.txt \
  >>"$logs/sign.log" 2>&1 || [ -e "$e2e/repacked.exe" ]; then
  fail "a signed stub was packed"
fi
echo "   signed: $(($(stat -c %s "$signed") - $(stat -c %s "$updater"))) bytes more; verified, tested by both packers"
scenario e2e_success "$signed" wine-signed "$wine64"
diff -r "$e2e/wine-install" "$e2e/wine-signed-install" >"$logs/signed-diff.log" 2>&1 ||
  fail "the signed updater left another installation than the unsigned one"
echo "   the installation it left is the unsigned updater's, byte for byte"
took

begin "End to end: a killed update undone by --repair"
# An update of 2,000 small files, killed (SIGKILL) once its journal stands, is undone by
# LumoraUpdate.exe --repair to the installation as it was, byte for byte; the update then
# runs again to the end.
big="$e2e/big"
mkdir -p "$big/src/Pics"
python3 - "$big/src/Pics" <<'PY'
import os, random, sys
r = random.Random(7)
for i in range(2000):
    with open(os.path.join(sys.argv[1], "p%04d.psd" % i), "wb") as f:
        f.write(bytes(r.choice(b"abcdefgh") for _ in range(600 + r.randrange(1500))))
PY
printf '%s\r\n' "# 3 - Eyes" "3; 0; 0;Pics\\p0001.psd;new eyes;" >"$big/src/partbase.txt"
(cd "$big/src" && printf 'partbase.txt\nPics\\\n' && ls Pics | sed 's/^/Pics\\/') >"$big/manifest"
"$packer" create -q --stub "$exe" --manifest "$big/manifest" -C "$big/src" -o "$big/upd.exe" \
  >"$logs/pack-big.log" 2>&1 || fail "packing the 2,000-file updater"
killed_update() {
  rm -rf "$big/install" "$big/before"
  install="$big/install"
  mkdir -p "$install/Pics"
  printf '%s\r\n' "# 1 - Lips" "1; 0; 0;lips\\red.psd;red lips;" >"$install/Partbase.txt"
  printf '%s\r\n' "palette 1" >"$install/PalData.txt"
  printf 'mine' >"$install/Pics/own.psd"
  cp -a "$install" "$big/before"
  win_install="$(timeout 30 "$winerun" 64 winepath -w "$install" 2>/dev/null)" || fail "winepath"
  set_installation REG_SZ "$win_install"
  start_updater big-killed "$wine64" "$big/upd.exe"
  for _ in $(seq 300); do
    [ -e "$install/~LumoraUpdate.jnl" ] && [ "$(ls "$install/Pics" | wc -l)" -gt 50 ] && break
    sleep 0.05
  done
  pkill -KILL -f 'upd\.exe' || true
  [ "$(wait_updater)" != 0 ] || fail "the update ended before it was killed"
  [ -e "$install/~LumoraUpdate.jnl" ] || fail "the killed update left no journal"
  echo "   killed with $(ls "$install/Pics" | wc -l) names in Pics, the journal standing"
  start_updater big-repair "$wine64" "$exe" --repair
  capture_box "LumoraUpdate --repair" big-repair "$shots/wine-repair.png"
  timeout 20 xdotool windowfocus --sync "$box" key Return
  status=$(wait_updater)
  [ "$status" != lost ] || { lost_run "--repair"; return 0; }
  [ "$status" = 0 ] || fail "--repair ended with status $status, expected 0"
  diff -r "$big/before" "$install" >"$logs/repair-diff.log" 2>&1 ||
    fail "--repair did not give the installation back as before (see $logs/repair-diff.log)"
  echo "   --repair: information box, exit status 0, the installation as before, byte for byte"
  start_updater big-again "$wine64" "$big/upd.exe"
  capture_box Information big-again "$e2e/big-again.png"
  timeout 20 xdotool windowfocus --sync "$box" key Return
  status=$(wait_updater)
  [ "$status" != lost ] || { lost_run "the update after --repair"; return 0; }
  [ "$status" = 0 ] || fail "the update after --repair ended with status $status, expected 0"
  [ "$(ls "$install/Pics" | wc -l)" = 2001 ] || fail "the update after --repair left $(ls "$install/Pics" | wc -l) files in Pics"
  echo "   the update then runs to the end: 2,000 new files beside the user's own"

  # Killed again, the next plain run heals it. First with the journal damaged: the undo
  # cannot start, the window shows its line under the file message, exit status 3.
  rm -rf "$install" && cp -a "$big/before" "$install"
  start_updater big-killed-again "$wine64" "$big/upd.exe"
  for _ in $(seq 300); do
    [ -e "$install/~LumoraUpdate.jnl" ] && [ "$(ls "$install/Pics" | wc -l)" -gt 50 ] && break
    sleep 0.05
  done
  pkill -KILL -f 'upd\.exe' || true
  [ "$(wait_updater)" != 0 ] || fail "the update ended before it was killed"
  cp "$install/~LumoraUpdate.jnl" "$big/journal"
  printf 'not a record\n' >>"$install/~LumoraUpdate.jnl"
  start_updater big-damaged "$wine64" "$big/upd.exe"
  capture_box Error big-damaged "$e2e/big-damaged.png"
  main=$(xdotool search --onlyvisible --name '^SelfExtraction$' 2>/dev/null | head -n 1) || true
  [ -n "$main" ] && shoot "$main" "$shots/wine-undo.png" "$e2e/big-damaged-screen.png"
  timeout 20 xdotool windowfocus --sync "$box" key Return
  sleep 0.5
  main=$(find_window SelfExtraction) || true
  [ -n "$main" ] && timeout 20 xdotool windowfocus --sync "$main" key alt+F4
  status=$(wait_updater)
  [ "$status" != lost ] || { lost_run "the run over a damaged journal"; return 0; }
  [ "$status" = 3 ] || fail "the run over a damaged journal ended with status $status, expected 3"
  cp "$big/journal" "$install/~LumoraUpdate.jnl"
  start_updater big-healed "$wine64" "$big/upd.exe"
  capture_box Information big-healed "$e2e/big-healed.png"
  timeout 20 xdotool windowfocus --sync "$box" key Return
  status=$(wait_updater)
  [ "$status" != lost ] || { lost_run "the healing run"; return 0; }
  [ "$status" = 0 ] || fail "the healing run ended with status $status, expected 0"
  [ "$(ls "$install/Pics" | wc -l)" = 2001 ] || fail "the healing run left $(ls "$install/Pics" | wc -l) files in Pics"
  [ ! -e "$install/~LumoraUpdate.jnl" ] || fail "the healing run left its journal"
  echo "   killed again: over a damaged journal exit status 3 (screenshot wine-undo.png); a plain run then heals and updates"
}
scenario killed_update
took

begin "Windows package"
# The .zip of the 64-bit build, unpacked into an empty folder and used from there: the
# packer's help, and an updater made with the stub beside it.
rm -f build/mingw/lumora-pack-*.zip
(cd build/mingw && cpack -G ZIP >cpack.log 2>&1) || { tail -n 20 build/mingw/cpack.log; fail "cpack"; }
zip=$(ls build/mingw/lumora-pack-*.zip)
unzipped="$e2e/zip"
mkdir -p "$unzipped"
(cd "$unzipped" && cmake -E tar xf "$root/$zip") || fail "unpacking $zip"
bin=$(dirname "$(find "$unzipped" -name lumora-pack.exe)")
[ -f "$bin/LumoraUpdate.exe" ] || fail "$zip has no LumoraUpdate.exe beside lumora-pack.exe"
timeout 60 "$winerun" 64 "$bin/lumora-pack.exe" --help >"$logs/zip.log" 2>&1 || fail "lumora-pack.exe --help from $zip"
grep -q 'lumora-pack create' "$logs/zip.log" || fail "lumora-pack.exe --help printed no usage"
timeout 120 "$winerun" 64 "$bin/lumora-pack.exe" create -q --stub "$(winepath -w "$bin/LumoraUpdate.exe")" \
  -o "$(winepath -w "$e2e/from-zip.exe")" --manifest "$(winepath -w examples/sample-update.manifest)" \
  -C "$(winepath -w examples/sample-update)" >>"$logs/zip.log" 2>&1 || fail "packing with the unpacked $zip"
! grep -q 'debug information' "$logs/zip.log" || fail "the stub in $zip carries debug information"
cmp "$e2e/from-zip.exe" "$updater" || fail "the updater packed from $zip differs from the Linux packer's"
# An update made from two releases, and its check, by the unpacked packer: the same bytes
# as the Linux packer's diff.
rel="$e2e/releases"
rm -rf "$rel" && mkdir -p "$rel/old" "$rel/new/Addition"
printf '%s\r\n' "# 1 - Lips" "1; 0; 0;lips\\red.psd;red lips;" >"$rel/old/Partbase.txt"
printf 'palette 1\r\n' >"$rel/old/PalData.txt"
cp "$rel/old/Partbase.txt" "$rel/new/Partbase.txt"
printf '%s\r\n' "2; 0; 0;Addition\\a.psd;a;" >>"$rel/new/Partbase.txt"
printf 'palette 1\r\npalette 2\r\n' >"$rel/new/PalData.txt"
printf 'image a' >"$rel/new/Addition/a.psd"
"$packer" diff "$rel/old" "$rel/new" --raw -o "$rel/linux.raw" >>"$logs/zip.log" 2>&1 || fail "the Linux packer's diff"
timeout 120 "$winerun" 64 "$bin/lumora-pack.exe" diff "$(winepath -w "$rel/old")" "$(winepath -w "$rel/new")" \
  --raw -o "$(winepath -w "$rel/windows.raw")" >>"$logs/zip.log" 2>&1 || fail "lumora-pack.exe diff from $zip"
cmp "$rel/linux.raw" "$rel/windows.raw" || fail "lumora-pack.exe diff made another archive than the Linux packer's"
timeout 120 "$winerun" 64 "$bin/lumora-pack.exe" check --offset 1 "$(winepath -w "$rel/windows.raw")" \
  >>"$logs/zip.log" 2>&1 || fail "lumora-pack.exe check of its diff"
echo "   $(basename "$zip"): $(cmake -E tar tf "$zip" | grep -c -v '/$') files; its packer makes the Linux packer's updater"
echo "   its diff of two releases is the Linux packer's, byte for byte, and its check passes"
took

begin "End to end: paths in any script"
# The user's own folders, in a script that the ANSI code page (1252 here) cannot write: the
# 64-bit updater saved in "Загрузки" and run from there, over an installation in
# "Ярослав\Lumora" named by HDPath as REG_SZ, as REG_EXPAND_SZ ("%SystemDrive%\...") and
# with the long-path prefix "\\?\".
paths="$e2e/paths"
rm -rf "$paths"
mkdir -p "$paths/Загрузки"
cp "$updater" "$paths/Загрузки/Обновление.exe"
# HDPath as reg.exe stored it, in UTF-8, read back from an export of the key.
stored_hdpath() {
  rm -f "$paths/lumora.reg"
  timeout 60 "$winerun" 64 reg export 'HKCU\SOFTWARE\Quandrix\Lumora' "$(winepath -w "$paths/lumora.reg")" /y \
    >>"$logs/reg.log" 2>&1 || fail "exporting SOFTWARE\Quandrix\Lumora"
  python3 - "$paths/lumora.reg" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-16").read().replace("\r\n", "\n").replace("\\\n  ", "")
m = re.search(r'^"HDPath"=(?:"((?:[^"\\]|\\.)*)"|hex\(2\):([0-9a-f,]*))$', text, re.M | re.I)
if not m:
    sys.exit("no HDPath in the export")
if m.group(1) is not None:
    print(re.sub(r"\\(.)", r"\1", m.group(1)))
else:
    data = bytes(int(b, 16) for b in m.group(2).split(",") if b)
    print("REG_EXPAND_SZ " + data.decode("utf-16-le").rstrip("\0"))
PY
}
# One update (tag, installation folder, HDPath's type, HDPath): the Information box, exit
# status 0, the installation byte for byte, the log's paths in their own characters. With a
# fifth argument --check, only the check runs: its report box, exit status 0, nothing changed.
paths_update() {
  local tag="$1" install="$2" type="$3" hdpath="$4" check="${5:-}"
  local status stored expected images left
  rm -rf "$install"
  mkdir -p "$install"
  printf '%s\r\n' "# 1 - Lips" "1; 0; 0;lips\\red.psd;red lips;" >"$paths/installed-partbase.txt"
  cp "$paths/installed-partbase.txt" "$install/Partbase.txt"
  printf '%s\r\n' "palette 1" >"$install/PalData.txt"
  set_installation "$type" "$hdpath"
  stored=$(stored_hdpath)
  expected="$hdpath"
  [ "$type" = REG_SZ ] || expected="$type $hdpath"
  [ "$stored" = "$expected" ] || fail "reg add stored HDPath as \"$stored\", not \"$expected\""
  # The log goes to a folder whose name the ANSI code page cannot write either.
  local run_log="$paths/Журналы/$tag.log"
  mkdir -p "$paths/Журналы"
  rm -f "$run_log"
  start_updater "paths-$tag" "$wine64" "$paths/Загрузки/Обновление.exe" $check --log "$(winepath -w "$run_log")"
  local title=Information
  [ -z "$check" ] || title="LumoraUpdate --check"
  capture_box "$title" "paths-$tag" "$paths/$tag-box.png"
  timeout 20 xdotool windowfocus --sync "$box" key Return
  status=$(wait_updater)
  [ "$status" != lost ] || { lost_run "the update from Загрузки ($tag)"; return 0; }
  [ "$status" = 0 ] || fail "the update from Загрузки ($tag) ended with status $status, expected 0"
  grep -q 'Загрузки\\Обновление\.exe' "$run_log" || fail "$tag: the log does not name the updater in its own characters"
  grep -q 'Ярослав' "$run_log" || fail "$tag: the log does not name the installation in its own characters"
  if [ -n "$check" ]; then
    cmp "$paths/installed-partbase.txt" "$install/Partbase.txt" || fail "$tag: --check changed Partbase.txt"
    [ "$(ls "$install" | tr '\n' ' ')" = "PalData.txt Partbase.txt " ] || fail "$tag: --check changed the installation"
    echo "   $type $hdpath: --check report box, exit status 0, nothing changed, log in UTF-8 under Журналы"
    return 0
  fi
  cat "$paths/installed-partbase.txt" examples/sample-update/partbase.txt | cmp - "$install/Partbase.txt" ||
    fail "$tag: Partbase.txt is not the installed lines followed by the new part base"
  printf '%s\r\n' "palette 1" | cmp - "$install/PalData.txt" || fail "$tag: PalData.txt changed"
  images=0
  for f in examples/sample-update/Addition/Tattoo/*; do
    cmp "$f" "$install/Addition/Tattoo/$(basename "$f")" || fail "$tag: image $(basename "$f") differs"
    images=$((images + 1))
  done
  [ "$images" = 23 ] && [ "$(ls "$install/Addition/Tattoo" | wc -l)" = 23 ] || fail "$tag: not the 23 images"
  left=$(ls "$install" | tr '\n' ' ')
  [ "$left" = "Addition PalData.txt Partbase.txt " ] || fail "$tag: working files left behind: $left"
  echo "   $type $hdpath: Information box, exit status 0, installation byte for byte, log in UTF-8 under Журналы"
}
install="$paths/Ярослав/Lumora"
scenario paths_update sz "$install" REG_SZ "$(winepath -w "$install")"
# %SystemDrive% is the prefix's drive_c.
scenario paths_update expand "$WINEPREFIX/drive_c/Ярослав/Lumora" REG_EXPAND_SZ '%SystemDrive%\Ярослав\Lumora'
# The long-path prefix: the check, then the whole update.
scenario paths_update long-check "$install" REG_SZ "\\\\?\\$(winepath -w "$install")" --check
scenario paths_update long "$install" REG_SZ "\\\\?\\$(winepath -w "$install")"

# Ctrl-C at the packer's console removes OUT.part, and the packer ends as Windows ends a
# program on Ctrl-C (STATUS_CONTROL_C_EXIT, 0xC000013A, of which Wine's loader returns the
# low byte, 58). The byte 0x03 typed at the terminal that script(1) gives the packer makes
# the terminal send SIGINT, which Wine hands to the program as Ctrl-C; it is typed once
# OUT.part holds the stub. The command is exec'd: a shell left waiting in between (dash, the
# /bin/sh that script(1) takes where SHELL is unset) would die of that SIGINT itself.
interrupted="$paths/ctrl-c"
mkdir -p "$interrupted/in"
head -c 150000000 /dev/urandom >"$interrupted/in/big.bin"
rm -f "$interrupted/status"
(
  trap '' PIPE
  for _ in $(seq 600); do [ -s "$interrupted/out.exe.part" ] && break; sleep 0.05; done
  printf '\003' || true
  for _ in $(seq 1200); do [ -e "$interrupted/status" ] && break; sleep 0.05; done
) | {
  status=0
  timeout 120 script -qefc "exec $(printf '%q ' "$wine64" build/mingw/tools/pack/lumora-pack.exe create -j 1 \
    --stub "$(winepath -w "$exe")" -C "$(winepath -w "$interrupted/in")" -o "$(winepath -w "$interrupted/out.exe")" \
    big.bin)" /dev/null >"$logs/ctrl-c.log" 2>&1 || status=$?
  echo "$status" >"$interrupted/status"
}
status=$(cat "$interrupted/status")
[ ! -e "$interrupted/out.exe.part" ] || fail "Ctrl-C left out.exe.part ($(stat -c %s "$interrupted/out.exe.part") bytes)"
[ ! -e "$interrupted/out.exe" ] || fail "the packer finished before Ctrl-C (make its input larger)"
[ "$status" = 58 ] || fail "the packer ended with status $status after Ctrl-C, expected 58 (STATUS_CONTROL_C_EXIT)"
rm -rf "$interrupted"
echo "   Ctrl-C at lumora-pack.exe's console: OUT.part removed, exit status STATUS_CONTROL_C_EXIT"
took

begin "End to end: unattended runs without a display"
# --quiet and the forms Windows administrators type, with no X display at all (a scheduled
# task with no desktop): no window, no box; the outcome is the exit status and the log. A
# Wine process without a display spoils later windows of the same server, so these come
# last and the server is started anew after them.
quiet_install="$e2e/quiet-install"
rm -rf "$quiet_install" && mkdir -p "$quiet_install"
cp "$e2e/installed-partbase.txt" "$quiet_install/Partbase.txt"
cp "$e2e/installed-paldata.txt" "$quiet_install/PalData.txt"
win_install="$(timeout 30 "$winerun" 64 winepath -w "$quiet_install" 2>/dev/null)" || fail "winepath"
set_installation REG_SZ "$win_install"
quiet_log="$e2e/quiet.log"
status=0
env -u DISPLAY timeout 120 "$winerun" 64 "$updater" /quiet "/log=$(winepath -w "$quiet_log" 2>/dev/null)" \
  >"$logs/quiet.log" 2>&1 || status=$?
[ "$status" = 0 ] || fail "/quiet /log= ended with status $status, expected 0 (see $quiet_log)"
grep -q "exit status 0" "$quiet_log" || fail "the log of /quiet has no exit status"
cat "$e2e/installed-partbase.txt" examples/sample-update/partbase.txt | cmp - "$quiet_install/Partbase.txt" ||
  fail "/quiet left another Partbase.txt"
timeout 60 "$winerun" 64 reg delete 'HKCU\SOFTWARE\Quandrix' /f >>"$logs/reg.log" 2>&1 || true
status=0
env -u DISPLAY timeout 120 "$winerun" 64 "$updater" --quiet --log "$(winepath -w "$e2e/quiet-none.log" 2>/dev/null)" \
  >"$logs/quiet-none.log" 2>&1 || status=$?
[ "$status" = 1 ] || fail "--quiet without an installation ended with status $status, expected 1"
grep -q "You have not correct installation" "$e2e/quiet-none.log" ||
  fail "the log of --quiet without an installation has no message"
echo "   /quiet /log=FILE: exit status 0, updated, logged; --quiet without an installation: exit status 1, the message in the log"
wineserver -k >/dev/null 2>&1 || true
timeout 30 wineserver -w >/dev/null 2>&1 || true
wineserver -p >>"$logs/wineserver.log" 2>&1
"$wine64" explorer.exe /desktop >>"$logs/desktop.log" 2>&1 &
sleep 2
took

# ---- 32-bit Windows -----------------------------------------------------------------------
begin "MinGW-w64 build, 32-bit"
build_preset mingw32 i686-w64-mingw32-objdump
took
if [ "$runs32" = 1 ]; then
  begin "Test suites under Wine, 32-bit"
  run_suites mingw32
  took
  updater32="$e2e/LumoraUpdate32-tattoos.exe"
  pack_updater "$exe32" "$updater32"
  begin "End to end: update of an installation and no installation, 32-bit"
  scenario e2e_success "$updater32" wine32 "$wine32"
  scenario e2e_failure "$updater32" wine32 "$wine32"
  took
else
  echo "== 32-bit suites and end-to-end runs skipped: $why32"
fi

echo "Windows build, tests and end-to-end runs passed. Screenshots: $shots"
