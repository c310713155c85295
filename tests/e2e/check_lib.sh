# Shared by the end-to-end scripts: counts checks and ends with the summary line.
# A script defines show_failure to print what helps read a failed check.
passed=0
failed=0

# check WHAT COMMAND...: runs the command; a non-zero status is a failed check.
check() {
  local what="$1"
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    show_failure "$what"
  fi
}

# pack_sample_updater OUT: the sample update packed with the stub, in its shipped order
# (uses the script's pack, stub and examples).
pack_sample_updater() {
  "$pack" create -q --stub "$stub" -o "$1" --manifest "$examples/sample-update.manifest" \
    -C "$examples/sample-update" || { echo "packing failed"; exit 1; }
}

# finish: the summary line, and the exit status of the whole script.
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
