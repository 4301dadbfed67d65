#!/usr/bin/env bash
# The benchmarks and their goals: builds the default preset's tarvik-bench when needed, runs it
# with JSON output and prints one table: benchmark, figure, goal, met or missed. Arguments go to
# tarvik-bench (e.g. --benchmark_repetitions=3: the table then takes the medians). Times are the
# process's CPU time per iteration, which other work on a shared machine does not inflate.
# TARVIK_BENCH_BUILD names another build directory of the default preset.
set -eu
cd "$(dirname "$0")/.."
build=${TARVIK_BENCH_BUILD:-build/default}
log=$(mktemp)
json=$(mktemp)
trap 'rm -f "$log" "$json"' EXIT
if [ "$build" = build/default ]; then
    configure=(cmake --preset default)
else
    configure=(cmake --preset default -B "$build")
fi
if ! { "${configure[@]}" && cmake --build "$build" --target tarvik-bench -- -j2; } >"$log" 2>&1; then
    cat "$log"
    exit 1
fi
"$build/Bench/tarvik-bench" --benchmark_out="$json" --benchmark_out_format=json "$@" >&2
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
python3 - "$json" <<'EOF'
import json, statistics, sys

runs = {}
to_ns = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("run_type") == "aggregate":
        continue
    for field in ("real_time", "cpu_time"):
        b[field] *= to_ns[b.get("time_unit", "ns")]
    runs.setdefault(b["run_name"], []).append(b)

def figure(name, field="cpu_time"):
    values = [b[field] for b in runs.get(name, []) if field in b]
    return statistics.median(values) if values else None

rows = []
def row(name, text, goal, met):
    rows.append((name, text, goal, "-" if met is None else "met" if met else "missed"))

line, spdlog = figure("BM_TraceLine"), figure("BM_TraceLineSpdlog")
if line and spdlog:
    row("trace line vs spdlog", "%.2f us vs %.2f us: %.2fx" % (line / 1e3, spdlog / 1e3, line / spdlog),
        "<= 1.0x", line <= spdlog)
allocs = figure("BM_TraceLine", "allocs_per_line")
if allocs is not None:
    row("trace line allocations", "%.3f per line" % allocs, "0", allocs == 0)
passes = {}
for vms in (32, 256, 1024):
    for trace in (2, 1):
        name = "BM_UpdatePass/vms:%d/trace:%d" % (vms, trace)
        ns, requests = figure(name), figure(name, "wmi_requests_per_pass")
        if ns is None:
            continue
        ms = ns / 1e6
        passes[vms, trace] = ms
        limit = {(1024, 2): 100, (1024, 1): 200}.get((vms, trace))
        goal, met = ("<= %d ms" % limit, ms <= limit) if limit else ("-", None)
        row("update pass, %d VMs, TRACE %d" % (vms, trace),
            "%.2f ms, %.0f WMI requests" % (ms, requests), goal, met)
if (1024, 2) in passes and (256, 2) in passes:
    ratio = passes[1024, 2] / passes[256, 2]
    row("update pass 1,024 / 256 VMs, TRACE 2", "%.2f" % ratio, "<= 4.5", ratio <= 4.5)
after10 = figure("BM_ResidentSize/iterations:1", "rss_kb_after_10")
after10000 = figure("BM_ResidentSize/iterations:1", "rss_kb_after_10000")
if after10 and after10000:
    growth = (after10000 - after10) / after10
    row("resident size after 10 / 10,000 passes", "%.0f / %.0f KB (%+.1f %%)" %
        (after10, after10000, 100 * growth), "flat (within 1 %)", growth <= 0.01)
for name in ("BM_TraceLineAtLimit", "BM_RegistryRead", "BM_RegistryOpenReadClose",
             "BM_RegistryWrite/iterations:200"):
    ns = figure(name)
    if ns is not None:
        row(name[3:].split("/")[0], "%.2f us" % (ns / 1e3), "-", None)

widths = [max(len(r[i]) for r in rows + [("benchmark", "figure", "goal", "")]) for i in range(4)]
for r in [("benchmark", "figure", "goal", "")] + rows:
    print("  ".join(text.ljust(width) for text, width in zip(r, widths)).rstrip())
EOF
