# Sourced by the scripts that run Windows programs: which of Wine's loaders starts them.
#
# Debian's `wine` command runs every program through the 32-bit loader whenever wine32 is
# installed, and the 32-bit loader hands 64-bit programs on to the 64-bit one. On a kernel
# that runs no 32-bit programs that first step already fails ("Exec format error"), so
# 64-bit programs are started with the 64-bit loader directly, and 32-bit ones only where
# the 32-bit loader itself runs.

# wine_loader 64|32: prints the loader for programs of that width. LUMORA_WINE64 and
# LUMORA_WINE32_LOADER name others.
wine_loader() {
  if [ "$1" = 32 ]; then
    echo "${LUMORA_WINE32_LOADER:-/usr/lib/wine/wine}"
  elif [ -n "${LUMORA_WINE64:-}" ]; then
    echo "$LUMORA_WINE64"
  elif [ -x /usr/lib/wine/wine64 ]; then
    echo /usr/lib/wine/wine64
  elif command -v wine64 >/dev/null 2>&1; then
    echo wine64
  else
    echo wine
  fi
}

# wine32_runs: succeeds when 32-bit Windows programs can run here; else prints why on
# standard output and fails. LUMORA_WINE32=0 says they cannot, whatever the machine.
wine32_runs() {
  if [ "${LUMORA_WINE32:-}" = 0 ]; then
    echo "LUMORA_WINE32=0"
    return 1
  fi
  loader32=$(wine_loader 32)
  if ! command -v "$loader32" >/dev/null 2>&1; then
    echo "no 32-bit Wine loader is installed ($loader32)"
    return 1
  fi
  # The 32-bit loader is itself a 32-bit Linux program: where it starts, the kernel runs
  # 32-bit programs and wine32 is whole.
  if ! err=$("$loader32" --version 2>&1); then
    echo "this kernel runs no 32-bit programs ($loader32: ${err##*: })"
    return 1
  fi
  return 0
}

# wine_lost_status FILE: succeeds when the output of a Wine run, kept in FILE, ends with the
# loader's own failure on its way out ("Inconsistency detected by ld.so: dl-fini.c: ...").
# glibc's teardown of Wine's preloaded libraries failed after the program had ended: the
# program's exit status never reached us, so the run tells nothing and is made again.
wine_lost_status() {
  tail -n 3 "$1" 2>/dev/null | grep -q '^Inconsistency detected by ld\.so: .*dl-fini\.c'
}
