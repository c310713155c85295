#!/usr/bin/env bash
# The whole updater against tar -x of the same small files into one folder: 1,000 to 32,000
# new files, and 1,000 new files into a folder that already holds 20,000.
#
# Creating files costs the file system very different amounts from one moment to the next
# on a disk that has seen many deletions, so every case runs ROUNDS rounds, the updaters and
# tar taking turns (which goes first rotates), and each of them unpacks into a fresh
# ext4 file system of its own (a loop-mounted image; as root where mounting works, else a
# fresh folder on the disk of the work folder, and the header says which). Every unpacked
# file is compared with its source. The updater ends with its files on the disk (syncfs),
# so tar -x is also timed with a sync of its file system after it. The updater runs twice a
# round: as it runs, with new files made without a name and linked once on the disk, and
# with LUMORA_NO_TMPFILE=1, written under working names and renamed (as on file systems
# without O_TMPFILE). Printed: the medians of the rounds' times, the medians of the rounds'
# ratios to tar -x + sync, and the peak RSS of each updater. With BASELINE naming another
# build folder (an earlier version), its updater takes its turn in every round too, and the
# ratio of the two is shown.
#   [BASELINE=DIR] bench/extract_vs_tar.sh [BUILD_DIR [ROUNDS [CASE...]]]
#     (default build/release, 5 rounds; a CASE is N or N+EXISTING, e.g. 1000+20000)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
rounds="${2:-5}"
shift 2 2>/dev/null || shift $#
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(1000 8000 32000 1000+20000)
pack="$build/tools/pack/lumora-pack"
stub="$build/src/app/LumoraUpdate"
work="$(mktemp -d)"
# Every mount below the work folder goes, also one a failed round left behind.
cleanup() {
  awk -v w="$work/" 'index($2, w) == 1 {print $2}' /proc/mounts | while read -r m; do umount "$m" || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A fresh file system at DIR: an ext4 image mounted there, or just the empty folder.
loop=0
if [ "$(id -u)" = 0 ] && command -v mkfs.ext4 >/dev/null; then
  mkdir -p "$work/probe"
  truncate -s 64M "$work/probe.img"
  if mkfs.ext4 -q -F "$work/probe.img" && mount -o loop "$work/probe.img" "$work/probe" 2>/dev/null; then
    umount "$work/probe"
    loop=1
  fi
  rm -f "$work/probe.img"
fi
fresh_fs() {
  mkdir -p "$1"
  [ "$loop" = 1 ] || return 0
  truncate -s 1G "$1.img"
  mkfs.ext4 -q -F "$1.img"
  mount -o loop "$1.img" "$1"
}
drop_fs() {
  if [ "$loop" = 1 ]; then
    umount "$1"
    rm -f "$1.img"
  fi
  rm -rf "$1"
}

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

# same_files SRC DST: every file of SRC/Pics stands in DST/Pics with the same bytes.
same_files() {
  python3 - "$1/Pics" "$2/Pics" <<'PY'
import filecmp, os, sys
src, dst = sys.argv[1], sys.argv[2]
names = os.listdir(src)
match, mismatch, errors = filecmp.cmpfiles(src, dst, names, shallow=False)
if mismatch or errors:
    sys.exit("%d of %d files differ or are missing in %s" % (len(mismatch) + len(errors), len(names), dst))
PY
}

now() { date +%s.%N; }

# One side of a round (an updater, or tar) of case directory C with EXISTING files already
# in the target: prints its start and end times (for tar, also the end of the sync) and,
# for an updater, its peak RSS in KiB. run_updater takes the updater's file and, for the
# working names, LUMORA_NO_TMPFILE=1.
run_updater() {
  local c="$1" existing="$2" upd="$3" no_tmpfile="${4:-}" t0 t1
  fresh_fs "$c/install"
  [ "$existing" -eq 0 ] || files "$c/install" 1000000 "$existing"
  printf '# 1\r\n' >"$c/install/Partbase.txt"
  printf 'pal\r\n' >"$c/install/PalData.txt"
  printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\r\n"Version"="5.0"\r\n"HDPath"="%s"\r\n' \
    "$c/install" >"$c/home/config/registry/HKEY_CURRENT_USER.reg"
  sync
  t0=$(now)
  HOME="$c/home" XDG_CONFIG_HOME="$c/home/config" LUMORA_UI=terminal LUMORA_NO_TMPFILE="$no_tmpfile" \
    /usr/bin/time -f %M -o "$c/rss" "$upd" </dev/null >"$c/out.txt" 2>&1 || { cat "$c/out.txt" >&2; exit 1; }
  t1=$(now)
  same_files "$c/src" "$c/install" >&2 || exit 1
  # Nothing is left under a working name.
  if ls "$c/install/Pics" | grep -q '^~LumoraUpdate\.'; then echo "working names left" >&2; exit 1; fi
  echo "$t0 $t1 $(cat "$c/rss")"
  drop_fs "$c/install"
}
run_tar() {
  local c="$1" existing="$2" t0 t1 t2
  fresh_fs "$c/tar"
  [ "$existing" -eq 0 ] || files "$c/tar" 1000000 "$existing"
  sync
  t0=$(now)
  tar -xf "$c/files.tar" -C "$c/tar"
  t1=$(now)
  sync -f "$c/tar"
  t2=$(now)
  same_files "$c/src" "$c/tar" >&2 || exit 1
  echo "$t0 $t1 $t2"
  drop_fs "$c/tar"
}

# run CASE: packs the case's new files, then ROUNDS rounds in which tar, the updater with
# new files without a name, the updater with working names and the baseline take turns,
# the first of them rotating from round to round.
run() {
  local count="${1%%+*}" existing=0 c="$work/case"
  [ "$1" = "$count" ] || existing="${1#*+}"
  local name="$count new"
  [ "$existing" -eq 0 ] || name="$count new beside $existing"
  mkdir -p "$c/src" "$c/home/config/registry"
  files "$c/src" 0 "$count"
  (cd "$c/src" && tar -cf "$c/files.tar" Pics)
  (cd "$c/src" && printf 'Pics\\\n' && ls Pics | sed 's/^/Pics\\/') >"$c/manifest"
  "$pack" create -q --stub "$stub" -o "$c/upd" --manifest "$c/manifest" -C "$c/src"
  [ -z "${BASELINE:-}" ] || "$BASELINE/tools/pack/lumora-pack" create -q \
    --stub "$BASELINE/src/app/LumoraUpdate" -o "$c/base" --manifest "$c/manifest" -C "$c/src"
  : >"$c/times"
  local sides=(tar unnamed named) r i side
  [ -z "${BASELINE:-}" ] || sides+=(base)
  for ((r = 0; r < rounds; r++)); do
    declare -A t=([base]="0 0 0")
    for ((i = 0; i < ${#sides[@]}; i++)); do
      side=${sides[$(((i + r) % ${#sides[@]}))]}
      case $side in
        tar) t[tar]=$(run_tar "$c" "$existing") ;;
        unnamed) t[unnamed]=$(run_updater "$c" "$existing" "$c/upd") ;;
        named) t[named]=$(run_updater "$c" "$existing" "$c/upd" 1) ;;
        base) t[base]=$(run_updater "$c" "$existing" "$c/base") ;;
      esac
    done
    echo "${t[tar]} ${t[unnamed]} ${t[named]} ${t[base]}" >>"$c/times"
  done
  python3 - "$name" "$count" "$existing" "$c/times" "$work/rows" <<'PY'
import statistics, sys
name, n, existing, path, rows_path = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), *sys.argv[4:]
rows = [list(map(float, line.split())) for line in open(path)]
med = statistics.median
tar = [r[1] - r[0] for r in rows]
synced = [r[2] - r[0] for r in rows]
sides = {"unnamed": 3, "named": 6, "base": 9}
took = {k: [r[i + 1] - r[i] for r in rows] for k, i in sides.items()}
rss = {k: max(r[i + 2] for r in rows) / 1024 for k, i in sides.items()}
has_base = any(took["base"])
line = "%-22s tar -x %6.3f s, + sync %6.3f s" % (name, med(tar), med(synced))
row = "| %s | %.2f s | %.2f s |" % (name, med(tar), med(synced))
for k in ("unnamed", "named", "base") if has_base else ("unnamed", "named"):
    ratio = med(o / s for o, s in zip(took[k], synced))
    line += "; %s %6.3f s %4.2fx" % (k, med(took[k]), ratio)
    row += " %.2f s | %.2fx |" % (med(took[k]), ratio)
if has_base:
    line += "; unnamed / base %4.2fx" % med(o / b for o, b in zip(took["unnamed"], took["base"]))
    row += " %.2fx |" % med(o / b for o, b in zip(took["unnamed"], took["base"]))
rss_keys = ("unnamed", "named", "base") if has_base else ("unnamed", "named")
print(line + "  (rounds, unnamed: %s; tar + sync: %s)  peak RSS %s MB, %d names in the folder"
      % (" ".join("%.2f" % o for o in took["unnamed"]), " ".join("%.2f" % t for t in synced),
         " / ".join("%.1f" % rss[k] for k in rss_keys), n + existing))
print(row + " %s MB |" % " / ".join("%.1f" % rss[k] for k in rss_keys), file=open(rows_path, "a"))
PY
  rm -rf "$c"
}

if [ "$loop" = 1 ]; then where="a fresh ext4 file system (loop image) for every run"
else where="a fresh folder for every run on $(df -T "$work" | awk 'NR==2 {print $2}') at $work (no loop mounts here)"; fi
echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; $(date -u +%Y-%m-%d)"
echo "each case: $rounds rounds, updater and tar -x taking turns, each on $where; every file compared"
for c in "${cases[@]}"; do run "$c"; done
echo
if [ -n "${BASELINE:-}" ]; then
  echo "| files | tar -x | tar -x + sync | no name | ratio | working names | ratio | baseline | ratio | no name / baseline | peak RSS |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|"
else
  echo "| files | tar -x | tar -x + sync | no name | ratio | working names | ratio | peak RSS |"
  echo "|---|---|---|---|---|---|---|---|"
fi
cat "$work/rows"
