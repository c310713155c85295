#!/usr/bin/env bash
# The update on the file systems an installation may live on besides ext4: XFS and Btrfs,
# and FAT and exFAT (a USB stick), through the kernel's driver or else through FUSE, where
# there are no hard links and no rename that refuses to replace. On each, an image is made
# and mounted; a plain update reaches the result of the same update on an ordinary folder,
# and an update killed while its journal stands is undone by --repair byte for byte, after
# which the update succeeds. A file system that cannot be made or mounted here (no mkfs, no
# FUSE, not root) is skipped with the reason; the script is skipped (status 77) when all are.
set -uo pipefail
source "$(dirname "$0")/check_lib.sh"
pack="$1"
stub="$2"
examples="$3"
sample="$examples/sample-update"

work="$(mktemp -d)"
mnt="$work/mnt"
cleanup() {
  [ -n "${pid:-}" ] && kill -KILL "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  mountpoint -q "$mnt" && { umount "$mnt" || umount -l "$mnt"; }
  mountpoint -q "$mnt" || rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$mnt"

# The sample update, a new data file and 30 files of 300 KB in a new folder, the last
# ones to be written: a kill among them finds the part bases already moved and merged.
src="$work/src"
mkdir -p "$src/Pack"
cp -r "$sample/." "$src/"
for i in $(seq 1 30); do head -c 300000 /dev/urandom >"$src/Pack/r$i.bin"; done
printf '%s\r\n' "palette 3" "palette 4" >"$src/PalData.txt"
(cat "$examples/sample-update.manifest"; echo 'PalData.txt'; echo 'Pack\'
  for i in $(seq 1 30); do echo "Pack\\r$i.bin"; done) >"$work/manifest"
updater="$work/update"
"$pack" create -q --stub "$stub" -o "$updater" --manifest "$work/manifest" -C "$src" ||
  { echo "packing failed"; exit 1; }

install="$mnt/Lumora"
home="$work/home"
mkdir -p "$home/config/registry"
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\r\n"Version"="5.0"\r\n"HDPath"="%s"\r\n' \
  "$install" >"$home/config/registry/HKEY_CURRENT_USER.reg"

fresh() {
  rm -rf "$install"
  mkdir -p "$install/Addition"
  printf '%s\r\n' "# 1 - Lips" "1; 0; 0;lips\\red.psd;red lips;" >"$install/Partbase.txt"
  printf '%s\r\n' "palette 1" "palette 2" >"$install/PalData.txt"
  printf 'old' >"$install/Addition/old.psd"
}
run() { HOME="$home" XDG_CONFIG_HOME="$home/config" LUMORA_UI=terminal "$updater" "$@" </dev/null >"$work/out.txt" 2>&1; }
# Every folder and every file with its contents (FAT and exFAT keep a name's letter case in
# its long name).
tree_state() { (cd "$1" && find . -mindepth 1 \( -type d -printf 'folder %p\n' \) -o \( -type f -printf '%p ' -exec sha1sum {} \; \) | sort | sha1sum); }
show_failure() {
  echo "FAIL [$name] $1"
  tail -n 4 "$work/out.txt" 2>/dev/null | sed 's/^/    | /'
}

# The expected result: the same update on a folder of the disk the test runs on, which
# appends the new records to the part base and the data file and adds every file whole.
name=reference
fresh
cp -r "$install" "$work/before"
before="$(tree_state "$install")"
run
check "the update succeeds on an ordinary folder" test $? -eq 0
reference_right() {
  local f
  cat "$work/before/Partbase.txt" "$src/partbase.txt" | cmp -s - "$install/Partbase.txt" &&
    cat "$work/before/PalData.txt" "$src/PalData.txt" | cmp -s - "$install/PalData.txt" || return 1
  for f in $(cd "$src" && find Addition Pack -type f); do cmp -s "$src/$f" "$install/$f" || return 1; done
}
check "records appended, files whole" reference_right
expected="$(tree_state "$install")"
rm -rf "$install"
[ "$failed" -eq 0 ] || { finish; exit 1; }

# mount_image FS: makes an image of FS and mounts it on $mnt with the kernel's driver, or
# else through FUSE; false with the reason in $why when that cannot be done here.
mount_image() {
  local img="$work/$1.img" mkfs fuse
  case "$1" in
    xfs) mkfs=(mkfs.xfs -q) ;;
    btrfs) mkfs=(mkfs.btrfs -q) ;;
    vfat) mkfs=(mkfs.vfat -F 32) fuse=fusefat ;;
    exfat) mkfs=(mkfs.exfat) fuse=mount.exfat-fuse ;;
  esac
  why="not root"
  [ "$(id -u)" -eq 0 ] || return 1
  why="no ${mkfs[0]}"
  command -v "${mkfs[0]}" >/dev/null || return 1
  why="${mkfs[0]} failed"
  truncate -s 320M "$img" && "${mkfs[@]}" "$img" >/dev/null 2>&1 || return 1
  via=kernel
  why="mount refused"
  grep -qw "$1" /proc/filesystems && { mount -o loop "$img" "$mnt" 2>/dev/null; return; }
  why="no driver in the kernel, and no FUSE (/dev/fuse, $fuse)"
  [ -n "${fuse:-}" ] && [ -c /dev/fuse ] && command -v "$fuse" >/dev/null || return 1
  via=FUSE
  why="FUSE mount refused"
  case "$1" in
    vfat) fusefat -o rw+ "$img" "$mnt" 2>/dev/null ;;
    exfat) mount -t exfat-fuse -o loop "$img" "$mnt" 2>/dev/null ;;
  esac
}

ran=0
for fs in xfs btrfs vfat exfat; do
  if ! mount_image "$fs"; then
    echo "SKIP $fs: $why"
    continue
  fi
  ran=$((ran + 1))
  started=$SECONDS

  name="$fs: plain update"
  fresh
  run
  check "succeeds" test $? -eq 0
  check "the installation is the expected result" test "$expected" = "$(tree_state "$install")"

  # Killed while the new files are being written (under their working names on FAT and
  # exFAT, without names elsewhere).
  name="$fs: killed, then --repair"
  fresh
  if strace -o /dev/null true 2>/dev/null; then
    # Every write slowed by 20 ms: the kill lands among the new files however fast the
    # file system and however busy the machine, once the part base stands aside.
    HOME="$home" XDG_CONFIG_HOME="$home/config" LUMORA_UI=terminal strace -f -o /dev/null \
      -e trace=write -e inject=write:delay_exit=20000 "$updater" </dev/null >"$work/out.txt" 2>&1 &
    pid=$!
    until { [ -f "$install/HairBase1.txt" ] && [ -f "$install/~LumoraUpdate.jnl" ]; } ||
      ! kill -0 "$pid" 2>/dev/null; do sleep 0.01; done
    sleep 0.5
    child=$(pgrep -P "$pid" | head -n 1)
    [ -z "$child" ] || kill -KILL "$child" 2>/dev/null
    # The killed updater ends once its tracer lets it: only then are its files, and the
    # installation's lock, let go.
    for _ in $(seq 200); do
      [ -n "$child" ] && kill -0 "$child" 2>/dev/null || break
      sleep 0.05
    done
  else
    HOME="$home" XDG_CONFIG_HOME="$home/config" LUMORA_UI=terminal "$updater" </dev/null >"$work/out.txt" 2>&1 &
    pid=$!
    until grep -q 'r5\.bin' "$work/out.txt" || ! kill -0 "$pid" 2>/dev/null; do sleep 0.005; done
  fi
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  pid=
  check "killed while its journal stands" test -f "$install/~LumoraUpdate.jnl"
  check "killed after the part base was moved aside" test -f "$install/HairBase1.txt"
  run --repair
  check "--repair succeeds" test $? -eq 0
  check "--repair gives back the installation as before" test "$before" = "$(tree_state "$install")"
  run
  check "the update then succeeds" test $? -eq 0
  check "to the expected result" test "$expected" = "$(tree_state "$install")"

  echo "$fs ($via): $((SECONDS - started)) s"
  umount "$mnt" || { echo "cannot unmount $fs"; exit 1; }
  rm -f "$work/$fs.img"
done

[ "$ran" -eq 0 ] && { echo "SKIP: no file system could be made and mounted here"; exit 77; }
finish
