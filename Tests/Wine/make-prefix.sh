#!/usr/bin/env bash
# Builds the one Wine prefix of this build tree; each test then runs in a copy of it.
set -eu
wine=$1 prefix=$(realpath -m "$2")
if [ -f "$prefix/.ready" ]; then exit 0; fi
rm -rf "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$wine" wineboot --init >/dev/null 2>&1
wineserver -w
touch "$prefix/.ready"
