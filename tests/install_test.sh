#!/bin/sh
# usage: install_test.sh CMAKE BUILD_DIR PROGRAM...
# Installs the build into a new prefix and fails unless every program and its
# manual page are where a user (and man) looks for them.
set -u
cmake=$1 build=$2
shift 2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

"$cmake" --install "$build" --prefix "$prefix" >/dev/null || exit 1
status=0
for program in "$@"; do
    [ -x "$prefix/bin/$program" ] || { echo "not installed, or not executable: bin/$program"; status=1; }
    [ -f "$prefix/share/man/man1/$program.1" ] || { echo "not installed: share/man/man1/$program.1"; status=1; }
done
exit "$status"
