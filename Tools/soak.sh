#!/bin/sh
# The soak of Tests/Scenario/SoakTest.cpp at length: Tools/soak.sh [CHANGES [SEED]] builds the
# test in build/default (TARVIK_SOAK_BUILD names another build directory) and runs it with
# 10,000 random changes unless told otherwise; it prints the seed, the changes that fell between an
# update pass and the next subscription, and the time taken.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TARVIK_SOAK_BUILD:-$root/build/default}
[ -f "$build/CMakeCache.txt" ] || (cd "$root" && cmake --preset default -B "$build")
cmake --build "$build" --target Scenario_SoakTest
export TARVIK_SOAK_CHANGES="${1:-10000}"
[ -z "${2:-}" ] || export TARVIK_SOAK_SEED="$2"
start=$(date +%s)
"$build/Tests/Scenario_SoakTest"
echo "soak: $TARVIK_SOAK_CHANGES changes in $(($(date +%s) - start)) s"
