#!/usr/bin/env bash
# lumora-pack check and diff end to end: what check finds in an updater, the same refusal
# from create, the updater's own check against an installation, and the diff of two
# releases applied by the real LumoraUpdate; then updaters built twice in different places
# must be the same bytes.
#
# Usage: pack_check_e2e.sh PACKER STUB EXAMPLES
set -uo pipefail
source "$(dirname "$0")/check_lib.sh"
# Absolute: some builds below run in other folders.
pack="$(realpath "$1")"
stub="$(realpath "$2")"
examples="$(realpath "$3")"
sample="$examples/sample-update"
export LC_ALL=C.UTF-8
unset LUMORA_CODEPAGE
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

show_failure() {
  echo "FAIL $1"
  tail -n 8 "$work/err" "$work/out" 2>/dev/null | sed 's/^/    | /'
}
# run EXPECTED_STATUS ARGS...: the packer, keeping stdout and stderr.
run() {
  local want="$1"
  shift
  "$pack" "$@" >"$work/out" 2>"$work/err"
  local got=$?
  [ "$got" -eq "$want" ] || { echo "    exit $got, wanted $want: lumora-pack $*" >>"$work/err"; return 1; }
}
said() { grep -qF -- "$1" "$work/out"; }
json() { python3 -c "import json,sys; d=json.load(open('$work/out')); sys.exit(0 if ($1) else 1)"; }

# ---- the sample: sound, with one warning (two records share an image path)
pack_sample_updater "$work/sample"
check "check: the sample is sound" run 0 check "$work/sample"
check "... as test says" said "24 files, 2 directories"
check "... one warning, named by its line" said "warning: partbase.txt:27: the same image path as line 4"
check "--strict: a warning fails" run 1 check --strict "$work/sample"
check "--format json" run 0 check --format json "$work/sample"
check "... parses, with the finding's code and line" \
  json "d['errors'] == 0 and d['findings'][0]['code'] == 'duplicate-key' and d['findings'][0]['line'] == 27"
check "no UPDATER: usage" run 2 check
check "--format xml: usage" run 2 check --format xml "$work/sample"
check "a missing updater: the work fails" run 1 check "$work/none"

# ---- --against: the updater's own check, and the figures LumoraUpdate --check prints
case_dir="$work/case"
install="$case_dir/Lumora"
mkdir -p "$install" "$case_dir/config/registry"
printf '%s\r\n' "# 1 - Lips" "1; 0; 0;lips\\red.psd;red lips;" "10; 5; 5;addition\\Tattoo\\fp003.psd;old;" \
  >"$install/Partbase.txt"
printf '%s\r\n' "palette 1" >"$install/PalData.txt"
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\r\n"Version"="5.0"\r\n"HDPath"="%s"\r\n' \
  "$install" >"$case_dir/config/registry/HKEY_CURRENT_USER.reg"
updater() {
  HOME="$case_dir" XDG_CONFIG_HOME="$case_dir/config" LUMORA_UI=terminal DISPLAY= \
    timeout 120 "$@" </dev/null >"$case_dir/out.txt" 2>&1
}
before="$(cd "$install" && find . -type f -exec sha1sum {} + | sort)"
check "--against: the update would run" run 0 check "$work/sample" --against "$install"
check "... an installed record named" said "warning: partbase.txt:6: its image path is in the installed part base already"
updater "$work/sample" --check
# Free space moves between two runs: the figures are compared without it.
figures() { grep -o 'archive [0-9]* bytes.*bytes needed [0-9]*' "$1"; }
check "... the figures of LumoraUpdate --check" test "$(figures "$work/out")" = "$(figures "$case_dir/out.txt")"
check "... and they were printed" grep -q "duplicate 1, data lines -" "$work/out"
check "... nothing changed" test "$before" = "$(cd "$install" && find . -type f -exec sha1sum {} + | sort)"
check "--against, json: the figures" run 0 check --format json "$work/sample" --against "$install"
check "... records 23, duplicates 1" json "d['installation']['figures']['records'] == 23 and d['installation']['figures']['duplicates'] == 1"
printf 'left' >"$install/HairBase1.txt"
check "--against: the updater's refusal is an error" run 1 check "$work/sample" --against "$install"
check "... with its message" said "error: $install: the updater's check refuses the update here: \"File error."
rm "$install/HairBase1.txt"
check "--against a folder that is no installation" run 1 check "$work/sample" --against "$work"
check "... says so" said "the updater finds no installation"

# ---- findings in the two texts: check names them, create refuses an error with the same
# line, and --no-check packs it anyway.
# WHAT | partbase.txt (printf) | PalData.txt (printf) | status | the finding
while IFS='|' read -r what base data status finding; do
  src="$work/t-src"
  rm -rf "$src" && mkdir -p "$src/Pics"
  printf 'x' >"$src/Pics/a.psd"
  # shellcheck disable=SC2059
  printf "$base" >"$src/partbase.txt"
  # shellcheck disable=SC2059
  [ -z "$data" ] || printf "$data" >"$src/PalData.txt"
  check "$what: create" run "$status" create -q --stub "$stub" -o "$work/t" -C "$src" .
  [ "$status" = 0 ] || {
    check "$what: create names it" grep -qF -- "$finding" "$work/err"
    check "$what: --no-check packs it" run 0 create -q --no-check --stub "$stub" -o "$work/t" -C "$src" .
  }
  check "$what: check" run "$status" check "$work/t"
  check "$what: check names it" said "$finding"
done <<'ROWS'
sound|1; 0; 0;Pics\\a.psd;a;\r\n|pal 1\r\n|0|0 errors, 0 warnings
bad basic index|1; 0; 0;Pics\\a.psd;a;\r\nx1; 0; 0;Pics\\b.psd;b;\r\n||1|error: partbase.txt:2: basic index "x1" is not a whole number: once appended, it makes every later update stop with "Bad file PARTBASE.TXT. Basic index error."
byte order mark|\xef\xbb\xbf1; 0; 0;Pics\\a.psd;a;\r\n||1|(the text begins with a UTF-8 byte order mark)
LF line ends|1; 0; 0;Pics\\a.psd;a;\n2; 0; 0;Pics\\a.psd;b;\n||1|error: partbase.txt:1: the line ends in an LF alone (and 1 line more)
0x1A inside|1; 0; 0;Pics\\a.psd;a;\r\n\x1a2; 0; 0;Pics\\a.psd;b;\r\n||1|error: partbase.txt:2: a 0x1A byte ends the text
no last line end|1; 0; 0;Pics\\a.psd;a;||0|warning: partbase.txt:1: the last line has no line end
shape|1; 0; x;Pics\\a.psd;a;\r\n||0|warning: partbase.txt:1: third field " x" is not a whole number
four fields|1; 0; 0;Pics\\a.psd\r\n||0|warning: partbase.txt:1: a record of 3 fields closed by ';', not five
no image path|1; 0; 0;;a;\r\n||0|warning: partbase.txt:1: no image path
missing image|1; 0; 0;pics\\B.psd;b;\r\n||0|warning: partbase.txt:1: image path "pics\B.psd" names no file of the archive
image in another case|1; 0; 0;PICS\\A.PSD;a;\r\n||0|0 errors, 0 warnings
one image twice|1; 0; 0;Pics\\a.psd;a;\r\n2; 0; 0;pics\\a.psd;b;\r\n||0|warning: partbase.txt:2: the same image path as line 1
data file in LF|1; 0; 0;Pics\\a.psd;a;\r\n|pal 1\npal 2\r\n|0|warning: PalData.txt:1: the line ends in an LF alone
data file outside the code page|1; 0; 0;Pics\\a.psd;a;\r\n|pal 1\r\npal \x81\r\n|0|warning: PalData.txt:2: the line holds bytes that code page CP1252 has no character for
ROWS

# ---- names: every clash is named, not only the first the updater would meet
names="$work/names"
mkdir -p "$names/D" "$names/d" "$names/q"
for f in a.txt A.TXT HairBase2.txt D/x d/y f q/z.txt; do printf 'x' >"$names/$f"; done
# WHAT | the manifest's lines | the finding
while IFS='|' read -r what lines finding; do
  # shellcheck disable=SC2059
  printf "$lines" >"$work/n.list"
  check "$what: create refuses it" run 1 create -q --raw -o "$work/n" --manifest "$work/n.list" -C "$names"
  check "$what: create names it" grep -qF "lumora-pack: $finding" "$work/err"
  check "$what: --no-check" run 0 create -q --no-check --raw -o "$work/n" --manifest "$work/n.list" -C "$names"
  check "$what: check" run 1 check --offset 1 "$work/n"
  check "$what: check names it" said "$finding"
done <<'ROWS'
case twins|a.txt\nA.TXT\n|error: A.TXT: the same name as "a.txt", letter case aside: the updater writes only the first
reserved name|a.txt\nHairBase2.txt\n|error: HairBase2.txt: the updater's own name "HairBase2.txt"
file and folder|f\nf\\\n|error: f\: the same name as "f", one a file and one a folder
ROWS
printf 'a.txt\nD\\\nd\\\nD\\x\n' >"$work/n.list"
check "a folder twice: packs" run 0 create -q --raw -o "$work/n" --manifest "$work/n.list" -C "$names"
check "... with a warning" grep -qF 'warning: d\: the same name as "D\", letter case aside: one folder' "$work/err"
# Names the updater refuses cannot be packed at all: two are written into a packed archive
# (same lengths, no trailer). check names both, though the updater stops at the first.
printf 'aaaa.txt\nbbbb.txt\n' >"$work/n.list"
printf 'x' >"$names/aaaa.txt"
printf 'x' >"$names/bbbb.txt"
"$pack" create -q --no-trailer --raw -o "$work/n" --manifest "$work/n.list" -C "$names"
sed -i -e 's/aaaa\.txt/..\\a.txt/' -e 's/bbbb\.txt/b|b.txt /' "$work/n"
check "refused names: check fails" run 1 check --offset 1 "$work/n"
check "... the first named" said 'error: ..\a.txt: the updater refuses this name ("Invalid filename")'
check "... and the second" said 'error: b|b.txt : Windows cannot create it as itself'
# Damage: the archive stops where the updater stops.
cp "$work/sample" "$work/bad"
size=$(stat -c %s "$work/bad")
printf '\x00' | dd of="$work/bad" bs=1 seek=$((size - 2000)) conv=notrunc status=none
check "damaged: check fails" run 1 check "$work/bad"
check "... as the updater reads it" said "the updater stops reading the archive here"

# ---- --against: a file whose folder neither the archive nor the installation has
mkdir -p "$work/nf/Pics"
printf 'x' >"$work/nf/Pics/a.psd"
printf 'Pics\\a.psd\n' >"$work/nf.list"
"$pack" create -q --stub "$stub" -o "$work/nf.upd" --manifest "$work/nf.list" -C "$work/nf" 2>/dev/null
check "no folder: a warning alone" run 0 check "$work/nf.upd"
check "no folder in the installation: an error" run 1 check "$work/nf.upd" --against "$install"
check "... named" said 'error: Pics\a.psd: lies in "Pics\", which neither an earlier entry nor the installation holds'
check "... and the updater's own refusal" said 'refuses the update here: "Invalid filename (at Pics\a.psd)"'

# ---- diff: two releases, the update applied by the real updater to a copy of OLD
old="$work/old"
new="$work/new"
mkdir -p "$old/lips" "$old/hairdo" "$old/Images" "$old/Coupes"
printf '%s\r\n' "# Lumora parts" "1; 0; 0;lips\\red.psd;red lips;" "# lips end" "9; 0; 0;hairdo\\bob.psd;bob;" \
  >"$old/Partbase.txt"
printf '%s\r\n' "palette 1" "palette 2" >"$old/PalData.txt"
printf 'red 1' >"$old/lips/red.psd"
printf 'bob' >"$old/hairdo/bob.psd"
printf 'old' >"$old/Images/old.bmp"
printf 'fringe' >"$old/Coupes/frangé.psd"
cp -r "$old" "$new"
printf '%s\r\n' "12; 1; 1;addition\\new\\a.psd;new a;" "# a comment that goes with a" \
  "13; 1; 1;Addition\\New\\Deep\\b.psd;b;" "14; 2; 2;images\\new.bmp;new image;" >>"$new/Partbase.txt"
printf '%s\r\n' "palette 3" >>"$new/PalData.txt"
mkdir -p "$new/Addition/New/Deep"
printf 'a' >"$new/Addition/New/a.psd"
printf 'b' >"$new/Addition/New/Deep/b.psd"
mv "$new/Images" "$new/IMAGES"
printf 'new' >"$new/IMAGES/new.bmp"
mv "$new/Coupes/frangé.psd" "$new/Coupes/FRANGÉ.psd"
printf 'red 2' >"$new/lips/red.psd"

check "diff: a changed file is an error" run 1 diff "$old" "$new" --stub "$stub" -o "$work/d.upd"
check "... named" grep -qF "lumora-pack: error: $new/lips/red.psd: OLD holds other bytes under this name" "$work/err"
check "... nothing written" test ! -e "$work/d.upd" -a ! -e "$work/d.upd.part"
check "diff --allow-changed" run 0 diff "$old" "$new" --stub "$stub" -o "$work/d.upd" --allow-changed \
  --manifest-out "$work/d.list"
check "... the changed file a warning" grep -qF "warning: $new/lips/red.psd: OLD holds other bytes" "$work/err"
check "... the folder in another case a warning" grep -qF "warning: $new/IMAGES: OLD names it Images" "$work/err"
check "... and the file" grep -qF "warning: $new/Coupes/FRANGÉ.psd: OLD names it frangé.psd" "$work/err"
# (A stub of a debug build also says it carries debug information: not the diff's to say.)
check "... nothing else said" test "$(grep -vc 'bytes of debug information' "$work/err")" -eq 3
check "the update checks sound against OLD" run 0 check --strict "$work/d.upd" --against "$old"
"$pack" list "$work/d.upd" | cut -f2 >"$work/d.names"
check "its entries: merged files, then new folders before what they hold" cmp -s "$work/d.names" - <<'LIST'
partbase.txt
PalData.txt
Addition\
Addition\New\
Addition\New\Deep\
Addition\New\Deep\b.psd
Addition\New\a.psd
IMAGES\new.bmp
LIST
check "--manifest-out: what it packed" cmp -s "$work/d.names" "$work/d.list"

# The installation after the update: NEW, but for the changed file, which keeps OLD's bytes.
expected="$work/expected"
cp -r "$new" "$expected"
cp "$old/lips/red.psd" "$expected/lips/red.psd"
# Every folder and file with its bytes, names as the updater compares them (letter case aside).
tree_state() {
  python3 - "$1" <<'PY'
import hashlib, os, sys
root = sys.argv[1]
for d, dirs, files in os.walk(root):
    rel = os.path.relpath(d, root)
    for n in dirs:
        print("folder", os.path.join(rel, n).upper())
    for n in files:
        with open(os.path.join(d, n), "rb") as f:
            print("file", os.path.join(rel, n).upper(), hashlib.sha1(f.read()).hexdigest())
PY
}
case_dir="$work/apply"
install="$case_dir/Lumora"
mkdir -p "$case_dir/config/registry"
cp -r "$old" "$install"
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]\r\n"Version"="5.0"\r\n"HDPath"="%s"\r\n' \
  "$install" >"$case_dir/config/registry/HKEY_CURRENT_USER.reg"
updater "$work/d.upd"
check "applied: exit status 0" test $? -eq 0
check "... the installation is NEW" test "$(tree_state "$expected" | sort)" = "$(tree_state "$install" | sort)"
check "... part base byte for byte" cmp -s "$install/Partbase.txt" "$new/Partbase.txt"
check "... data file byte for byte" cmp -s "$install/PalData.txt" "$new/PalData.txt"
once="$(tree_state "$install" | grep -v PALDATA.TXT | sort)"
updater "$work/d.upd"
check "applied twice: exit status 0" test $? -eq 0
check "... warns of duplicates" grep -q "Duplication elements!" "$case_dir/out.txt"
check "... nothing else changes" test "$once" = "$(tree_state "$install" | grep -v PALDATA.TXT | sort)"
check "... but PalData.txt, appended again" cmp -s "$install/PalData.txt" <(cat "$new/PalData.txt"; printf 'palette 3\r\n')

# What no update can deliver: one error a line, and nothing written.
# WHAT | the change to a copy of NEW (a command run in it) | the error
while IFS='|' read -r what change finding; do
  rm -rf "$work/n2" && cp -r "$new" "$work/n2" && cp "$old/lips/red.psd" "$work/n2/lips/red.psd"
  (cd "$work/n2" && eval "$change")
  finding="${finding//@OLD@/$old}"
  finding="${finding//@NEW@/$work/n2}"
  check "diff, $what: refused" run 1 diff "$old" "$work/n2" --raw -o "$work/n2.upd"
  check "diff, $what: named" grep -qF "$finding" "$work/err"
  check "diff, $what: nothing written" test ! -e "$work/n2.upd"
done <<'ROWS'
a file removed|rm hairdo/bob.psd|error: @OLD@/hairdo/bob.psd: a file of OLD that NEW lacks: an update never deletes
a folder removed|rm -r Coupes|error: @OLD@/Coupes: a folder of OLD that NEW lacks
a file for a folder|rm -r hairdo && printf x >hairdo|error: @NEW@/hairdo: a folder in OLD and a file in NEW
a record removed|sed -i '/bob;/d' Partbase.txt|error: @OLD@/Partbase.txt:4: NEW's part base lacks this record "9; 0; 0;hairdo\bob.psd;bob;"
a record changed|sed -i 's/;bob;/;bobby;/' Partbase.txt|error: @NEW@/Partbase.txt:4: its image path is in OLD's part base already (line 4)
a palette line changed|sed -i 's/palette 1/palette 0/' PalData.txt|error: @NEW@/PalData.txt:1: OLD's PalData.txt is not the start of NEW's
ROWS

# ---- the same inputs give the same updater, wherever and however it is built
mkdir -p "$work/b1" "$work/b2/deeper/still" "$work/tmp2"
cp -r "$sample" "$work/b2/deeper/src"
(cd "$work/b1" && "$pack" create -q -j 1 --stub "$stub" -o "$work/b1/u" -C "$sample" partbase.txt Addition 2>/dev/null)
(cd "$work/b2/deeper/still" && LC_ALL=C TMPDIR="$work/tmp2" "$pack" create -q -j 2 --stub "$stub" \
  -o ../u -C ../src partbase.txt Addition 2>/dev/null)
check "create: the same bytes built twice" cmp -s "$work/b1/u" "$work/b2/deeper/u"
cp -r "$old" "$work/b2/deeper/old"
cp -r "$new" "$work/b2/deeper/new"
(cd "$work/b1" && "$pack" diff -j 1 "$old" "$new" --allow-changed --stub "$stub" -o d 2>/dev/null)
(cd "$work/b2/deeper/still" && LC_ALL=C TMPDIR="$work/tmp2" "$pack" diff -j 2 ../old ../new \
  --allow-changed --stub "$stub" -o ../d 2>/dev/null)
check "diff: the same bytes built twice" cmp -s "$work/b1/d" "$work/b2/deeper/d"
check "... and no file left in TMPDIR" test -z "$(ls -A "$work/tmp2")"
check "--help says so" bash -c "'$pack' --help | grep -q 'The same inputs give the same updater byte for byte'"

finish
