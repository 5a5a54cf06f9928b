#!/bin/sh
# usage: labels_test.sh CTEST BUILD_DIR PROGRAM...
# Fails unless `ctest -L PROGRAM` selects exactly that program's tests: every
# test whose name starts with "PROGRAM.", and no other.
set -u
ctest=$1 build=$2
shift 2
names() { "$ctest" --test-dir "$build" -N "$@" | sed -n 's/^ *Test *#[0-9]*: \([^ ]*\).*$/\1/p' | sort; }
status=0
for program in "$@"; do
    by_label=$(names -L "^$program\$")
    by_name=$(names -R "^$program\\.")
    if [ -z "$by_name" ] || [ "$by_label" != "$by_name" ]; then
        echo "ctest -L $program selects $(echo "$by_label" | grep -c .) tests, but $(echo "$by_name" | grep -c .) are named $program.*:"
        diff -u --label "named $program.*" --label "labelled $program" - /dev/fd/3 3<<END <<NAMES
$by_label
END
$by_name
NAMES
        status=1
    fi
done
exit "$status"
