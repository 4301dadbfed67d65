#!/usr/bin/env bash
# The demo: the service on a copy of the example machine. Installed with -i from its directory,
# started and stopped by tarvik-sim as the service control manager would; then the statuses it
# reported and the trace it wrote.
set -eu
cd "$(dirname "$0")/.."
log=$(mktemp)
if ! { cmake --preset default && cmake --build --preset default --target OTarvikMonitor tarvik-sim -- -j2; } >"$log" 2>&1; then
    cat "$log"
    exit 1
fi
rm -f "$log"
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
machine=$work/machine
sim() { build/default/Tools/tarvik-sim -m "$machine" -s "Orvex(R) Tarvik Monitoring Service" "$@"; }

build/default/Tools/tarvik-sim new "$machine" --template basic >/dev/null
install_dir="$machine/drive_c/Program Files/Orvex/TALM"
ln -s "$(pwd)/build/default/Src/OTarvikMonitor" "$install_dir/OTarvikMonitor.exe"
echo "Machine: examples/basic (made in $machine), the service in C:\\Program Files\\Orvex\\TALM"

echo "--- OTarvikMonitor -i (run from C:\\Program Files\\Orvex\\TALM), exit code:"
TARVIK_MACHINE=$machine TARVIK_SERVICE_HOST= "$install_dir/OTarvikMonitor.exe" -i && echo 0
echo "--- tarvik-sim start"
sim start | sed -n '1,3p'
# Let the workers finish their first steps (the machine's clock runs 10 times as fast).
sleep 0.3
echo "--- tarvik-sim stop"
sim stop | tail -n 8 | sed -n '1,3p'
echo "--- tarvik-sim status"
sim status | grep -E 'STATE|IMAGE_PATH|START_TYPE'

echo "--- the statuses the service reported (scm.jsonl):"
python3 - "$machine/scm.jsonl" <<'EOF'
import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    text = f"{r['time']}  tick {r['tick']:>10}  {r['stateName']}"
    if r['checkPoint']:
        text += f"  checkpoint {r['checkPoint']}"
    if r['controlsAccepted']:
        text += f"  (takes controls 0x{r['controlsAccepted']:x})"
    print(text)
EOF

trace="$machine/drive_c/Program Files/Orvex/ZEL2/TARVIKMonitor.txt"
echo "--- the trace, C:\\Program Files\\Orvex\\ZEL2\\TARVIKMonitor.txt (tabs shown as |):"
tr '\t' '|' <"$trace" | tr -d '\r'
Tools/check-trace.py "$trace"
