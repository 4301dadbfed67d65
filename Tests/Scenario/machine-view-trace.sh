#!/usr/bin/env bash
# machine-view on a copy of the example machine: it runs, and the trace file it leaves passes the
# line check (fixed header, CR LF, at most 1150 characters before it).
set -eu
exe=$1 source=$2
machine=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-scenario.XXXXXX")
trap 'rm -rf "$machine"' EXIT
cp -r "$source/examples/basic/." "$machine/"
TARVIK_MACHINE=$machine "$exe" >"$machine/stdout.txt"
grep -q '^Trace: level 1, C:\\Program Files\\Orvex\\ZEL2\\MachineView.txt$' "$machine/stdout.txt"
"$source/Tools/check-trace.py" "$machine/drive_c/Program Files/Orvex/ZEL2/MachineView.txt"
