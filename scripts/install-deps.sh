#!/usr/bin/env bash
# Installs what building and testing need on Debian 12. Runs as root, or through sudo.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev googletest libbenchmark-dev
  libgif-dev ncompress python3 clang-format dpkg-dev strace time e2fsprogs
  libfltk1.3-dev libxcursor-dev libxinerama-dev libxft-dev libxext-dev
  xvfb xauth xdotool imagemagick
  xfsprogs btrfs-progs dosfstools fusefat exfatprogs exfat-fuse
)
if [ "${LUMORA_WITH_WINDOWS:-1}" = 1 ]; then
  # 64-bit and 32-bit Windows builds.
  packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wine fonts-wine osslsigncode openssl)
fi
# Wine for 32-bit programs comes from the i386 architecture. It is wanted, not needed: where
# it cannot be installed (an i386 index the mirror serves torn, so its C library cannot
# match the 64-bit one) the 32-bit suites are skipped with the reason, as on kernels that
# run no 32-bit programs.
optional=()
[ "${LUMORA_WITH_WINDOWS:-1}" = 1 ] && optional+=(wine32:i386)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
wanted=()
for p in "${optional[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || wanted+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ ${#wanted[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
install_wanted() {
  [ ${#wanted[@]} -eq 0 ] && return 0
  $sudo apt-get install -y -qq "${wanted[@]}" </dev/null ||
    echo "could not install ${wanted[*]}: 32-bit Windows programs will not run under Wine here" >&2
}
if [ ${#missing[@]} -eq 0 ]; then
  # Only a wanted package is missing: one try with the lists as they are, no update.
  install_wanted
  exit 0
fi
if [ "${LUMORA_WITH_WINDOWS:-1}" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
# A mirror in the middle of a sync answers with index files of the wrong size ("Mirror sync
# in progress?"): try again, and in the end install from the lists that did arrive.
for attempt in 1 2 3; do
  $sudo apt-get update -qq && break
  echo "apt-get update failed (attempt $attempt of 3)" >&2
  [ "$attempt" = 3 ] || sleep 20
done
$sudo apt-get install -y -qq "${missing[@]}" </dev/null
install_wanted
