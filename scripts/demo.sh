#!/usr/bin/env bash
# The demo update, headless: builds the updater and the packer, packs the sample update
# of examples/ into an updater, makes a Lumora installation and its registry under
# demo/, runs the update with the terminal front-end and shows what it changed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# The set-up steps show one line each; what the package manager and the build print goes
# to a log, shown only when a step fails.
mkdir -p build
log="$root/build/demo-setup.log"
: >"$log"
step() {
  local title="$1"
  shift
  echo "== $title"
  if ! "$@" >>"$log" 2>&1; then
    echo "Failed: $title. The end of its output (all of it is in $log):" >&2
    tail -n 40 "$log" >&2
    exit 1
  fi
}
step "Installing the packages the demo needs (apt-get)" env LUMORA_WITH_WINDOWS=0 scripts/install-deps.sh
step "Configuring the release build" cmake --preset release
step "Building LumoraUpdate and lumora-pack" cmake --build --preset release --target LumoraUpdate lumora-pack

bin="$root/build/release"
demo="$root/demo"
rm -rf "$demo"
mkdir -p "$demo/install" "$demo/config/registry"

echo "== Packing examples/sample-update into an updater"
"$bin/tools/pack/lumora-pack" create --stub "$bin/src/app/LumoraUpdate" -o "$demo/LumoraUpdate-tattoos" \
  --manifest examples/sample-update.manifest -C examples/sample-update -v | tail -n 1
"$bin/tools/pack/lumora-pack" test "$demo/LumoraUpdate-tattoos"

echo "== A Lumora installation in demo/install"
printf '%s\r\n' "# 1 - Lips" "1; 0; 0;lips\\red.psd;red lips;" "1; 0; 0;lips\\pink.psd;pink lips;" \
  "# 9 - Hairdo" "9; 0; -40;hairdo\\bob.psd;bob;" >"$demo/install/Partbase.txt"
printf '%s\r\n' "palette 1" "palette 2" >"$demo/install/PalData.txt"
cat >"$demo/config/registry/HKEY_CURRENT_USER.reg" <<REG
REGEDIT4

[HKEY_CURRENT_USER\\SOFTWARE\\Quandrix\\Lumora]
"Version"="5.0"
"HDPath"="$demo/install"
REG

echo "== Running the update"
status=0
HOME="$demo" XDG_CONFIG_HOME="$demo/config" LUMORA_UI=terminal "$demo/LumoraUpdate-tattoos" </dev/null || status=$?
echo "exit status: $status"

echo "== The installed part base now"
tr -d '\r' <"$demo/install/Partbase.txt"
echo "== Images installed"
ls "$demo/install/Addition/Tattoo" | tr '\n' ' '
echo
exit "$status"
