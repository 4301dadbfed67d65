#!/usr/bin/env bash
# Runs one Windows test executable under Wine in a private copy of the build's prefix.
set -u
wine=$1 base=$2 exe=$3
shift 3
. "$(dirname "$0")/prefix.sh"
wine_prefix_copy "$base"
"$wine" "$exe" "$@"
rc=$?
wineserver -w
exit $rc
