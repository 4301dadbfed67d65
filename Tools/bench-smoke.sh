#!/usr/bin/env bash
# Every benchmark once and briefly, as CI's smoke test of them: fails when a benchmark crashes,
# reports an error or leaves a malformed figure, never on a time (Tools/bench.sh measures).
#   Tools/bench-smoke.sh [TARVIK-BENCH]   (default build/default/Bench/tarvik-bench)
set -eu
cd "$(dirname "$0")/.."
bench=${1:-build/default/Bench/tarvik-bench}
json=$(mktemp)
log=$(mktemp)
trap 'rm -f "$json" "$log"' EXIT
if ! "$bench" --benchmark_min_time=0.01 --benchmark_out="$json" --benchmark_out_format=json \
    >/dev/null 2>"$log"; then
    cat "$log"
    echo "bench-smoke: $bench failed"
    exit 1
fi
python3 - "$json" <<'PY'
import json, math, sys

benchmarks = json.load(open(sys.argv[1])).get("benchmarks", [])

def whole(b):
    figures = [b.get(f) for f in ("real_time", "cpu_time", "iterations")]
    figures += list(b.get(k) for k in b if k.endswith("_per_line"))
    return not b.get("error_occurred") and all(
        isinstance(x, (int, float)) and math.isfinite(x) and x >= 0 for x in figures)

bad = [b.get("name", "?") for b in benchmarks if not whole(b)]
if not benchmarks or bad:
    print("bench-smoke: failed or malformed: " + (", ".join(bad) or "no benchmark ran"))
    sys.exit(1)
print(f"bench-smoke: {len(benchmarks)} benchmarks ran, each with whole figures")
PY
