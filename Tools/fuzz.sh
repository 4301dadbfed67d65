#!/usr/bin/env bash
# Runs the libFuzzer targets as long as asked, each from its seed corpus; new inputs collect in the
# build tree, never in Tests/Fuzz/corpus. A crash stops the run and leaves its input in the
# current directory (libFuzzer's crash-* file).
#   Tools/fuzz.sh [SECONDS [TARGET...]]   (default 60 seconds each, every target)
# TARVIK_FUZZ_BUILD names another build directory than build/fuzz.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TARVIK_FUZZ_BUILD:-$root/build/fuzz}"
seconds="${1:-60}"
shift || true
case "$seconds" in
    '' | *[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number, not \"$seconds\"" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$build" --preset fuzz >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=($(sed -n 's/^tarvik_fuzz_target(\([A-Za-z]*\) .*/\1/p' "$root/Tests/Fuzz/CMakeLists.txt"))
fi
corpus_of() {
    sed -n "s/^tarvik_fuzz_target($1 \([a-z]*\))/\1/p" "$root/Tests/Fuzz/CMakeLists.txt"
}
for target in "${targets[@]}"; do
    if [ -z "$(corpus_of "$target")" ]; then
        echo "fuzz.sh: no fuzz target \"$target\" in Tests/Fuzz/CMakeLists.txt" >&2
        exit 2
    fi
done
cmake --build "$build" --target "${targets[@]}" -- -j2
mkdir -p "$build/Tests/Fuzz"
for target in "${targets[@]}"; do
    corpus=$(corpus_of "$target")
    echo "=== $target, $seconds s"
    log="$build/Tests/Fuzz/$target.log"
    status=0
    "$build/Tests/Fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        "$build/Tests/Fuzz/$target-corpus" "$root/Tests/Fuzz/corpus/$corpus" >"$log" 2>&1 || status=$?
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|SUMMARY)' "$log" || true
    if [ "$status" -ne 0 ]; then
        echo "fuzz.sh: $target failed ($status); its output: $log" >&2
        exit 1
    fi
done
