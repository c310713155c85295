#!/usr/bin/env bash
# lumora-pack end to end: builds updaters and raw archives from real folders, then lists,
# tests and extracts them, and checks the exit code and message of every failure.
#
# Usage: pack_e2e.sh PACKER STUB EXAMPLES [LINUX_PACKER]. A PACKER ending in .exe is the
# Windows one: it runs under Wine, in a UTF-8 locale (Wine then reads file names as Linux
# writes them, and its ANSI code page is Windows-1252), and its updaters must equal
# LINUX_PACKER's byte for byte. LUMORA_WINE_BITS (64 or 32) says which of Wine's loaders
# starts it (cmake/wine-loader.sh).
set -uo pipefail
source "$(dirname "$0")/check_lib.sh"
pack="$1"
stub="$2"
examples="$3"
linux_pack="${4:-}"
windows=0
case "$pack" in *.exe) windows=1 ;; esac
if [ "$windows" = 1 ]; then
  source "$(dirname "$0")/../../cmake/wine-loader.sh"
  wine=$(wine_loader "${LUMORA_WINE_BITS:-64}")
  # Through wine-run.sh, which runs it again when Wine lost its status; and once more when
  # it printed nothing, which Wine's start-up does now and then on a busy machine.
  winepath() {
    local out
    out=$("$(dirname "$0")/../../cmake/wine-run.sh" "${LUMORA_WINE_BITS:-64}" winepath "$@" 2>/dev/null)
    if [ -z "$out" ]; then
      echo "wine-run: winepath printed nothing; running it again" >&2
      out=$("$(dirname "$0")/../../cmake/wine-run.sh" "${LUMORA_WINE_BITS:-64}" winepath "$@" 2>/dev/null)
    fi
    printf '%s\n' "$out"
  }
fi
if [ -n "$linux_pack" ] && [ ! -x "$linux_pack" ]; then
  echo "skip: no Linux packer at $linux_pack (build the release preset to compare with it)"
  linux_pack=""
fi
sample="$examples/sample-update"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

show_failure() {
  echo "FAIL $1"
  tail -n 5 "$work/err" 2>/dev/null | sed 's/^/    | /'
}
# pk ARGS...: the packer, under Wine for the Windows one. With fault=SYSCALL:ACTION set, strace
# applies ACTION to that system call in the writing (main) thread only: without -f it
# follows no other thread.
pk() {
  if [ "$windows" = 1 ]; then
    LC_ALL=C.UTF-8 "$wine" "$pack" "$@"
  elif [ -n "${fault:-}" ]; then
    # LeakSanitizer cannot run under ptrace: a sanitizer build's leak check stays off here.
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
      strace -qq -o /dev/null -e trace="${fault%%:*}" -e inject="$fault" "$pack" "$@"
  else
    "$pack" "$@"
  fi
}
# lpack ARGS...: the Linux packer, else this one (the check then compares it with itself).
lpack() {
  if [ -n "$linux_pack" ]; then LC_ALL=C.UTF-8 "$linux_pack" "$@"; else pk "$@"; fi
}
# run EXPECTED_STATUS ARGS...: runs the packer, keeping stdout and stderr (as lines ending
# in LF: Windows text output ends them in CR LF).
run() {
  local want="$1"
  shift
  pk "$@" >"$work/out" 2>"$work/err"
  local got=$?
  [ "$windows" = 0 ] || sed -i 's/\r$//' "$work/out" "$work/err"
  [ "$got" -eq "$want" ] || { echo "    exit $got, wanted $want: lumora-pack $*" >>"$work/err"; return 1; }
}
same_tree() { diff -r "$1" "$2" >/dev/null; }

check "--help exits 0" run 0 --help
check "--help names every command" grep -q "extract \[--offset N\] FILE -C DIR" "$work/out"
check "no command is a usage error" run 2
check "unknown option is a usage error" run 2 list --bogus x
check "create without -o" run 2 create --raw -C "$sample" partbase.txt
check "PATH outside the folder" run 2 create --raw -o "$work/x" -C "$sample" ../sample-update.manifest

# An updater from folders, and a raw archive from a manifest.
check "create --stub" run 0 create -q --stub "$stub" -o "$work/upd" -C "$sample" partbase.txt Addition
[ "$windows" = 1 ] || check "updater is executable" test -x "$work/upd"
check "no half-written file left" test ! -e "$work/upd.part"
check "create --raw --manifest" run 0 create -q --raw -o "$work/raw" --manifest "$examples/sample-update.manifest" -C "$sample"

check "list" run 0 list "$work/upd"
check "list shows 26 entries" test "$(wc -l <"$work/out")" -eq 26
check "list: directories first in their folder" bash -c "sed -n 2p '$work/out' | cmp -s - <(printf 'dir\\tAddition\\\\\\t0\\t0\\n')"
check "list: decoded size of the part base" bash -c "grep -P '^file\tpartbase.txt\t' '$work/out' | cut -f4 | grep -qx $(stat -c %s "$sample/partbase.txt")"
check "list raw with --offset 1" run 0 list --offset 1 "$work/raw"
check "raw in manifest order" bash -c "sed -n 4p '$work/out' | grep -q 'fp001.psd'"

check "test updater" run 0 test "$work/upd"
check "test reports the checksum" grep -q "checksum matches" "$work/out"

mkdir -p "$work/x1"
check "extract updater" run 0 extract -q "$work/upd" -C "$work/x1"
check "extracted tree equals the source" same_tree "$work/x1" "$sample"

check "extract makes a missing folder and its parents" run 0 extract -q "$work/upd" -C "$work/new/deep/"
check "extracted into the new folder" same_tree "$work/new/deep" "$sample"

mkdir -p "$work/x2"
printf 'mine' >"$work/x2/partbase.txt"
check "extract raw never overwrites" run 0 extract -q --offset 1 "$work/raw" -C "$work/x2"
check "existing file kept" bash -c "[ \"\$(cat '$work/x2/partbase.txt')\" = mine ]"
check "other files extracted" cmp -s "$work/x2/Addition/Tattoo/ba049.psd" "$sample/Addition/Tattoo/ba049.psd"

# Damage: one byte changed, and a cut file.
cp "$work/upd" "$work/bad"
size=$(stat -c %s "$work/bad")
printf '\x00' | dd of="$work/bad" bs=1 seek=$((size - 2000)) conv=notrunc status=none
check "test refuses a damaged updater" run 1 test "$work/bad"
check "damage named" grep -q "damaged" "$work/err"
mkdir -p "$work/x3"
check "extract refuses it and writes nothing" run 1 extract "$work/bad" -C "$work/x3"
check "nothing written" test -z "$(ls -A "$work/x3")"
check "extract refuses it into a new folder" run 1 extract "$work/bad" -C "$work/gone/deep"
check "no folder left behind" test ! -e "$work/gone"
printf 'x' >"$work/plain"
check "a file where the folder goes" run 1 extract -q "$work/upd" -C "$work/plain/sub"
head -c $((size - 100)) "$work/upd" >"$work/cut"
check "test refuses a cut updater" run 1 test "$work/cut"
check "missing file" run 1 test "$work/none"
check "missing file named" grep -q "Cannot open file" "$work/err"
printf 'not a stub' >"$work/fake"
check "stub without a marker" run 1 create -q --stub "$work/fake" -o "$work/y" -C "$sample" partbase.txt
check "marker named" grep -q "marker" "$work/err"
printf '..\\\\evil\n' >"$work/m"
check "hostile manifest name" run 1 create -q --raw -o "$work/z" --manifest "$work/m" -C "$sample"
mkdir -p "$work/outdir"
printf 'mine' >"$work/outdir/keep"
check "-o names a folder" run 1 create -q --raw -o "$work/outdir" -C "$sample" partbase.txt
check "... refused as a folder" grep -q "outdir is a folder" "$work/err"
check "... no OUT.part left, the folder kept" test ! -e "$work/outdir.part" -a -f "$work/outdir/keep"

# A PATH inside a folder brings its folders with it, so the updater can make them.
check "create from a nested file" run 0 create -q --raw -o "$work/nested" -C "$sample" Addition/Tattoo/fp003.psd Addition/Tattoo
check "nested: list" run 0 list --offset 1 "$work/nested"
check "nested: folders first, each once" bash -c "cut -f1,2 '$work/out' | head -n 3 | tr '\t\n' ' /' | grep -qx 'dir Addition\\\\/dir Addition\\\\Tattoo\\\\/file Addition\\\\Tattoo\\\\fp003.psd/'"
check "nested: no entry twice" test "$(cut -f2 "$work/out" | sort | uniq -d | wc -l)" -eq 0
mkdir -p "$work/x4"
check "nested: extracts into an empty folder" run 0 extract -q --offset 1 "$work/nested" -C "$work/x4"
check "nested: the file is there" cmp -s "$work/x4/Addition/Tattoo/fp003.psd" "$sample/Addition/Tattoo/fp003.psd"
printf 'partbase.txt\r\nAddition\\Tattoo\\fp003.psd\r\n' >"$work/m2"
check "manifest with an unlisted folder still packs" run 0 create -q --raw -o "$work/m2.bin" --manifest "$work/m2" -C "$sample"
check "... and warns about the folder" grep -q 'warning: .*m2:2: .*lies in "Addition\\"' "$work/err"

# Names the updater refuses are refused here, naming the manifest's line: a "." component
# (a manifest made with find .), and names that Windows cannot create as themselves.
for bad in './partbase.txt' 'partbase.txt.' 'Addition\Tattoo\fp003.psd ' 'Addition\a?b.psd' 'Addition\NUL.psd'; do
  printf 'Addition\\\r\n%s\r\n' "$bad" >"$work/m3"
  check "manifest line \"$bad\" refused" run 1 create -q --raw -o "$work/m3.bin" --manifest "$work/m3" -C "$sample"
  check "... naming its line" grep -q 'm3:2: cannot pack' "$work/err"
  check "... and nothing written" test ! -e "$work/m3.bin"
done

# Files are encoded on several threads and written in order: every -j gives the same bytes.
# The random file's member outgrows what a job may hold before its turn comes.
jobs="$work/jobs"
mkdir -p "$jobs/small"
cp -r "$sample/." "$jobs/"
head -c 3000000 /dev/urandom | od -An -v -tx1 | head -c 6000000 >"$jobs/a-text.txt"
head -c 18000000 /dev/urandom >"$jobs/b-random.bin"
for i in $(seq 1 40); do printf 'small %d\n' "$i" >"$jobs/small/$i.txt"; done
check "create -j 1" run 0 create -q -j 1 --raw -o "$work/j1" -C "$jobs" .
check "create -j 4" run 0 create -q -j 4 --raw -o "$work/j4" -C "$jobs" .
check "create -j3" run 0 create -q -j3 --raw -o "$work/j3" -C "$jobs" .
check "-j 1 and -j 4 give the same bytes" cmp -s "$work/j1" "$work/j4"
check "... and -j3 too" cmp -s "$work/j1" "$work/j3"
check "the parallel archive tests sound" run 0 test --offset 1 "$work/j4"
check "-j 0 is a usage error" run 2 create -q -j 0 --raw -o "$work/j0" -C "$jobs" .
rm -rf "$jobs" "$work/j1" "$work/j3" "$work/j4"

# Names: read as UTF-8 (on Windows: from the file system as UTF-16, from the command line
# and manifests in the ANSI code page) and stored in Windows-1252; a name the updater could
# not be given stops the packer with exit 1, the name in the message, and no output file.
export LC_ALL=C.UTF-8
unset LUMORA_CODEPAGE
names="$work/names"
mkdir -p "$names/ok" "$names/bs/d" "$names/colon" "$names/cjk" "$names/ctl" "$names/pl"
printf 'new' >"$names/ok/CAFÉ.TXT"
printf 'x' >"$names/bs/d/a\\b"
printf 'x' >"$names/colon/x:y"
printf 'x' >"$names/cjk/日本.txt"
printf 'x' >"$names/ctl/tab$(printf '\t')name"
printf 'x' >"$names/pl/ő.txt"
# (Not nul.list: on Windows that names the null device.)
printf 'CAFÉ.TXT\nab\000c\n' >"$names/zero.list"
printf 'CAFÉ.TXT\nbell\007\n' >"$names/ctl.list"
# refused WHAT PATTERN ARGS...: the packer refuses, says PATTERN, leaves nothing behind.
refused() {
  local what="$1" pattern="$2"
  shift 2
  rm -f "$work/refused"
  check "$what: exit 1" run 1 create -q --raw -o "$work/refused" "$@"
  check "$what: message" grep -q -- "$pattern" "$work/err"
  check "$what: no output" test ! -e "$work/refused" -a ! -e "$work/refused.part"
}
refused "NUL in a manifest" 'zero.list:2: .*NUL' --manifest "$names/zero.list" -C "$names/ok"
refused "control in a manifest" 'ctl.list:2: .*0x07' --manifest "$names/ctl.list" -C "$names/ok"
check "unknown code page is a usage error" run 2 create -q --raw --codepage UTF-8 -o "$work/pl" -C "$names" pl
if [ "$windows" = 0 ]; then
  refused "'\\' in a walked name" '"d/a\\b": it holds .\\.' -C "$names/bs" d
  refused "':' in a PATH" '"x:y": it holds .:.' -C "$names/colon" x:y
  refused "not in the code page" '日本.txt": code page CP1252 cannot' -C "$names/cjk" .
  refused "control character" '"tab\\x09name": .*control character 0x09' -C "$names/ctl" "tab	name"
  refused "ő in Windows-1252" '"ő.txt"' -C "$names/pl" ő.txt
  check "ő in Windows-1250" run 0 create -q --raw --codepage CP1250 -o "$work/pl" -C "$names/pl" ő.txt
else
  # Wine gives Linux names with '\\', ':' or control characters stand-in characters that no
  # code page holds, and the command line reaches the packer in the ANSI code page.
  echo "skip on Windows: names with '\\', ':' or control characters from a Linux folder"
  refused "ő in Windows-1252" 'pl\\?.txt": code page CP1252 cannot' -C "$names" pl
  refused "ő on the command line" 'argument "?.txt" holds characters that the ANSI code page (CP1252)' -C "$names/pl" ő.txt
  check "ő in Windows-1250" run 0 create -q --raw --codepage 1250 -o "$work/pl" -C "$names" pl
  check "... extract only in the ANSI code page" run 2 extract -q --offset 1 --codepage CP1250 "$work/pl" -C "$work/pl.x"
  lpack create -q --raw --codepage CP1250 -o "$work/pl-linux" -C "$names" pl
  check "... the Linux packer's bytes" cmp -s "$work/pl" "$work/pl-linux"
fi

# A name comes back under its own name, and matches an installed file in another case.
check "É packs" run 0 create -q --raw -o "$work/cafe" -C "$names/ok" CAFÉ.TXT
check "... stored as Windows-1252" grep -qa "$(printf 'CAF\311.TXT')" "$work/cafe"
check "... listed" run 0 list --offset 1 "$work/cafe"
if [ "$windows" = 0 ]; then
  check "... in UTF-8" grep -q $'^file\tCAFÉ.TXT\t' "$work/out"
else
  check "... in the ANSI code page" grep -aq "^file	$(printf 'CAF\311.TXT')	" "$work/out"
fi
mkdir -p "$work/x5" "$work/x6"
check "... extracted" run 0 extract -q --offset 1 "$work/cafe" -C "$work/x5"
check "... under its UTF-8 name" cmp -s "$work/x5/CAFÉ.TXT" "$names/ok/CAFÉ.TXT"
printf 'old' >"$work/x6/café.txt"
check "CAFÉ.TXT meets an installed café.txt" run 0 extract -q --offset 1 "$work/cafe" -C "$work/x6"
check "... which it does not overwrite" bash -c "[ \"\$(ls '$work/x6')\" = café.txt ] && [ \"\$(cat '$work/x6/café.txt')\" = old ]"

# A code signature appends bytes after everything: the trailer still guards the archive.
cp "$work/upd" "$work/signed"
head -c 700 /dev/urandom >>"$work/signed"
check "signed updater tests sound" run 0 test "$work/signed"
check "... with its checksum" grep -q "checksum matches" "$work/out"
cp "$work/bad" "$work/bad-signed"
head -c 700 /dev/urandom >>"$work/bad-signed"
check "signed damaged updater refused" run 1 test "$work/bad-signed"

# Windows: paths as Windows programs are given them, and the bytes of the Linux packer.
# ---- Linux: spill files, a full disk and interrupts, on small tmpfs mounts (root)
if [ "$windows" = 0 ]; then
  big="$work/big-src"
  mkdir -p "$big"
  # Random bytes do not compress: b.bin's output outgrows what a member waiting for its
  # turn keeps in memory (16 MiB) and spills, while a.bin is written.
  head -c 24000000 /dev/urandom >"$big/a.bin"
  head -c 24000000 /dev/urandom >"$big/b.bin"
  # The member before b.bin is big enough that b.bin outgrows its 16 MiB first even when the
  # writing thread takes b.bin's core (with a.bin, 24 MB, it sometimes did not).
  head -c 64000000 /dev/urandom >"$big/first.bin"
  mkdir -p "$work/big-tmp"
  have_strace=0
  if grep -q __asan_init "$pack" 2>/dev/null; then
    # The sanitizers' own reports do not run under ptrace: the release build covers these.
    echo "skipped: faults injected with strace (a sanitizer build)"
  elif strace -qq -o /dev/null true 2>/dev/null; then
    have_strace=1
  else
    echo "skipped: faults injected with strace (no strace, or tracing is not allowed)"
  fi
  mounts=()
  trap 'for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done; rm -rf "$work"' EXIT
  small_mount() { mkdir -p "$1" && mount -t tmpfs -o "size=$2" tmpfs "$1" 2>/dev/null && mounts+=("$1"); }
  if small_mount "$work/small-tmp" 2m && small_mount "$work/small-out" 22m; then
    # Spill files go where TMPDIR says: a 2 MiB TMPDIR cannot take b.bin's spill, a
    # folder on a big disk can.
    TMPDIR="$work/small-tmp" run 1 create -q -j 2 --raw -o "$work/spilled" -C "$big" first.bin b.bin
    check "TMPDIR that is full: the run fails" test $? -eq 0
    check "... saying the disk is full" grep -q "temporary file in $work/small-tmp: the disk is full" "$work/err"
    check "... and leaves no OUT.part" test ! -e "$work/spilled.part"
    check "... nor a spill file" test -z "$(ls -A "$work/small-tmp")"
    check "TMPDIR on a big disk" env TMPDIR="$work/big-tmp" "$pack" create -q -j 2 --raw -o "$work/spilled" -C "$big" first.bin b.bin
    check "... no spill file stays" test -z "$(ls -A "$work/big-tmp")"
    rm -f "$work/spilled"
    # A TMPDIR that takes every byte of b.bin's spill but the last ones, which the stream
    # still buffers when the encoder ends: the full disk shows only when they are flushed.
    # Its size comes from the spill of a traced run.
    if [ "$have_strace" = 1 ]; then
      TMPDIR="$work/big-tmp" strace -f -ff -qq -y -e trace=write -o "$work/trace" \
        "$pack" create -q -j 2 --raw -o "$work/spilled" -C "$big" first.bin b.bin
      spill=$(cat "$work"/trace.* | awk '/\(deleted\)/ { n += $NF } END { print n + 0 }')
      rm -f "$work"/trace.* "$work/spilled"
      page=$(getconf PAGESIZE)
      check "b.bin spills (${spill} bytes)" test "$spill" -gt "$page"
      check "a TMPDIR a little smaller than the spill" small_mount "$work/tail-tmp" $(((spill - 1) / page * page))
      TMPDIR="$work/tail-tmp" run 1 create -q -j 2 --raw -o "$work/spilled" -C "$big" first.bin b.bin
      check "TMPDIR full at the spill's last bytes: the run fails" test $? -eq 0
      check "... saying the disk is full" grep -q "temporary file in $work/tail-tmp: the disk is full" "$work/err"
      check "... and leaves no OUT.part, no OUT" test ! -e "$work/spilled.part" -a ! -e "$work/spilled"
    fi
    # The output disk fills while a.bin is written and c.bin already spills: the message
    # says so, and every encoder stops at once (not after encoding the rest of c.bin,
    # which takes seconds).
    head -c 200000000 /dev/urandom >"$big/c.bin"
    # Prompt means well before c.bin could be encoded: within twice the time a.bin alone
    # takes (c.bin is eight times its size), and a second, whatever the machine's speed.
    start=$(date +%s%N)
    "$pack" create -q -j 1 --raw -o "$work/a-alone" -C "$big" a.bin
    bound_ms=$((2 * ($(date +%s%N) - start) / 1000000 + 1000))
    rm -f "$work/a-alone"
    for j in 1 2; do
      start=$(date +%s%N)
      run 1 create -q -j $j --raw -o "$work/small-out/out" -C "$big" a.bin c.bin
      check "full output disk, -j $j: the run fails" test $? -eq 0
      elapsed_ms=$((($(date +%s%N) - start) / 1000000))
      check "... -j $j: saying the disk is full" grep -q "out.part: the disk is full" "$work/err"
      check "... -j $j: no OUT.part" test ! -e "$work/small-out/out.part"
      check "... -j $j: stops promptly (${elapsed_ms} ms, at most ${bound_ms} ms)" test "$elapsed_ms" -lt "$bound_ms"
    done
    rm -f "$big/c.bin"
  else
    echo "skipped: TMPDIR and full-disk cases (mounting a tmpfs needs root)"
  fi
  if [ "$have_strace" = 1 ]; then
    # The spill cannot be sought back to its start: read from where it stands, its end, it
    # would give nothing, and b.bin would go out short.
    TMPDIR="$work/big-tmp" fault=lseek:error=EIO run 1 create -q -j 2 --raw -o "$work/spilled" -C "$big" first.bin b.bin
    check "spill that cannot be sought: the run fails" test $? -eq 0
    check "... naming the temporary folder" grep -q "read a temporary file in $work/big-tmp" "$work/err"
    check "... and leaves no OUT.part, no OUT" test ! -e "$work/spilled.part" -a ! -e "$work/spilled"
    # A write the system reports done that never reached OUT.part: the read-back finds it.
    mkdir -p "$work/tiny"
    printf 'hello\n' >"$work/tiny/t.txt"
    "$pack" create -q --raw -o "$work/tiny.bin" -C "$work/tiny" t.txt
    size=$(stat -c %s "$work/tiny.bin")
    fault="write:retval=$size:when=1" run 1 create -q --raw -o "$work/lost" -C "$work/tiny" t.txt
    check "a write lost on its way: the run fails" test $? -eq 0
    check "... saying OUT.part is short" grep -q "lost.part holds 0 bytes, but $size were written" "$work/err"
    check "... and leaves no OUT.part, no OUT" test ! -e "$work/lost.part" -a ! -e "$work/lost"
    fault=rename:error=EXDEV run 1 create -q --raw -o "$work/lost" -C "$work/tiny" t.txt
    check "the final rename fails: no OUT.part stays" test $? -eq 0 -a ! -e "$work/lost.part"
  fi
  rm -f "$big/first.bin"
  # Ctrl-C or SIGTERM while create runs: OUT.part goes with the program.
  for sig in TERM INT; do
    "$pack" create -q -j 1 --raw -o "$work/killed" -C "$big" a.bin b.bin 2>"$work/err" &
    pid=$!
    for _ in $(seq 1 500); do [ -s "$work/killed.part" ] && break; sleep 0.01; done
    check "SIG$sig: OUT.part was being written" test -s "$work/killed.part"
    kill -$sig "$pid"
    wait "$pid"
    check "SIG$sig: ends the run (status $?)" test $? -ne 0
    check "SIG$sig: no OUT.part stays" test ! -e "$work/killed.part"
    check "SIG$sig: no OUT" test ! -e "$work/killed"
  done
  check "--help says what stays after a kill" bash -c "'$pack' --help | grep -q 'OUT.part stays'"
  # Another program cuts OUT.part short while it is written: the read-back, which sums the
  # file as it grows, finds what went missing, and the updater never takes its name.
  "$pack" create -q -j 1 --raw -o "$work/clobbered" -C "$big" a.bin b.bin 2>"$work/err" &
  pid=$!
  for _ in $(seq 1 1000); do
    [ "$(stat -c %s "$work/clobbered.part" 2>/dev/null || echo 0)" -gt 12000000 ] && break
    sleep 0.005
  done
  truncate -c -s 1000000 "$work/clobbered.part"
  wait "$pid"
  status=$?
  if [ "$status" = 0 ]; then
    echo "skipped: OUT.part cut short (the packer finished first)"
    rm -f "$work/clobbered"
  else
    check "OUT.part cut short while written: the run fails" test "$status" -eq 1
    check "... saying the read-back differs" grep -Eq "clobbered.part( holds |$| does not match)|read back from .*clobbered.part does not match" "$work/err"
    check "... and leaves no OUT.part, no OUT" test ! -e "$work/clobbered.part" -a ! -e "$work/clobbered"
  fi
fi

if [ "$windows" = 1 ]; then
  [ -n "$linux_pack" ] || echo "skip: no Linux packer given, updaters compared with this packer's"
  c_drive="$(winepath -u 'C:\' 2>/dev/null)"
  c_dir="lumora-pack-e2e-$$"
  trap 'rm -rf "$work" "$c_drive/$c_dir"' EXIT
  mkdir -p "$c_drive/$c_dir"
  cp -r "$sample" "$c_drive/$c_dir/sample"
  cp "$stub" "$c_drive/$c_dir/stub.exe"
  cp "$examples/sample-update.manifest" "$c_drive/$c_dir/back.manifest"
  tr '\\' / <"$examples/sample-update.manifest" >"$c_drive/$c_dir/slash.manifest"
  c="C:\\$c_dir"
  lpack create -q --stub "$stub" --manifest "$examples/sample-update.manifest" -C "$sample" \
    -o "$work/reference"
  # WHAT | STUB | MANIFEST | -C DIR | -o OUT [OPTION...]: each row writes over the last
  # row's updater.
  while IFS='|' read -r what w_stub w_manifest w_dir w_out; do
    # shellcheck disable=SC2086
    check "$what: packs" run 0 create -q --stub "$w_stub" --manifest "$w_manifest" -C "$w_dir" -o $w_out
    check "$what: the Linux packer's bytes" cmp -s "$work/reference" "$c_drive/$c_dir/sample.exe"
    check "$what: no half-written file left" test ! -e "$c_drive/$c_dir/sample.exe.part"
  done <<ROWS
C:\\ and '\\'|$c\\stub.exe|$c\\back.manifest|$c\\sample|$c\\sample.exe
C:/ and '/', a manifest with '/'|C:/$c_dir/stub.exe|C:/$c_dir/slash.manifest|C:/$c_dir/sample/|C:/$c_dir/sample.exe
'\\' and '/' mixed, -j 1|$c/stub.exe|$c\\slash.manifest|$c/sample\\|$c\\sample.exe -j 1
Z:\\, the Linux folders|$(winepath -w "$stub" 2>/dev/null)|$(winepath -w "$examples/sample-update.manifest" 2>/dev/null)|$(winepath -w "$sample" 2>/dev/null)|$c\\sample.exe -j 2
ROWS
  check "a PATH with '\\'" run 0 create -q --raw -C "$c" -o "$c\\back.bin" 'sample\Addition\Tattoo\fp003.psd'
  check "... packs as with '/'" run 0 create -q --raw -C "$c" -o "$c/slash.bin" sample/Addition/Tattoo/fp003.psd
  check "... the same bytes" cmp -s "$c_drive/$c_dir/back.bin" "$c_drive/$c_dir/slash.bin"
  check "a PATH at C:\\ is a usage error" run 2 create -q --raw -C "$c" -o "$c\\abs" "$c\\sample\\partbase.txt"
  check "a PATH at \\ is a usage error" run 2 create -q --raw -C "$c" -o "$c\\abs" "\\$c_dir\\sample\\partbase.txt"
  check "list at C:\\" run 0 list "$c\\sample.exe"
  check "... 26 entries" test "$(wc -l <"$work/out")" -eq 26
  check "extract to C:\\, a new folder" run 0 extract -q "$c\\sample.exe" -C "$c\\x\\deep"
  check "... the sample" same_tree "$c_drive/$c_dir/x/deep" "$sample"

  # Non-ASCII names from a walked folder, and from a manifest in the ANSI code page.
  check "names: a walked folder" run 0 create -q --raw -C "$names" -o "$work/names-win" ok
  lpack create -q --raw -C "$names" -o "$work/names-linux" ok
  check "... the Linux packer's bytes" cmp -s "$work/names-win" "$work/names-linux"
  printf 'ok\\\r\nok\\CAF\311.TXT\r\n' >"$work/ansi.manifest"
  check "names: a manifest in the ANSI code page" run 0 create -q --raw -C "$names" -o "$work/ansi" --manifest "$work/ansi.manifest"
  printf 'ok\\\nok\\CAFÉ.TXT\n' >"$work/utf8.manifest"
  lpack create -q --raw -C "$names" -o "$work/utf8" --manifest "$work/utf8.manifest"
  check "... the Linux packer's bytes from UTF-8" cmp -s "$work/ansi" "$work/utf8"
fi

# Debug information in the stub: every customer would download it with every update. An
# optimised build keeps it beside the stub (STUB.debug) and the stub carries none: create
# says nothing. A stub that still carries some (here a .debug_* section of 3072 bytes added
# to the stripped stub, which a PE image names through its string table) draws a warning
# with their size, and the updater is made all the same.
if [ -e "$stub.debug" ]; then
  check "the built stub: no debug warning" run 0 create --stub "$stub" -o "$work/lean" -C "$sample" partbase.txt
  check "... none printed" bash -c "! grep -q 'debug information' '$work/err'"
fi
head -c 3072 /dev/zero >"$work/debug-bytes"
objcopy --strip-debug "$stub" "$work/debug-stub"
objcopy --add-section .debug_info="$work/debug-bytes" --set-section-flags .debug_info=readonly,debug \
  "$work/debug-stub"
check "a stub with debug sections is packed" run 0 create --stub "$work/debug-stub" -o "$work/fat" -C "$sample" partbase.txt
check "... with a warning that gives their size" grep -q "warning: .* carries 3072 bytes of debug information" "$work/err"

finish
