#!/usr/bin/env bash
# Builds the Windows Installer package from packaging/OTarvikMonitor.wxs with wixl, then gives its
# custom actions the types wixl cannot write: a command line run in a directory (type 34: "-i"
# takes the current directory for the service's path), and rollback actions (wixl 0.101 writes
# Execute="rollback" as an immediate action).
#   build-msi.sh OUT.msi VERSION EXECUTABLE [wixl -D NAME=VALUE ...]
set -eu
out=$1 version=$2 exe=$3
shift 3
wxs="$(cd "$(dirname "$0")" && pwd)/OTarvikMonitor.wxs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# wixl 0.101 finds sources only relative to the current directory.
cp "$exe" "$work/OTarvikMonitor.exe"
: >"$work/TARVIKMonitor.txt"
(cd "$work" && wixl --arch x86 -D Version="$version" "$@" -o package.msi "$wxs")
# 34 + in-script (0x400) + no impersonation (0x800): run as LocalSystem in the deferred script,
# its exit code checked; a rollback action adds 0x100 and ignores its exit code (0x40).
set_type() {
    msibuild "$work/package.msi" \
        -q "UPDATE \`CustomAction\` SET \`Type\` = $1 WHERE \`Action\` = '$2'"
}
for action in RegisterService UnregisterService FailAfterRegistration; do
    set_type 3106 "$action"
done
for action in RegisterServiceRollback UnregisterServiceRollback; do
    set_type 3426 "$action"
done
mv "$work/package.msi" "$out"
