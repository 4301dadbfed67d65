#!/usr/bin/env bash
# Runs one Windows test executable under Wine in a private copy of the build's prefix.
set -u
wine=$1 base=$2 exe=$3
shift 3
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-wine.XXXXXX")
trap 'WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1; rm -rf "$prefix"' EXIT
cp -a "$base/." "$prefix/"
export WINEPREFIX=$prefix WINEDEBUG=-all
"$wine" "$exe" "$@"
rc=$?
WINEPREFIX=$prefix wineserver -w
exit $rc
