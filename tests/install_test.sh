#!/bin/sh
# usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR PROGRAM...
# Installs the build into a new prefix and fails unless every program and its
# manual page are where a user (and man) looks for them, and threads-check, its
# shim and the mistakes page that it names are there too, and it checks a
# lesson's own source from there.
set -u
cmake=$1 build=$2 source=$3
shift 3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

"$cmake" --install "$build" --prefix "$prefix" >/dev/null || exit 1
status=0
for program in "$@"; do
    [ -x "$prefix/bin/$program" ] || { echo "not installed, or not executable: bin/$program"; status=1; }
    [ -f "$prefix/share/man/man1/$program.1" ] || { echo "not installed: share/man/man1/$program.1"; status=1; }
done
for file in bin/threads-check lib/threads-check/threads-check-shim.so share/man/man1/threads-check.1 \
    share/doc/threads-by-example/mistakes.md; do
    [ -e "$prefix/$file" ] || { echo "not installed: $file"; status=1; }
done
# NOT_FOR_THIS_MACHINE names the build's sanitizers or emulator, if any: then the
# installed programs are not ones that threads-check can run as this machine's.
if [ -z "${NOT_FOR_THIS_MACHINE:-}" ]; then
    report=$("$prefix/bin/threads-check" pellit "$source/pellit/pellit.cpp" 2>&1) ||
        { echo "the installed threads-check failed on pellit's own source: $report"; status=1; }
    echo "$report" | grep -q '^ok lines: ' || { echo "the installed threads-check gave no report: $report"; status=1; }
fi
exit "$status"
