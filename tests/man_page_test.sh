#!/bin/sh
# usage: man_page_test.sh PAGE PROGRAM SECONDS
# Renders a manual page and fails on any warning; then runs the program for at
# most SECONDS and fails if a line it wrote is missing from the page.
# Exits 77 (skipped) where groff is not installed.
set -u
page=$1 program=$2 seconds=$3

command -v groff >/dev/null || { echo "groff is not installed"; exit 77; }

warnings=$(groff -ww -man -z "$page" 2>&1)
if [ -n "$warnings" ]; then
    printf '%s: warnings:\n%s\n' "$page" "$warnings"
    exit 1
fi

text=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)
out=$(mktemp)
trap 'rm -f "$out"' EXIT
timeout -s KILL "$seconds" "$program" >"$out"
if [ ! -s "$out" ]; then
    echo "$program wrote nothing to compare with $page"
    exit 1
fi
status=0
sort -u "$out" | while IFS= read -r line; do
    case "$text" in
    *"$line"*) ;;
    *) echo "$page does not show the line: $line"; exit 1 ;;
    esac
done || status=1
exit "$status"
