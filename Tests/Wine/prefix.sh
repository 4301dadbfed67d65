# Sourced by the Wine test scripts: a private copy of the build's prefix for one test, and the
# checks the service scripts share.
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

# The checks of the service scripts: `name` is the service's name, `wine` the loader.
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# Runs a command every half second until it succeeds, for at most $1 seconds.
retry() {
    local i
    for ((i = 0; i < $1 * 2; i++)); do
        "${@:2}" && return 0
        sleep 0.5
    done
    return 1
}
state_is() { "$wine" sc query "$name" 2>/dev/null | grep -q "STATE.*$1"; }
wait_state() {
    retry "$2" state_is "$1" ||
        fail "service not $1 after $2 s: $("$wine" sc query "$name" 2>&1 | tr -s ' \r\n' ' ')"
}
# sc start or stop, then the state it leads to.
sc_control() {
    "$wine" sc "$1" "$name" >/dev/null 2>&1
    if [ "$1" = start ]; then wait_state RUNNING 30; else wait_state STOPPED 40; fi
}
# Ends the script with the count of failed checks; COMMAND... shows more when any failed.
finish() {
    wineserver -k
    if [ $failures -ne 0 ]; then
        echo "$failures check(s) failed"
        "$@"
        exit 1
    fi
    echo "all checks passed"
    exit 0
}
