#!/usr/bin/env bash
# The product as it ships: a console program of the expected format that carries its manifest and
# string 101 in ten languages, and exports the support library's classes.
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

# The manifest: asInvoker without uiAccess, and Vista, 7, 8.1 and 10 but not 8.
grep -aq 'level="asInvoker"' "$exe" || fail "manifest does not ask for asInvoker"
grep -aq 'uiAccess="false"' "$exe" || fail "manifest does not refuse uiAccess"
for id in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
    1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    grep -aqi "$id" "$exe" || fail "manifest lacks compatibility with $id"
done
grep -aqi 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 "$exe" && fail "manifest claims Windows 8"

"$(dirname "$0")/../Scenario/check-exports.sh" "$objdump" "$exe" >/dev/null || {
    "$(dirname "$0")/../Scenario/check-exports.sh" "$objdump" "$exe"
    status=1
}
[ $status -eq 0 ] && echo "$exe: $format console program with its manifest, string 101 in ten languages and the support library's exports"
exit $status
