#!/usr/bin/env bash
# End-to-end runs of a packed updater with its FLTK window. A person's part is played by
# xdotool: find the message box by its caption, press Return, close the progress window.
# Runs on DISPLAY, or on an Xvfb of its own when none is set. Every wait has a limit.
# Usage: fltk_e2e.sh PACK STUB EXAMPLES CLOSER SHOTS_DIR   (exit 77: tools missing)
set -uo pipefail
source "$(dirname "$0")/check_lib.sh"
pack="$1"
stub="$2"
examples="$3"
closer="$4"
shots="$5"
sample="$examples/sample-update"

for tool in xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work="$(mktemp -d)"
xvfb_pid=""
updater_pid=""
cleanup() {
  [ -n "$updater_pid" ] && kill "$updater_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  command -v Xvfb >/dev/null || { echo "SKIP: no DISPLAY and no Xvfb"; exit 77; }
  # Xvfb picks a free display number itself and writes it to the given descriptor.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  [ -s "$work/display" ] || { echo "Xvfb did not start"; exit 1; }
  export DISPLAY=":$(head -n1 "$work/display")"
fi
mkdir -p "$shots"

show_failure() {
  echo "FAIL [$name] $1"
  sed 's/^/    | /' "$case_dir/out.txt" 2>/dev/null | tail -n 15
}

updater="$work/LumoraUpdate-sample"
pack_sample_updater "$updater"

# new_case NAME: a fresh HOME with an installation of two records and a data file.
new_case() {
  name="$1"
  case_dir="$work/$name"
  install="$case_dir/Lumora"
  mkdir -p "$install" "$case_dir/config/registry"
  printf '%s\r\n' "# 1 - Lips" "1; 0; 0;lips\\red.psd;red lips;" >"$install/Partbase.txt"
  printf '%s\r\n' "palette 1" >"$install/PalData.txt"
  printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\r\n"Version"="5.0"\r\n"HDPath"="%s"\r\n' \
    "$install" >"$case_dir/config/registry/HKEY_CURRENT_USER.reg"
}

# start_updater: runs the updater in the background with its window (no LUMORA_UI).
start_updater() {
  env -u LUMORA_UI HOME="$case_dir" XDG_CONFIG_HOME="$case_dir/config" \
    timeout 90 "$updater" >"$case_dir/out.txt" 2>&1 &
  updater_pid=$!
}

# finish_updater: waits for the updater to end (the timeout above bounds it); sets status.
finish_updater() {
  wait "$updater_pid"
  status=$?
  updater_pid=""
}

# find_window TITLE: the id of the visible window with exactly this title, within 20 s.
find_window() {
  timeout 20 xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -n1
}

# visible_window TITLE: true when such a window is on screen now.
visible_window() { [ -n "$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null)" ]; }

# gone TITLE: true once no such window is visible (within 10 s).
gone() {
  for _ in $(seq 100); do
    visible_window "$1" || return 0
    sleep 0.1
  done
  return 1
}

# shot WINDOW FILE: a screenshot of the screen cut to the window.
shot() {
  local geometry
  geometry="$(xdotool getwindowgeometry --shell "$1")" || return 1
  eval "$geometry"
  import -window root "$work/root.png" && convert "$work/root.png" -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$2"
}

alive() { kill -0 "$updater_pid" 2>/dev/null; }
images_installed() {
  local f count=0
  for f in "$sample"/Addition/Tattoo/*.psd; do
    cmp -s "$f" "$install/Addition/Tattoo/$(basename "$f")" || return 1
    count=$((count + 1))
  done
  [ "$count" -eq 23 ]
}
no_working_files() {
  ! ls "$install" | grep -qiE '^(HairBase1|HairBase2|HairBase4Check)\.txt$|^PalData\.arh$|^TempFile\.tmp$'
}
# The 27 lines of the sample part base, appended after the installed ones.
partbase_appended() {
  [ "$(wc -l <"$sample/partbase.txt")" -eq 27 ] &&
    cmp -s "$install/Partbase.txt" <(cat "$case_dir/original.txt" "$sample/partbase.txt")
}

# ---- success: the information box, Return, exit status 0, the installation updated
new_case success
cp "$install/Partbase.txt" "$case_dir/original.txt"
start_updater
box="$(find_window Information)"
main="$(find_window SelfExtraction)"
check "information box shown" test -n "$box"
check "progress window shown" test -n "$main"
if [ -n "$box" ] && [ -n "$main" ]; then
  check "screenshot of the progress window" shot "$main" "$shots/fltk-progress.png"
  check "screenshot of the message box" shot "$box" "$shots/fltk-dialog.png"
  xdotool windowfocus --sync "$box" key Return
fi
finish_updater
check "exit status 0" test "$status" -eq 0
check "part base = installed + 27 new lines" partbase_appended
check "23 images installed byte for byte" images_installed
check "no working files" no_working_files

# ---- missing installation: the error box, Return, the window stays open until closed
new_case missing
rm -rf "$install"
start_updater
box="$(find_window Error)"
main="$(find_window SelfExtraction)"
check "error box shown" test -n "$box"
if [ -n "$box" ] && [ -n "$main" ]; then
  check "screenshot of the error box" shot "$box" "$shots/fltk-error.png"
  xdotool windowfocus --sync "$box" key Return
  check "error box closed by Return" gone Error
  sleep 0.5
  check "progress window still open" visible_window SelfExtraction
  check "updater still running" alive
  check "screenshot of the stopped window" shot "$main" "$shots/fltk-stopped.png"
  "$closer" "$main"
fi
finish_updater
check "exit status 1" test "$status" -eq 1

# ---- a journal the run cannot undo (damaged): the window shows the undo's line under the
# file message, and the run ends with status 3 once closed
new_case undo-line
printf 'not a journal\n' >"$install/~LumoraUpdate.jnl"
start_updater
box="$(find_window Error)"
main="$(find_window SelfExtraction)"
check "file message shown" test -n "$box"
if [ -n "$box" ] && [ -n "$main" ]; then
  check "screenshot of the undo line" shot "$main" "$shots/fltk-undo.png"
  xdotool windowfocus --sync "$box" key Return
  gone Error
  "$closer" "$main"
fi
finish_updater
check "exit status 3" test "$status" -eq 3
check "the journal stays" test -e "$install/~LumoraUpdate.jnl"

# ---- closing the window while the success box is open: the window takes no input then,
# the box stays until answered
new_case closed-under-box
start_updater
box="$(find_window Information)"
main="$(find_window SelfExtraction)"
check "information box shown" test -n "$box"
if [ -n "$box" ] && [ -n "$main" ]; then
  "$closer" "$main"
  sleep 0.5
  check "box still open after the window's close" visible_window Information
  xdotool windowfocus --sync "$box" key Return
fi
finish_updater
check "exit status 0" test "$status" -eq 0
check "23 images installed" images_installed

# ---- close signals: SIGTERM during extraction, SIGHUP at the success box, SIGTERM at the
# error box. Each is the window's close: the update runs on to its end, a box closes at
# once, and the exit status is the run's own. A large extra file keeps the run busy.
mkdir -p "$work/big-src"
cp -r "$sample/." "$work/big-src/"
head -c 30000000 /dev/urandom >"$work/big-src/big.bin"
(cat "$examples/sample-update.manifest"; echo "big.bin") >"$work/big.manifest"
"$pack" create -q --stub "$stub" -o "$work/big-upd" --manifest "$work/big.manifest" \
  -C "$work/big-src" || { echo "packing failed"; exit 1; }
big_installed() { cmp -s "$install/big.bin" "$work/big-src/big.bin"; }
sample_updater="$updater"
# MOMENT: "run" once the database files are set aside, "box" once the box BOX is shown.
while read -r sig moment box expect; do
  new_case "sig$sig-$moment-$box"
  cp "$install/Partbase.txt" "$case_dir/original.txt"
  [ "$expect" -eq 1 ] && rm -rf "$install"
  if [ "$moment" = run ]; then
    updater="$work/big-upd"
    start_updater
    for _ in $(seq 1000); do [ -e "$install/PalData.arh" ] && break; sleep 0.01; done
    check "working files present when signalled" test -e "$install/PalData.arh"
  else
    updater="$sample_updater"
    start_updater
    check "$box box shown" test -n "$(find_window "$box")"
  fi
  check "updater running when signalled" alive
  kill "-$sig" "$updater_pid" 2>/dev/null
  finish_updater
  check "exit status $expect" test "$status" -eq "$expect"
  if [ "$expect" -eq 0 ]; then
    check "part base = installed + 27 new lines" partbase_appended
    check "23 images installed byte for byte" images_installed
    check "no working files" no_working_files
    [ "$moment" = run ] && check "big file complete" big_installed
  else
    check "installation not created" test ! -e "$install"
  fi
done <<'TABLE'
TERM run -           0
HUP  box Information 0
TERM box Error       1
TABLE

finish
