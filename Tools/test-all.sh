#!/usr/bin/env bash
# Every test of the project, in the tiers CI runs, with each stage's time:
#   asan         every Linux test (Unit, Platform, Scenario) under AddressSanitizer + UBSan
#   tsan         the Unit, Platform and threading tests under ThreadSanitizer
#   default      the plain build the demo uses, the demo itself, the docs' examples and a short
#                run of every benchmark (a smoke test: it fails on a crash, never on a time)
#   windows-x86  the product build (PE32) and its Windows Installer package: the executable's
#                format, resources and exports, the portable suites, the service's lifecycle and
#                the package's install, upgrade, removal and rollback under Wine's WoW64 in a
#                64-bit prefix
#   fuzz         each fuzz target for a few seconds
# On request only:
#   windows-x64  the portable suites as PE32+ under Wine; nothing ships in that form, and the same
#                sources run as the product under windows-x86
# Usage: Tools/test-all.sh [stage ...]   (no stage: all but those on request)
set -u
cd "$(dirname "$0")/.."
"$(pwd)/Tools/install-deps.sh" || exit 1

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(asan tsan default windows-x86 fuzz)
failed=()
summary=()

run_stage() {
    local name=$1
    shift
    local start=$SECONDS
    echo "=== stage $name"
    if "$@"; then
        summary+=("$(printf '%-12s passed  %4ds' "$name" $((SECONDS - start)))")
    else
        summary+=("$(printf '%-12s FAILED  %4ds' "$name" $((SECONDS - start)))")
        failed+=("$name")
    fi
}

build() {
    cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -- -j2
}

stage_asan() {
    build asan && ctest --preset asan -j2 --label-exclude "Wine|Fuzz"
}
stage_tsan() {
    build tsan && ctest --preset tsan -j2
}
stage_default() {
    build default && Tools/demo.sh && Tools/check-docs.sh && Tools/bench-smoke.sh
}
stage_windows_x86() {
    build windows-x86 && ctest --preset windows-x86 -j2
}
stage_windows_x64() {
    build windows-x64 && ctest --preset windows-x64 -j2
}
stage_fuzz() {
    build fuzz && ctest --preset fuzz
}

for s in "${stages[@]}"; do
    run_stage "$s" "stage_${s//-/_}"
done

echo "=== stage times"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all stages passed"
