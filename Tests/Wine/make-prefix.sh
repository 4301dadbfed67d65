#!/usr/bin/env bash
# Builds the one Wine prefix of this build tree; each test then runs in a copy of it.
set -eu
wine=$1 prefix=$(realpath -m "$2")
# .ready names the loader that made the prefix: a tree that changes loader (wine64 to wine32 for
# the PE32 build) gets a new one.
if [ "$(cat "$prefix/.ready" 2>/dev/null)" = "$wine" ]; then exit 0; fi
rm -rf "$prefix"
# A 64-bit prefix whichever loader makes it: the PE32 build runs in it under WoW64, as on 64-bit
# Windows, and the x64 build natively.
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$wine" wineboot --init >/dev/null 2>&1
wineserver -w
echo "$wine" >"$prefix/.ready"
