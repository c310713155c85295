#!/usr/bin/env bash
# How `lumora-pack create -j N` scales: 64 files of 1 MiB (a quarter each of text, image-like
# rows, flat runs and random bytes) packed with -j 1 and with -j 2, under both clear
# policies. The runs take turns (which goes first alternates) for ROUNDS rounds; printed are
# the median wall-clock times and the median of the rounds' ratios. Every archive must be
# byte for byte the one of the -j 1 run and pass `lumora-pack test`.
#
# The ceiling is what the machine gives two processes that share nothing: two -j 1 runs
# side by side, each on all the files, against one alone (2 x alone / side by side). Where
# two cores slow each other down (virtual machines often do), it is below 2.
#   bench/pack_threads.sh [BUILD_DIR [ROUNDS]]   (default build/release, 5 rounds)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
rounds="${2:-5}"
pack="$build/tools/pack/lumora-pack"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/in"
set +o pipefail # head ends the generators early
for i in $(seq 0 63); do
  f="$work/in/f$i.bin"
  case $((i % 4)) in
    0) seq -f "part %g base record tattoo layer 0.75" 1 100000 | head -c 1048576 >"$f" ;;
    1) head -c 1048576 /dev/urandom | od -An -v -tu1 -w1 |
      awk '{ printf "%c", (int(NR / 3) % 200) + ($1 % 3) + 32 }' | head -c 1048576 >"$f" ;;
    2) for b in 41 42 43 44; do head -c 262144 /dev/zero | tr '\0' "\\$b"; done >"$f" ;;
    3) head -c 1048576 /dev/urandom >"$f" ;;
  esac
  [ "$(stat -c %s "$f")" = 1048576 ] || { echo "could not make $f" >&2; exit 1; }
done
set -o pipefail

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
seconds() { # seconds OUT POLICY J: packs, prints the wall-clock seconds
  local t0 t1
  t0=$(date +%s.%N)
  "$pack" create --raw -q --clear-policy "$2" -j "$3" -o "$1" -C "$work/in" . >/dev/null
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}
side_by_side() { # side_by_side POLICY: two -j 1 runs at once, prints the wall-clock seconds
  local t0 t1
  t0=$(date +%s.%N)
  "$pack" create --raw -q --clear-policy "$1" -j 1 -o "$work/a.lza" -C "$work/in" . >/dev/null &
  "$pack" create --raw -q --clear-policy "$1" -j 1 -o "$work/b.lza" -C "$work/in" . >/dev/null
  wait $!
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}

echo "lumora-pack -j 1 against -j 2: $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC'); 64 files of 1 MiB, median of $rounds interleaved rounds"
echo
echo "| policy | -j 1 | -j 2 | speed-up | ceiling |"
echo "|---|---:|---:|---:|---:|"
for policy in adaptive full; do
  : >"$work/t1" && : >"$work/t2" && : >"$work/r" && : >"$work/c"
  for r in $(seq 1 "$rounds"); do
    if [ $((r % 2)) = 1 ]; then
      a=$(seconds "$work/one.lza" "$policy" 1)
      b=$(seconds "$work/two.lza" "$policy" 2)
    else
      b=$(seconds "$work/two.lza" "$policy" 2)
      a=$(seconds "$work/one.lza" "$policy" 1)
    fi
    cmp -s "$work/one.lza" "$work/two.lza" || { echo "-j 2 wrote another archive than -j 1 ($policy)" >&2; exit 1; }
    "$pack" test --offset 1 "$work/one.lza" >/dev/null || { echo "the archive does not test sound ($policy)" >&2; exit 1; }
    echo "$a" >>"$work/t1"
    echo "$b" >>"$work/t2"
    echo "$a / $b" | bc -l >>"$work/r"
    pair=$(side_by_side "$policy")
    echo "2 * $a / $pair" | bc -l >>"$work/c"
  done
  printf '| %s | %.2f s | %.2f s | %.2fx | %.2fx |\n' "$policy" "$(median <"$work/t1")" "$(median <"$work/t2")" \
    "$(median <"$work/r")" "$(median <"$work/c")"
done
