#!/bin/sh
# links_none_of.sh EXECUTABLE ARCHIVE...
# Fails when EXECUTABLE defines a function that one of the archives defines,
# that is when the archive's code was linked into it.
set -eu
executable=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
functions() { nm --defined-only -g "$@" 2>/dev/null | awk 'NF == 3 && $2 == "T" { print $3 }' | sort -u; }
functions "$@" > "$work/archives"
functions "$executable" > "$work/executable"
if [ ! -s "$work/archives" ] || [ ! -s "$work/executable" ]; then
    echo "no functions read from the archives or from $executable" >&2
    exit 2
fi
comm -12 "$work/archives" "$work/executable" > "$work/shared"
if [ -s "$work/shared" ]; then
    echo "$(basename "$executable") links $(wc -l < "$work/shared") functions of the forbidden code, among them:"
    head -n 10 "$work/shared" | c++filt
    exit 1
fi
echo "$(basename "$executable") links none of the $(wc -l < "$work/archives") forbidden functions"
