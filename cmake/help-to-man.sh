#!/bin/sh
# help-to-man.sh PROGRAM OUT: the manual page of lumora-pack, its --help text as printed.
set -e
{
  printf '.TH LUMORA-PACK 1\n.SH NAME\n'
  printf 'lumora-pack \\- build, check, diff, list, test and extract LumoraUpdate updaters\n'
  printf '.SH DESCRIPTION\n.nf\n'
  # Backslashes and lines that start like a request are escaped; the rest stands as is.
  "$1" --help | sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
  printf '.fi\n'
} >"$2"
