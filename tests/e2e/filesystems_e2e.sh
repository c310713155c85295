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
  [ -n "${pid:-}" ] && kill -KILL "$pid" 2>/dev/null
  mountpoint -q "$mnt" && umount "$mnt"
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$mnt"

# The sample update, a new data file, and a new folder of 1,000 small files (the first
# batch of names) followed by 30 of 200 KB, so a kill among these finds new files under
# their own names and others under working names.
src="$work/src"
mkdir -p "$src/Pack"
cp -r "$sample/." "$src/"
for i in $(seq 1001 2000); do printf 'small %d' "$i" >"$src/Pack/s$i.psd"; done
for i in $(seq 1 30); do head -c 200000 /dev/urandom >"$src/Pack/r$i.bin"; done
printf '%s\r\n' "palette 3" "palette 4" >"$src/PalData.txt"
(cat "$examples/sample-update.manifest"; echo 'PalData.txt'; echo 'Pack\'
  for i in $(seq 1001 2000); do echo "Pack\\s$i.psd"; done
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
# Every folder and every file with its contents. Names are compared without regard to
# letter case: FAT keeps a name's case only as far as its long names do.
tree_state() {
  (cd "$1" && find . -mindepth 1 \( -type d -printf 'folder %p\n' \) -o \( -type f -printf '%p ' -exec sha1sum {} \; \) |
    tr '[:upper:]' '[:lower:]' | sort | sha1sum)
}
show_failure() {
  echo "FAIL [$name] $1"
  tail -n 4 "$work/out.txt" 2>/dev/null | sed 's/^/    | /'
}

# The expected result: the same update on a folder of the disk the test runs on.
fresh
before="$(tree_state "$install")"
run
[ $? -eq 0 ] || { echo "the update fails on an ordinary folder"; tail -n 4 "$work/out.txt"; exit 1; }
expected="$(tree_state "$install")"
rm -rf "$install"

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

  # Killed in the middle: the first 1,000 new files have their names, the big ones are
  # still being written.
  name="$fs: killed, then --repair"
  fresh
  HOME="$home" XDG_CONFIG_HOME="$home/config" LUMORA_UI=terminal "$updater" </dev/null >"$work/out.txt" 2>&1 &
  pid=$!
  until grep -q 'r15\.bin' "$work/out.txt" || ! kill -0 "$pid" 2>/dev/null; do sleep 0.005; done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  pid=
  check "killed while its journal stands" test -f "$install/~LumoraUpdate.jnl"
  check "killed after the first batch had its names" test -f "$install/Pack/s1500.psd"
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
