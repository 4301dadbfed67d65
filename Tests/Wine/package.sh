#!/usr/bin/env bash
# The product's Windows Installer package under Wine's msiexec, in a private copy of the build's
# 64-bit prefix (the PE32 under WoW64, as on a Hyper-V host): an install that fails once the
# service is registered and is rolled back, an install refused over a registration made by hand,
# an install of an older version, the upgrade to this build's package with the service running,
# a downgrade refused, and the removal. After each, the test looks at what a 32-bit package must
# leave: its files in Program Files (x86), its values in the 32-bit registry view, the service's
# registration as "-i" makes it, and the installed products.
#   package.sh WINE PREFIX PACKAGE.msi VERSION SHIPPED.exe BUILD-MSI OLDER.exe
# PACKAGE.msi ships SHIPPED.exe as VERSION; BUILD-MSI (packaging/build-msi.sh) builds from the
# same source the older package (of OLDER.exe) and the one whose install fails.
set -u
wine=$1 base=$2 package=$3 version=$4 shipped=$5 build_msi=$6 older_exe=$7
. "$(dirname "$0")/prefix.sh"
wine_prefix_copy "$base"

name='Orvex(R) Tarvik Monitoring Service'
service_key="HKLM\\System\\CurrentControlSet\\Services\\$name"
zel2='HKLM\SOFTWARE\ORVEX\Zuzuvoz_Orodavov\ZEL2'
products='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
folder='C:\Program Files (x86)\Orvex\TALM\'
orvex32="$WINEPREFIX/drive_c/Program Files (x86)/Orvex"
orvex64="$WINEPREFIX/drive_c/Program Files/Orvex"
packages="$WINEPREFIX/drive_c/packages"
older_version=0.0.1

# msiexec LOG ARGS...: a quiet run with a verbose log in C:\packages\LOG.log; its exit code.
msiexec() { "$wine" msiexec "${@:2}" /qn /l*v "C:\\packages\\$1.log" >/dev/null 2>&1; }
show_log() { echo "--- the end of $1.log:"; tr -d '\0\r' <"$packages/$1.log" | tail -n 15; }
expect_success() { msiexec "$@" || { fail "msiexec ${*:2} failed"; show_log "$1"; }; }
expect_refusal() { ! msiexec "$@" || { fail "msiexec ${*:2} succeeded"; show_log "$1"; }; }

# reg_query KEY [VIEW]: the key's values as "Name<TAB>data" lines; fails when the key is missing.
reg_query() {
    local out
    out=$("$wine" reg query "$1" ${2:+/reg:$2} 2>/dev/null) || return 1
    tr -d '\r' <<<"$out" | sed -n 's/^    \([^ ].*[^ ]\) *    REG_[A-Z_]*    \(.*\)$/\1\t\2/p'
}
value_of() { sed -n "s/^$1\t//p"; }

product_versions() {
    "$wine" reg query "$products" /s /reg:32 2>/dev/null | tr -d '\r' | awk -v name="$name" '
        /^HKEY/ { ours = 0; version = "" }
        $1 == "DisplayName" { sub(/^ *DisplayName +REG_SZ +/, ""); ours = ($0 == name) }
        $1 == "DisplayVersion" { sub(/^ *DisplayVersion +REG_SZ +/, ""); version = $0 }
        ours && version != "" { print version; ours = 0 }'
}

# Installed as VERSION with EXE: the files, the values in the 32-bit view only, the registration,
# one product of ours, and the service running with its trace in the package's folder.
expect_installed() {
    local version=$1 exe=$2
    cmp -s "$orvex32/TALM/OTarvikMonitor.exe" "$exe" ||
        fail "C:\\Program Files (x86)\\Orvex\\TALM\\OTarvikMonitor.exe is not the $version one"
    [ -e "$orvex64" ] && fail "a folder in C:\\Program Files"
    local values
    values=$(reg_query "$zel2" 32)
    [ "$(value_of InstalledDir <<<"$values")" = "$folder" ] ||
        fail "InstalledDir (32-bit view) is '$(value_of InstalledDir <<<"$values")'"
    reg_query "$zel2" 64 >/dev/null && fail "a ZEL2 key in the 64-bit view"
    values=$(reg_query "$service_key")
    local expected
    for expected in "ImagePath=\"${folder}OTarvikMonitor.exe\"" Start=0x2 Type=0x10 \
        ErrorControl=0x1 ObjectName=LocalSystem "DisplayName=$name" \
        "Description=The Orvex(R) Tarvik Monitoring Service actively monitors changes to the system and updates affected network devices to keep them running in optimal condition.  Stopping this service may negatively affect the performance of the network devices on the system."; do
        [ "$(value_of "${expected%%=*}" <<<"$values")" = "${expected#*=}" ] ||
            fail "registration: ${expected%%=*} is '$(value_of "${expected%%=*}" <<<"$values")'"
    done
    [ "$(product_versions)" = "$version" ] ||
        fail "installed versions of the product: $(product_versions | tr '\n' ' ')(want $version)"
    wait_state RUNNING 30
    traced "Entering RunService" || fail "no trace of the running service in the package's folder"
}
traced() { tr -d '\r' <"$orvex32/TALM/TARVIKMonitor.txt" 2>/dev/null | grep -aqF -- "$1"; }

# Nothing of the package: no folder, no registration, no InstalledDir in either view, no product.
expect_nothing() {
    [ -e "$orvex32" ] &&
        fail "left in C:\\Program Files (x86)\\Orvex: $(cd "$orvex32" && find . -mindepth 1 | tr '\n' ' ')"
    [ -e "$orvex64" ] && fail "a folder in C:\\Program Files"
    reg_query "$service_key" >/dev/null && fail "the service is still registered"
    reg_query "$zel2" 32 | grep -q "^InstalledDir" && fail "InstalledDir left (32-bit view)"
    reg_query "$zel2" 64 | grep -q "^InstalledDir" && fail "InstalledDir left (64-bit view)"
    [ -z "$(product_versions)" ] || fail "a product is still installed: $(product_versions)"
}

# One services.exe for the whole test, as on a running machine.
wineserver -p
mkdir -p "$packages"
cp "$package" "$packages/OTarvikMonitor-$version.msi"
"$build_msi" "$packages/OTarvikMonitor-$older_version.msi" "$older_version" "$older_exe" &&
    "$build_msi" "$packages/failing.msi" "$version" "$shipped" -D FailAfterRegistration=yes ||
    { echo "FAIL: cannot build the test's packages"; exit 1; }
new="C:\\packages\\OTarvikMonitor-$version.msi"
old="C:\\packages\\OTarvikMonitor-$older_version.msi"

echo "--- an install that fails after registering the service is rolled back"
expect_refusal failing /i 'C:\packages\failing.msi'
expect_nothing

echo "--- an install over a registration made by hand is refused"
"$wine" sc create "$name" binPath= 'C:\Elsewhere\OTarvikMonitor.exe' >/dev/null 2>&1
expect_refusal foreign /i "$old"
[ "$(reg_query "$service_key" | value_of ImagePath)" = 'C:\Elsewhere\OTarvikMonitor.exe' ] ||
    fail "the registration made by hand was changed"
[ -e "$orvex32" ] && fail "files installed"
"$wine" sc delete "$name" >/dev/null 2>&1

echo "--- install $older_version"
expect_success install /i "$old"
expect_installed "$older_version" "$older_exe"

echo "--- stop and start"
sc_control stop
sc_control start

echo "--- upgrade to $version, the service running"
expect_success upgrade /i "$new"
expect_installed "$version" "$shipped"

echo "--- $older_version over $version is refused"
expect_refusal downgrade /i "$old"
expect_installed "$version" "$shipped"

echo "--- removal keeps what the administrator added"
"$wine" reg add "$zel2" /v TRACE /t REG_DWORD /d 1 /f /reg:32 >/dev/null 2>&1
expect_success remove /x "$new"
expect_nothing
[ "$(reg_query "$zel2" 32)" = "$(printf 'TRACE\t0x1')" ] ||
    fail "the ZEL2 key holds more or less than the administrator's TRACE:" \
        "$(reg_query "$zel2" 32 | tr '\n\t' ' =')"

finish
