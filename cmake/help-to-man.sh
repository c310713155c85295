#!/bin/sh
# help-to-man.sh PROGRAM OUT [NAME DESCRIPTION]: the manual page of a program, its --help
# text as printed (by default lumora-pack's).
set -e
name="${3:-lumora-pack}"
what="${4:-build, check, diff, list, test and extract LumoraUpdate updaters}"
{
  printf '.TH %s 1\n.SH NAME\n' "$(echo "$name" | tr '[:lower:]' '[:upper:]')"
  printf '%s \\- %s\n' "$name" "$what"
  printf '.SH DESCRIPTION\n.nf\n'
  # Backslashes and lines that start like a request are escaped; the rest stands as is.
  "$1" --help | sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
  printf '.fi\n'
} >"$2"
