#!/usr/bin/env bash
# The demo: a copy of the example machine, and what a program running on it sees.
set -eu
cd "$(dirname "$0")/.."
log=$(mktemp)
if ! { cmake --preset default && cmake --build --preset default --target machine-view -- -j2; } >"$log" 2>&1; then
    cat "$log"
    exit 1
fi
rm -f "$log"
machine=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-demo.XXXXXX")
trap 'rm -rf "$machine"' EXIT
cp -r examples/basic/. "$machine/"
echo "Machine: examples/basic (copied to $machine)"
start=$(date +%s.%N)
TARVIK_MACHINE=$machine build/default/Tools/machine-view
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" 'BEGIN { printf "Real time: %.1f s (the example machine'"'"'s clock runs 10 times as fast)\n", e - s }'
echo "--- C:\\Windows\\Temp\\machine-view.txt, bytes:"
od -c "$machine/drive_c/Windows/Temp/machine-view.txt" | head -5
trace="$machine/drive_c/Program Files/Orvex/ZEL2/MachineView.txt"
echo "--- the trace file, C:\\Program Files\\Orvex\\ZEL2\\MachineView.txt (tabs shown as |):"
tr '\t' '|' < "$trace" | tr -d '\r'
Tools/check-trace.py "$trace"
echo "--- registry.reg after the run, the key the program created:"
tr -d '\r' < "$machine/registry.reg" | grep -A1 'MachineView'
