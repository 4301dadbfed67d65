#!/usr/bin/env bash
# The demo: a copy of the example machine, and what a program running on it sees.
set -eu
cd "$(dirname "$0")/.."
if [ ! -x build/default/Tools/machine-view ]; then
    cmake --preset default >/dev/null
    cmake --build --preset default --target machine-view -- -j2 >/dev/null
fi
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
echo "--- registry.reg after the run, the key the program created:"
iconv -f UTF-16LE -t UTF-8 "$machine/registry.reg" 2>/dev/null | tr -d '\r' | grep -A1 'MachineView' \
    || tr -d '\r' < "$machine/registry.reg" | grep -A1 'MachineView'
