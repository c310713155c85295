#!/usr/bin/env bash
# The terminal front-end attended: a packed updater run on a pseudo-terminal, answered
# as a person at the keyboard would (pty_session.py), with its output on that terminal
# or in a log.
set -uo pipefail
source "$(dirname "$0")/check_lib.sh"
pack="$1"
stub="$2"
examples="$3"
driver="$(dirname "$0")/pty_session.py"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
updater="$work/LumoraUpdate-sample"
pack_sample_updater "$updater"

show_failure() {
  echo "FAIL [$name] $1"
  sed 's/^/    | /' "$case_dir/err.txt" 2>/dev/null
  tr -d '\r' <"$case_dir/screen.txt" 2>/dev/null | tail -n 8 | sed 's/^/    screen| /'
}

# session NAME INSTALLATION OUTPUT STATUS STEP...: runs the updater on a pseudo-terminal
# for an installation ("duplicates": one of the sample's records is installed already;
# "missing": no registry), its standard output on the terminal ("tty") or in log.txt
# ("log"), plays the steps and checks the exit status.
session() {
  name="$1"
  local installation="$2" output="$3" want="$4"
  shift 4
  case_dir="$work/$name"
  local install="$case_dir/Lumora"
  mkdir -p "$install" "$case_dir/config/registry"
  printf '%s\r\n' "# 1 - Lips" "1; 0; 0;lips\\red.psd;red lips;" \
    "10; 5; 5;addition\\Tattoo\\fp003.psd;old tattoo;" >"$install/Partbase.txt"
  printf '%s\r\n' "palette 1" >"$install/PalData.txt"
  if [ "$installation" = duplicates ]; then
    printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\r\n"Version"="5.0"\r\n"HDPath"="%s"\r\n' \
      "$install" >"$case_dir/config/registry/HKEY_CURRENT_USER.reg"
  fi
  local redirect=()
  [ "$output" = log ] && redirect=(--stdout "$case_dir/log.txt")
  HOME="$case_dir" XDG_CONFIG_HOME="$case_dir/config" LUMORA_UI=terminal \
    python3 "$driver" "${redirect[@]}" --screen "$case_dir/screen.txt" "$@" -- "$updater" \
    2>"$case_dir/err.txt"
  local got=$?
  check "exit status $want" test "$got" -eq "$want"
}
in_log() { grep -qF -- "$1" "$case_dir/log.txt"; }

# An Enter typed while the update runs does not answer the warning that comes later.
session typed-ahead duplicates tty 0 'send=\r' 'wait=Warning: Duplication elements!' \
  'wait=[OK: press Enter]' still=0.5 absent=successfully 'send=\r' \
  'wait=Information: Database successfully updated.' 'wait=[OK: press Enter]' 'send=\r'

# Output in a log: the questions and their messages still reach the person who answers.
session logged duplicates log 0 'wait=Warning: Duplication elements!' 'wait=[OK: press Enter]' \
  'send=\r' 'wait=Information: Database successfully updated.' 'wait=[OK: press Enter]' 'send=\r'
check "log: progress and messages" bash -c "grep -q 'Please WAIT' '$case_dir/log.txt' && grep -q 'Duplication elements' '$case_dir/log.txt'"
check "screen: no progress lines" bash -c "! grep -q 'Please WAIT' '$case_dir/screen.txt'"

# A stopped run: Enter answers the message and closes the window; a second Enter typed
# with the first does not close it.
session enter missing tty 1 'wait=You have not correct installation for Lumora.' \
  'wait=[OK: press Enter]' 'send=\r\r' 'wait=Press Enter to close the window.' still=0.5 'send=\r'

# End of input (Ctrl-D) closes the message and the window.
session end-of-input missing log 1 'wait=You have not correct installation for Lumora.' \
  'wait=[OK: press Enter]' 'send=\x04' 'wait=Press Enter to close the window.' 'send=\x04'
check "log: the message" in_log "Error: You have not correct installation for Lumora."

finish
