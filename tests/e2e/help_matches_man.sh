#!/usr/bin/env bash
# A program's --help and its man page source list the same options, and --help and
# --version work without a display.
#   help_matches_man.sh PROGRAM MAN_SOURCE VERSION
set -uo pipefail
program=$1 source=$2 version=$3
name=$(basename "$program")
status=0

help=$(env -u DISPLAY -u WAYLAND_DISPLAY "$program" --help) || { echo "FAIL: $name --help without a display"; status=1; }
shown=$(env -u DISPLAY -u WAYLAND_DISPLAY "$program" --version)
[ "$shown" = "$name $version" ] || { echo "FAIL: $name --version says '$shown'"; status=1; }

# The option names of the help's option lines, and of the man page's OPTIONS section.
from_help=$(grep -E '^ +-' <<< "$help" | grep -oE '(^|[ ,])--?[a-zA-Z][a-zA-Z-]*' | tr -d ' ,' | sort -u)
from_man=$(sed -n '/^# OPTIONS/,/^# /p' "$source" | grep -E '^\*-' | grep -oE '\*?--?[a-zA-Z][a-zA-Z-]*' |
  tr -d '*' | sort -u)
if [ -z "$from_help" ] || [ "$from_help" != "$from_man" ]; then
  echo "FAIL: the options of $name --help and of $(basename "$source") differ:"
  diff <(echo "$from_help") <(echo "$from_man")
  status=1
fi
[ $status -eq 0 ] && echo "ok: $name: --help, --version and the man page agree ($(echo $from_help))"
exit $status
