#!/usr/bin/env bash
# The whole updater against tar -x, in the same run, on the same small files unpacked into
# one folder: 1,000 to 32,000 new files, and 1,000 new files into a folder that already
# holds 20,000. Prints each time, the time per file and the ratio to tar.
#   bench/extract_vs_tar.sh [BUILD_DIR]     (default build/release)
#   COUNTS="8000" bench/extract_vs_tar.sh   only these counts of new files, nothing beside
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
pack="$build/tools/pack/lumora-pack"
stub="$build/src/app/LumoraUpdate"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
# files DIR FIRST COUNT: COUNT small files of 600 to 2,600 bytes in DIR/Pics.
files() {
  mkdir -p "$1/Pics"
  python3 - "$1/Pics" "$2" "$3" <<'PY'
import os, random, sys
d, first, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
r = random.Random(first)
pool = bytes(r.choice(b"abcdefgh") for _ in range(1 << 20))
for i in range(first, first + count):
    at, n = r.randrange(len(pool) - 4096), 600 + r.randrange(2000)
    with open(os.path.join(d, "f%06d.psd" % i), "wb") as f:
        f.write(pool[at:at + n])
PY
}

# run NAME COUNT EXISTING: packs COUNT new files, installs EXISTING others in the target
# folder first, then times the updater and tar -x of the same files.
run() {
  local name="$1" count="$2" existing="$3" case="$work/$1"
  mkdir -p "$case/src" "$case/home/config/registry"
  files "$case/src" 0 "$count"
  (cd "$case/src" && tar -cf "$case/files.tar" Pics)
  (cd "$case/src" && printf 'Pics\\\n' && ls Pics | sed 's/^/Pics\\/') >"$case/manifest"
  "$pack" create -q --stub "$stub" -o "$case/upd" --manifest "$case/manifest" -C "$case/src"
  for target in install tar; do
    mkdir -p "$case/$target"
    if [ "$existing" -gt 0 ]; then files "$case/$target" 1000000 "$existing"; fi
  done
  printf '# 1\r\n' >"$case/install/Partbase.txt"
  printf 'pal\r\n' >"$case/install/PalData.txt"
  printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\r\n"Version"="5.0"\r\n"HDPath"="%s"\r\n' \
    "$case/install" >"$case/home/config/registry/HKEY_CURRENT_USER.reg"
  sync
  local t0 t1 t2 t3
  t0=$(now)
  HOME="$case/home" XDG_CONFIG_HOME="$case/home/config" LUMORA_UI=terminal \
    "$case/upd" </dev/null >"$case/out.txt" 2>&1 || { cat "$case/out.txt"; exit 1; }
  t1=$(now)
  tar -xf "$case/files.tar" -C "$case/tar"
  t2=$(now)
  # The updater ends with the files on the disk (one syncfs); tar does not.
  sync -f "$case/tar"
  t3=$(now)
  cmp -s "$case/src/Pics/f$(printf %06d $((count - 1))).psd" \
    "$case/install/Pics/f$(printf %06d $((count - 1))).psd" || { echo "wrong output"; exit 1; }
  python3 - "$name" "$count" "$t0" "$t1" "$t2" "$t3" <<'PY'
import sys
name, n, t0, t1, t2, t3 = sys.argv[1], int(sys.argv[2]), *map(float, sys.argv[3:])
ours, tar, synced = t1 - t0, t2 - t1, t3 - t1
print("%-24s updater %7.3f s (%6.1f us/file)  tar -x %7.3f s (%6.1f us/file)  ratio %.2fx;"
      "  tar -x + sync %7.3f s, ratio %.2fx"
      % (name, ours, 1e6 * ours / n, tar, 1e6 * tar / n, ours / tar, synced, ours / synced))
PY
  rm -rf "$case"
}

echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; $(df -T "$work" | awk 'NR==2 {print $2}') at $work"
for n in ${COUNTS:-1000 8000 32000}; do run "$n new files" "$n" 0; done
if [ -z "${COUNTS:-}" ]; then run "1000 new beside 20000" 1000 20000; fi
