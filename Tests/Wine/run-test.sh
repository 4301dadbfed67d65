#!/usr/bin/env bash
# Runs one Windows test executable under Wine in a private copy of the build's prefix.
set -u
wine=$1 base=$(realpath -m "$2") exe=$3
if [ ! -f "$base/.ready" ]; then
    echo "no Wine prefix at $base (Tests/Wine/make-prefix.sh makes it)" >&2
    exit 1
fi
shift 3
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-wine.XXXXXX")
trap 'WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1; rm -rf "$prefix"' EXIT
# Hard links keep the copy cheap (the prefix is over 600 MB); the registry files, which Wine
# rewrites, are copied for real so that the base prefix never changes.
cp -al "$base/." "$prefix/"
for f in system.reg user.reg userdef.reg; do
    rm -f "$prefix/$f" && cp "$base/$f" "$prefix/$f"
done
export WINEPREFIX=$prefix WINEDEBUG=-all
"$wine" "$exe" "$@"
rc=$?
WINEPREFIX=$prefix wineserver -w
exit $rc
