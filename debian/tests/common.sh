# What each program's test of the installed package shares; debian/tests/NAME
# sets `name` and sources it. The program is the one on PATH, which must be
# /usr/bin/NAME, and its page is the one that `man NAME` finds. PROGRAM (a
# command, words split) and PAGE (a page file, opened with man -l) name another
# build of the program and its page, to be judged the same way: CI runs the ARM
# packages' programs under qemu-user.
set -eu
fail() {
    echo "$name: $*" >&2
    exit 1
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "${PROGRAM:-}" ]; then
    [ "$(command -v "$name")" = "/usr/bin/$name" ] || fail "$name is not on PATH from /usr/bin"
    PROGRAM=$name
fi

# The page as man shows it to a reader (in the C locale, so that a hyphen in a
# name stays "-"): its NAME line and its SYNOPSIS, and not
# a word on standard error.
open_page() {
    if [ -n "${PAGE:-}" ]; then
        set -- -l "$PAGE"
    else
        set -- "$name"
    fi
    LC_ALL=C MANPAGER=cat MANWIDTH=80 man "$@" >"$work/page" 2>"$work/page.err" || fail "man $* failed: $(cat "$work/page.err")"
    [ ! -s "$work/page.err" ] || fail "man $* wrote on standard error: $(cat "$work/page.err")"
    sed -n '/^NAME$/{n;p;}' "$work/page" | grep -q "^       $name - ." || fail "man $* shows no NAME line for $name"
    sed -n '/^SYNOPSIS$/{n;p;}' "$work/page" | grep -q "^       $name" || fail "man $* shows no SYNOPSIS of $name"
    echo "$name: man $* shows its page"
}
