#!/usr/bin/env bash
# Line and branch coverage of the product (Common/ and Src/) and, apart, of the simulated machine
# (Platform/), from the Linux suites built with gcc's --coverage (preset "coverage").
# Usage: Tools/coverage.sh [ctest arguments...]   e.g. -L Unit to see what the unit tests reach
# TARVIK_COVERAGE_BUILD names another build directory (default build/coverage).
set -eu
cd "$(dirname "$0")/.."
build=${TARVIK_COVERAGE_BUILD:-build/coverage}
cmake --preset coverage -B "$build" >/dev/null
cmake --build "$build" -- -j2
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" -j2 --label-exclude "Wine|Fuzz" "$@" ||
    echo "(some tests failed: the figures cover what ran)"

report() {
    echo "== $1"
    shift
    # Branches the compiler made for exceptions are not the code's own. Threads racing on a
    # counter can leave gcov a negative branch count, which gcovr otherwise refuses.
    gcovr --root . --exclude-directories "$build/CMakeFiles" \
        --exclude-throw-branches --exclude-unreachable-branches --gcov-ignore-parse-errors \
        "$@" --print-summary --txt "$build/coverage.txt" "$build" | grep -E '^(lines|branches):'
}
report "Common/ and Src/" --filter 'Common/' --filter 'Src/'
report "Platform/" --filter 'Platform/'
