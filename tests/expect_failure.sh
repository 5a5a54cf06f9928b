#!/bin/sh
# usage: expect_failure.sh TEXT COMMAND [ARGUMENT...]
# Passes when COMMAND fails with status 1 and its output holds TEXT: a check
# that a check can fail. Exits 77 (skipped) when COMMAND does.
set -u
text=$1
shift
out=$("$@" 2>&1)
status=$?
printf '%s\n' "$out"
[ "$status" -eq 77 ] && exit 77
if [ "$status" -ne 1 ]; then
    echo "expected status 1, got $status"
    exit 1
fi
case "$out" in
*"$text"*) exit 0 ;;
*) echo "expected the output to hold: $text"; exit 1 ;;
esac
