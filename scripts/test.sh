#!/usr/bin/env bash
# The whole test suite: installs what it needs, then builds and runs the tests in a
# release build, under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets
# for a bounded time, and the end-to-end runs of the real executables.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# Each stage prints its time when the next begins, and the run ends with all of them.
stage_name=""
stage_start=0
run_start=$(date +%s)
times=()
stage() {
  local now
  now=$(date +%s)
  if [ -n "$stage_name" ]; then
    times+=("$(printf '%5d s  %s' $((now - stage_start)) "$stage_name")")
    echo "   ($((now - stage_start)) s)"
  fi
  stage_name="$1"
  stage_start=$now
  [ -z "$1" ] || echo "== $1"
}

stage "Packages"
scripts/install-deps.sh

stage "Formatting (clang-format)"
unformatted=$(git ls-files '*.cc' '*.h' | xargs clang-format --dry-run --Werror 2>&1 | grep -c "error:" || true)
if [ "$unformatted" != 0 ]; then
  git ls-files '*.cc' '*.h' | xargs clang-format --dry-run --Werror 2>&1 | head -n 20
  exit 1
fi

stage "Release build and tests"
cmake --preset release >/dev/null
cmake --build --preset release
scripts/with-xvfb.sh ctest --preset release -j2

stage "Debian package"
# Made from the release build, unpacked into an empty folder as dpkg would install it,
# and used from there: its packer's help, and an updater made with its stub.
rm -f build/release/lumora-pack_*.deb
(cd build/release && cpack -G DEB >cpack.log 2>&1) || { tail -n 20 build/release/cpack.log; exit 1; }
deb=$(ls build/release/lumora-pack_*.deb)
unpacked=$(mktemp -d)
dpkg-deb -x "$deb" "$unpacked"
"$unpacked/usr/bin/lumora-pack" --help >/dev/null
# Both manual pages, each its program's --help.
for page in lumora-pack LumoraUpdate; do
  zcat -f "$unpacked"/usr/share/man/man1/$page.1* | grep -q '^\.SH DESCRIPTION' || {
    echo "the .deb has no manual page for $page"
    exit 1
  }
done
"$unpacked/usr/bin/lumora-pack" create -q --stub "$unpacked/usr/lib/lumora-pack/LumoraUpdate" \
  -o "$unpacked/update" --manifest examples/sample-update.manifest -C examples/sample-update \
  2>"$unpacked/create.log"
# What ships carries no debug information: the packer would warn of it.
if grep -q 'debug information' "$unpacked/create.log"; then
  cat "$unpacked/create.log"
  exit 1
fi
"$unpacked/usr/bin/lumora-pack" test "$unpacked/update"
rm -rf "$unpacked"
echo "   $(basename "$deb"): $(dpkg-deb -c "$deb" | grep -c -v '/$') files, unpacked and used"

stage "Sanitizer build (ASan, UBSan) and tests"
cmake --preset debug >/dev/null
cmake --build --preset debug
scripts/with-xvfb.sh ctest --preset debug -j2

stage "Fuzzing the readers of archives, codes, journals, the registry and the part base (bounded)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
corpus="build/fuzz/corpus"
mkdir -p "$corpus/codec" "$corpus/archive" "$corpus/journal" "$corpus/registry" "$corpus/partbase"
# The checked-in seeds (fuzz/make_seeds.py) and a small real archive start the corpus,
# so the fuzzers begin from whole members rather than from nothing.
cp fuzz/corpus/codec/* "$corpus/codec/"
cp fuzz/corpus/archive/* "$corpus/archive/"
cp fuzz/corpus/journal/* "$corpus/journal/"
cp fuzz/corpus/registry/* "$corpus/registry/"
cp fuzz/corpus/partbase/* "$corpus/partbase/"
build/release/tools/pack/lumora-pack create -q --raw -o "$corpus/archive/seed" \
  -C examples/sample-update partbase.txt
for target in codec archive journal registry partbase; do
  dict=()
  if [ -f "fuzz/$target.dict" ]; then dict=("-dict=fuzz/$target.dict"); fi
  build/fuzz/fuzz/lumora_fuzz_$target -max_total_time="${LUMORA_FUZZ_SECONDS:-30}" \
    -rss_limit_mb=2048 -print_final_stats=1 "${dict[@]}" "$corpus/$target" \
    >"build/fuzz/$target.log" 2>&1 || {
    tail -n 40 "build/fuzz/$target.log"
    exit 1
  }
  grep -E "^Done|stat::number_of_executed_units" "build/fuzz/$target.log" | head -n 1
done

if [ -x scripts/test-windows.sh ] && [ "${LUMORA_WITH_WINDOWS:-1}" = 1 ]; then
  stage "Windows build (MinGW-w64) under Wine"
  scripts/test-windows.sh
fi
stage ""
echo "== Stage times"
printf '%s\n' "${times[@]}"
printf '%5d s  in all\n' $(($(date +%s) - run_start))
echo "All test stages passed."
