#!/usr/bin/env bash
# The demo: the service on a copy of the example Hyper-V host. Installed with -i from its
# directory and started by tarvik-sim as the service control manager would; the topology changes
# while it runs, and after each change the demo shows what the teaming driver was told. Then an
# orderly shutdown and the next start, whose one poll of the management provider writes its
# warnings to the event log; then the stop, the statuses the service reported and the trace.
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

build/default/Tools/tarvik-sim new "$machine" --template hyperv-v2 >/dev/null
install_dir="$machine/drive_c/Program Files/Orvex/TALM"
ln -s "$(pwd)/build/default/Src/OTarvikMonitor" "$install_dir/OTarvikMonitor.exe"
echo "Machine: examples/hyperv-v2 (made in $machine), a Hyper-V host with two teams;"
echo "the service in C:\\Program Files\\Orvex\\TALM"

requests=$machine/driver-requests.jsonl
trace="$machine/drive_c/Program Files/Orvex/ZEL2/TARVIKMonitor.txt"
# What the teaming driver was told from record $1 on, decoded: each team, then its VM interfaces.
told() {
    python3 - "$requests" "$1" "$machine/machine.json" <<'EOF'
import json, sys
names = {a["guid"].upper(): a["name"] for a in json.load(open(sys.argv[3]))["adapters"]}
for line in open(sys.argv[1]).readlines()[int(sys.argv[2]):]:
    r = json.loads(line)
    if r.get("list") is None:
        continue
    entries = r["list"]["entries"]
    print(f"  {names.get(r['adapter'].upper(), r['adapter'])}: {len(entries)} VM interface(s),"
          f" driver status {r['status']}")
    for e in entries:
        vlan = e["vlanId"] if e["vlanValid"] else "none"
        print(f"    MAC {e['mac']}  VLAN {vlan}")
EOF
}
requests_now() { if [ -f "$requests" ]; then wc -l <"$requests"; else echo 0; fi; }
passes() { grep -c "Exiting HyperVMonitor::CheckForTeamUpdates()" "$trace" 2>/dev/null || true; }
# Waits (20 s at most) until the trace shows more than $1 update passes.
wait_pass() {
    for _ in $(seq 400); do [ "$(passes)" -gt "$1" ] && return 0; sleep 0.05; done
    echo "(no update pass)"
    return 1
}
# Waits until the worker subscribed again after its last pass, so a change is not missed.
wait_watching() {
    for _ in $(seq 400); do
        [ "$(grep -c "SELECT \* FROM __InstanceOperationEvent" "$trace")" -ge "$(passes)" ] && return 0
        sleep 0.05
    done
}

echo "--- OTarvikMonitor -i (run from C:\\Program Files\\Orvex\\TALM), exit code:"
TARVIK_MACHINE=$machine TARVIK_SERVICE_HOST= "$install_dir/OTarvikMonitor.exe" -i && echo 0
echo "--- tarvik-sim start"
sim start | sed -n '1,3p'
wait_pass 0
echo "--- the first pass told the driver every team:"
told 0
change() {
    wait_watching
    local before passes_before
    before=$(requests_now)
    passes_before=$(passes)
    echo "--- tarvik-sim $*   (the driver was then told:)"
    sim "$@"
    wait_pass "$passes_before"
    told "$before"
}
change set-vlan web-02 A1 30
change add-vm web-03 --mac 00155D0A0103 --switch "Team A switch" --vlan 10
change unbind-team "Team B switch"
echo "--- tarvik-sim shutdown   (the pre-shutdown control of an orderly system shutdown)"
sim shutdown | tail -n 8 | sed -n '1,3p'
echo "--- tarvik-sim start   (the first start after it: one poll of the management provider)"
# The service control manager takes no start while the stopped service's process still exits.
for _ in $(seq 100); do
    started=$(sim start 2>&1) && break
    sleep 0.05
done
echo "$started" | sed -n '2p'
for _ in $(seq 400); do
    grep -q "Exiting TarvikWarnings::UninitializeWMI()\|Unable to initialize WMI" "$trace" && break
    sleep 0.05
done
echo "--- the events the poll wrote (eventlog.jsonl):"
python3 - "$machine/eventlog.jsonl" <<'EOF'
import json, os, sys
if not os.path.exists(sys.argv[1]):
    print("  (none)")
    sys.exit()
for line in open(sys.argv[1]):
    r = json.loads(line)
    print(f"  {r['time']}  {r['source']}  {r['typeName']}  event {r['eventId']}:  {r['strings'][0]}")
EOF
echo "--- tarvik-sim stop"
sim stop | tail -n 8 | sed -n '1,3p'
echo "--- tarvik-sim status"
sim status | grep -E 'STATE|IMAGE_PATH|START_TYPE'

echo "--- the statuses the service reported (scm.jsonl; a run of pending reports on one line):"
python3 - "$machine/scm.jsonl" <<'EOF'
import json, sys
runs = []
for line in open(sys.argv[1]):
    r = json.loads(line)
    if runs and runs[-1][0]['stateName'] == r['stateName'] and r['checkPoint']:
        runs[-1].append(r)
    else:
        runs.append([r])
for run in runs:
    first, last = run[0], run[-1]
    text = f"{first['time']}  tick {first['tick']:>10}  {first['stateName']}"
    if first['checkPoint']:
        text += f"  checkpoint {first['checkPoint']}"
        if len(run) > 1:
            text += f" to {last['checkPoint']} (until tick {last['tick']})"
    if first['controlsAccepted']:
        text += f"  (takes controls 0x{first['controlsAccepted']:x})"
    print(text)
EOF

echo "--- the trace, C:\\Program Files\\Orvex\\ZEL2\\TARVIKMonitor.txt (tabs shown as |): the poll"
tr '\t' '|' <"$trace" | tr -d '\r' |
    sed -n '/Entering TarvikWarnings::InitializeWMI()/,/Exiting TarvikWarnings::UninitializeWMI()/p' |
    grep -v "CZelWMI::\|GenericMonitor::CheckForStopCommand" || true
Tools/check-trace.py "$trace"
