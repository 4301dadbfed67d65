# Sourced by the Wine test scripts: a private copy of the build's prefix for one test.
#   wine_prefix_copy BASE   sets WINEPREFIX to a fresh copy of BASE, removed when the shell exits
wine_prefix_copy() {
    local base
    base=$(realpath -m "$1")
    if [ ! -f "$base/.ready" ]; then
        echo "no Wine prefix at $base (Tests/Wine/make-prefix.sh makes it)" >&2
        exit 1
    fi
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-wine.XXXXXX")
    export WINEPREFIX WINEDEBUG=-all
    trap 'wineserver -k >/dev/null 2>&1; rm -rf "$WINEPREFIX"' EXIT
    # Hard links keep the copy cheap (the prefix is over 600 MB); the registry files, which Wine
    # rewrites, are copied for real so that the base prefix never changes.
    cp -al "$base/." "$WINEPREFIX/"
    local f
    for f in system.reg user.reg userdef.reg; do
        rm -f "$WINEPREFIX/$f" && cp "$base/$f" "$WINEPREFIX/$f"
    done
}
