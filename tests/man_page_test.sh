#!/bin/sh
# usage: man_page_test.sh PAGE [SECONDS INJECT PROGRAM]...
# Renders a manual page and fails on any warning; then runs the program as each
# group of three arguments says, all at once: for at most SECONDS, with
# FAULT_INJECT=INJECT unless INJECT is "-". Fails if a line that a run wrote, on
# standard output or standard error, is missing from the page. The page may show
# a line's last part, after ": " or "= ", as a word in italics (reason, n).
# Exits 77 (skipped) where groff is not installed, but on CI, which installs it.
set -u
page=$1
shift

if ! command -v groff >/dev/null; then
    echo "groff is not installed"
    [ -n "${CI:-}" ] && exit 1 # CI installs it
    exit 77
fi

warnings=$(groff -ww -man -z "$page" 2>&1)
if [ -n "$warnings" ]; then
    printf '%s: warnings:\n%s\n' "$page" "$warnings"
    exit 1
fi

text=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run=0
while [ $# -ge 3 ]; do
    run=$((run + 1))
    if [ "$2" = - ]; then
        timeout -s KILL "$1" "$3" >"$work/$run" 2>&1 &
    else
        FAULT_INJECT=$2 timeout -s KILL "$1" "$3" >"$work/$run" 2>&1 &
    fi
    shift 3
done
wait
for out in "$work"/*; do
    if [ ! -s "$out" ]; then
        echo "a run wrote nothing to compare with $page"
        exit 1
    fi
done

status=0
sort -u "$work"/* | while IFS= read -r line; do
    case "$text" in
    *"$line"* | *"${line%: *}: reason"* | *"${line%= *}= n"*) ;;
    *) echo "$page does not show the line: $line"; exit 1 ;;
    esac
done || status=1
exit "$status"
