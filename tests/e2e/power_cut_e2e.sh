#!/usr/bin/env bash
# A real power cut: the packed updater runs on a loop-mounted ext4 image (delayed
# allocation, as by default; the journal commits every second), is frozen at points of its
# run, and the file system is then stopped as a power loss stops it (EXT4_IOC_SHUTDOWN
# without a journal flush: the running transaction and every dirty page are dropped).
# Mounted again, no file under an installation name may be torn; --repair gives back the
# installation as it was, and the update then runs to the uninterrupted result.
# Needs root and loop devices; skipped (status 77) where mounting is refused.
set -uo pipefail
source "$(dirname "$0")/check_lib.sh"
pack="$1"
stub="$2"
examples="$3"
sample="$examples/sample-update"

work="$(mktemp -d)"
mnt="$work/mnt"
mnt2="$work/mnt2"
cleanup() {
  [ -n "${pid:-}" ] && kill -KILL "$pid" 2>/dev/null
  mountpoint -q "$mnt" && umount "$mnt"
  mountpoint -q "$mnt2" && umount "$mnt2"
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$mnt"
if ! mkfs.ext4 -q -F "$work/disk.img" 96M 2>/dev/null ||
  ! mount -o loop,commit=1 "$work/disk.img" "$mnt" 2>/dev/null; then
  echo "SKIP: cannot make and mount an ext4 image here (needs root and loop devices)"
  exit 77
fi

# The sample update, a new data file, 40 files of 300 KB in a new folder, and 1,200 small
# ones in another: enough for several batches of new files, each synced while the next one
# is written, so that the cuts also fall between a batch's sync and its names.
src="$work/src"
mkdir -p "$src/Pack" "$src/Small"
cp -r "$sample/." "$src/"
for i in $(seq 1 40); do head -c 300000 /dev/urandom >"$src/Pack/r$i.bin"; done
for i in $(seq 1000 2199); do head -c $((100 + i % 200)) /dev/urandom >"$src/Small/s$i.psd"; done
printf '%s\r\n' "palette 3" "palette 4" >"$src/PalData.txt"
(cat "$examples/sample-update.manifest"; echo 'PalData.txt'; echo 'Pack\'
  for i in $(seq 1 40); do echo "Pack\\r$i.bin"; done
  echo 'Small\'; for i in $(seq 1000 2199); do echo "Small\\s$i.psd"; done) >"$work/manifest"
updater="$work/update"
"$pack" create -q --stub "$stub" -o "$updater" --manifest "$work/manifest" -C "$src" ||
  { echo "packing failed"; exit 1; }

install="$mnt/Lumora"
home="$work/home"
mkdir -p "$home/config/registry"
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\r\n"Version"="5.0"\r\n"HDPath"="%s"\r\n' \
  "$install" >"$home/config/registry/HKEY_CURRENT_USER.reg"

# A fresh installation, on the disk.
fresh() {
  rm -rf "$install"
  mkdir -p "$install/Addition"
  printf '%s\r\n' "# 1 - Lips" "1; 0; 0;lips\\red.psd;red lips;" >"$install/Partbase.txt"
  printf '%s\r\n' "palette 1" "palette 2" >"$install/PalData.txt"
  printf 'old' >"$install/Addition/old.psd"
  sync -f "$install"
}
run() { HOME="$home" XDG_CONFIG_HOME="$home/config" LUMORA_UI=terminal "$updater" "$@" </dev/null >"$work/out.txt" 2>&1; }
tree_state() { (cd "$1" && find . -mindepth 1 \( -type d -printf 'folder %p\n' \) -o \( -type f -printf '%p ' -exec sha1sum {} \; \) | sort | sha1sum); }
show_failure() {
  echo "FAIL [$name] $1"
  tail -n 8 "$work/out.txt" 2>/dev/null | sed 's/^/    | /'
}
# Files under their own names are as before, or whole copies of the archive's (or, for the
# part base and the data file, the result of the update).
nothing_torn() {
  local f rel
  while IFS= read -r -d '' f; do
    rel="${f#"$install"/}"
    case "$rel" in
      HairBase1.txt | HairBase2.txt | HairBase4Check.txt | PalData.arh | TempFile.tmp) ;;
      */~LumoraUpdate.*.tmp | ~LumoraUpdate.*.tmp | ~LumoraUpdate.jnl) ;;
      Partbase.txt | PalData.txt | partbase.txt | Addition/old.psd)
        cmp -s "$f" "$work/before/$rel" || cmp -s "$f" "$work/after/$rel" ||
          cmp -s "$f" "$src/$rel" || { echo "torn: $rel"; return 1; } ;;
      *) cmp -s "$f" "$src/$rel" || { echo "torn: $rel ($(stat -c %s "$f") bytes)"; return 1; } ;;
    esac
  done < <(find "$install" -type f -print0)
}
# The file system as a machine finds it after a power loss: stopped, then mounted again.
power_cut() {
  local at="${1:-$mnt}" image="${2:-$work/disk.img}"
  python3 - "$at" <<'PY'
import fcntl, os, struct, sys
EXT4_IOC_SHUTDOWN = 0x8004587D          # _IOR('X', 125, __u32)
EXT4_GOING_FLAGS_NOLOGFLUSH = 2
fd = os.open(sys.argv[1], os.O_RDONLY)
fcntl.ioctl(fd, EXT4_IOC_SHUTDOWN, struct.pack("I", EXT4_GOING_FLAGS_NOLOGFLUSH))
os.close(fd)
PY
  [ -n "${pid:-}" ] && kill -KILL "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  pid=
  umount "$at" && mount -o loop,commit=1 "$image" "$at"
}

name=reference
fresh
cp -r "$install" "$work/before"
before="$(tree_state "$install")"
run
check "the uninterrupted update succeeds" test $? -eq 0
cp -r "$install" "$work/after"
uninterrupted="$(tree_state "$install")"
lines=$(wc -l <"$work/out.txt")

# Both ways of making a new file: without a name (ext4's own), and under a working name
# (LUMORA_NO_TMPFILE=1, as on file systems without unnamed files) at fewer points.
for point in 2 5 8 11 12 named:5 named:11; do
  export LUMORA_NO_TMPFILE=
  case "$point" in named:*) point="${point#named:}" LUMORA_NO_TMPFILE=1 ;; esac
  name="cut at $point/13${LUMORA_NO_TMPFILE:+, working names}"
  fresh
  HOME="$home" XDG_CONFIG_HOME="$home/config" LUMORA_UI=terminal "$updater" </dev/null >"$work/out.txt" 2>&1 &
  pid=$!
  until [ "$(wc -l <"$work/out.txt")" -ge $((lines * point / 13)) ] || ! kill -0 "$pid" 2>/dev/null; do
    sleep 0.002
  done
  kill -STOP "$pid" 2>/dev/null
  # Long enough for the journal to commit the renames made so far, not for the data
  # written meanwhile to reach the disk by itself.
  sleep 2.5
  power_cut
  check "no file torn" nothing_torn
  run --repair
  check "--repair succeeds" test $? -eq 0
  state="$(tree_state "$install")"
  if [ "$state" != "$uninterrupted" ]; then
    check "--repair gives back the installation as before" test "$before" = "$state"
    run
    check "the update then succeeds" test $? -eq 0
  fi
  check "as an uninterrupted run" test "$uninterrupted" = "$(tree_state "$install")"
done
export LUMORA_NO_TMPFILE=

# ---- A folder of the installation on another disk (a link to it): the update puts what it
# wrote there on that disk too before it reports success, so a power cut of that disk
# right after the run leaves every new file whole.
name="another disk"
mkdir -p "$mnt2"
if mkfs.ext4 -q -F "$work/disk2.img" 64M 2>/dev/null &&
  mount -o loop,commit=1 "$work/disk2.img" "$mnt2" 2>/dev/null; then
  fresh
  rm -rf "$install/Addition"
  mkdir -p "$mnt2/Addition"
  printf 'old' >"$mnt2/Addition/old.psd"
  sync -f "$mnt2"
  ln -s "$mnt2/Addition" "$install/Addition"
  run
  check "the update succeeds" test $? -eq 0
  # The journal commits the renames within a second; the data follows only on a sync.
  sleep 2.5
  power_cut "$mnt2" "$work/disk2.img"
  whole=0
  for f in "$src"/Addition/Tattoo/*; do
    cmp -s "$f" "$mnt2/Addition/Tattoo/$(basename "$f")" && whole=$((whole + 1))
  done
  check "every new file on the other disk is whole after its power cut ($whole)" \
    test "$whole" = "$(ls "$src/Addition/Tattoo" | wc -l)"
else
  echo "SKIP another disk: cannot make and mount a second ext4 image"
fi

finish
