#!/bin/sh
# check_help.sh DEV
#
# `DEV help` lists exactly the commands DEV has a function for, and an unknown
# command fails with status 2, says so and shows the same list.
set -eu
dev=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
commands_in() { sed -n 's/^  \([a-z][a-z-]*\).*/\1/p' "$1" | sort; }

"$dev" help >"$work/help"
listed=$(commands_in "$work/help")
defined=$(sed -n 's/^cmd_\([a-z_]*\)() {$/\1/p' "$dev" | tr _ - | sort)
if [ "$listed" != "$defined" ]; then
  echo "dev help lists:"; echo "$listed"
  echo "dev defines:"; echo "$defined"
  exit 1
fi

status=0
"$dev" no-such-command >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 2 ] || { echo "an unknown command ended with status $status, not 2"; exit 1; }
grep -q "unknown command 'no-such-command'" "$work/err" || { echo "no 'unknown command' message:"; cat "$work/err"; exit 1; }
[ "$(commands_in "$work/err")" = "$listed" ] || { echo "the unknown command's list differs from dev help's"; exit 1; }
echo "dev help lists $(echo "$listed" | wc -l) commands"
