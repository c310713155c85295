#!/usr/bin/env bash
# Installs what building and testing need on Debian 12. Runs as root, or through sudo.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev googletest libbenchmark-dev
  libgif-dev ncompress python3 clang-format dpkg-dev strace time e2fsprogs
  libfltk1.3-dev libxcursor-dev libxinerama-dev libxft-dev libxext-dev
  xvfb xauth xdotool imagemagick
)
if [ "${LUMORA_WITH_WINDOWS:-1}" = 1 ]; then
  # 64-bit and 32-bit Windows builds; wine32 comes from the i386 architecture.
  packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wine32:i386 wine fonts-wine osslsigncode openssl)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
if [ "${LUMORA_WITH_WINDOWS:-1}" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" </dev/null
