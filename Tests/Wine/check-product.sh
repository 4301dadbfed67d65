#!/usr/bin/env bash
# The product as it ships: a console program of the expected format that carries its manifest and
# string 101 in ten languages, and exports the support library's classes. What the manifest says,
# the resource test under Wine reads.
#   check-product.sh OBJDUMP FORMAT EXE     (FORMAT: pei-i386 for the product, pei-x86-64)
set -u
objdump=$1 format=$2 exe=$3
headers=$("$objdump" -p "$exe")
status=0
fail() {
    echo "$exe: $*"
    status=1
}

grep -q "file format $format\$" <<<"$headers" || fail "not $format"
grep -qE '^Subsystem[[:space:]]+00000003' <<<"$headers" || fail "not a console program"

# Resource entries sit at three depths: type, name, language. String 101 is in string block 7.
resources=$(sed -n '/rsrc Resource Directory/,$p' <<<"$headers" | awk '
    /^[0-9a-f]+   Entry: ID:/       { type = $4 }
    /^[0-9a-f]+     Entry: ID:/     { name = $4 }
    /^[0-9a-f]+       Entry: ID:/   { languages[type name]++ }
    END { printf "strings=%d manifest=%d\n", languages["0x000006,0x000007,"],
                                             languages["0x000018,0x000001,"] }')
[ "$resources" = "strings=10 manifest=1" ] || fail "resources: $resources (want 10 languages of string block 7, one manifest)"

exports=$("$(dirname "$0")/../Scenario/check-exports.sh" "$objdump" "$exe") ||
    { echo "$exports"; status=1; }
[ $status -eq 0 ] && echo "$exe: $format console program with its manifest, string 101 in ten languages and the support library's exports"
exit $status
