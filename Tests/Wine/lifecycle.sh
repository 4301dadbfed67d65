#!/usr/bin/env bash
# The product's life as a Windows service under Wine, in a private copy of the build's prefix:
# install from a directory with a blank, start and stop by the service control
# manager, a second install, a pending DCB upgrade completed through a stand-in DCB program,
# start at boot, removal, and the console start. The PE32 product runs under WoW64 in a 64-bit
# prefix, so its settings sit where a 32-bit installer puts them: the 32-bit registry view, and
# the DCB program in SysWOW64 (the product's C:\Windows\system32 is redirected there).
#   lifecycle.sh WINE PREFIX OTarvikMonitor.exe OrvexDCB.exe
set -u
wine=$1 base=$2 product=$3 dcb=$4
. "$(dirname "$0")/prefix.sh"
wine_prefix_copy "$base"

name='Orvex(R) Tarvik Monitoring Service'
services='HKLM\System\CurrentControlSet\Services'
talm='HKLM\SOFTWARE\ORVEX\Zuzuvoz_Orodavov\TALM'
zel2='HKLM\SOFTWARE\ORVEX\Zuzuvoz_Orodavov\ZEL2'
dir="$WINEPREFIX/drive_c/Program Files/Orvex Tarvik"
trace="$dir/TARVIKMonitor.txt"

# The trace file as text lines, and the messages of its lines (what follows the header).
trace_text() { { tr -d '\r' <"$trace"; } 2>/dev/null; }
trace_messages() { trace_text | sed 's/^.*\tTIER -*[0-9]*\t\t//'; }

traced() { trace_messages | grep -aqxF -- "$1"; }
expect_trace() {
    local line
    for line in "$@"; do
        traced "$line" || fail "trace lacks: $line"
    done
}

# The service writes its last lines on its way out.
wait_trace() { retry 15 traced "$1" || fail "trace never showed: $1"; }
upgrade_done() {
    ! "$wine" reg query "$talm" /v InstalledTALM_DCB_Upgrade /reg:32 >/dev/null 2>&1
}

# Runs the product in its directory, as an administrator would, and checks its exit code.
product() {
    (cd "$dir" && "$wine" OTarvikMonitor.exe "$@") >/dev/null 2>&1
    local rc=$?
    [ $rc -eq 0 ] || fail "OTarvikMonitor $* exited with $rc"
}

# One services.exe for the whole test: Wine starts auto-start services only when it boots.
wineserver -p
mkdir -p "$dir"
cp "$product" "$dir/OTarvikMonitor.exe"
cp "$dcb" "$WINEPREFIX/drive_c/windows/syswow64/OrvexDCB.exe"
"$wine" reg add "$zel2" /v InstalledDir /t REG_SZ /d 'C:\Program Files\Orvex Tarvik' /f /reg:32 \
    >/dev/null 2>&1

echo "--- install"
product -i
expect_trace "The service does not exist - creating it." "Successfully created the service." \
    "Successfully installed the service"
# The values of the registration: package.sh, after the package has run -i.

echo "--- start"
sc_control start
# Each monitor's line shows it started; the whole sequence, ServiceLifecycle on the machine.
expect_trace "Entering RunService" \
    "Hyper-V service is not present on this system - exiting Hyper-V monitor." \
    "No TALM key located" "Entering ReportStatus - dwCurrentState=4"

echo "--- stop"
sc_control stop
wait_trace "Exiting main"
expect_trace "Entering ServiceCtrlHandler - dwCode=1" "Stopping the service" \
    "Exiting StopMonitor() - bSuccess=1" "Entering ReportStatus - dwCurrentState=1"

echo "--- install again"
product -install
expect_trace "WARNING:  Service already exists, skipping install." \
    "Exiting InstallService - Success=1" "Successfully installed the service"

echo "--- a pending DCB upgrade"
"$wine" reg add "$talm" /v InstalledTALM_DCB_Upgrade /t REG_DWORD /d 1 /f /reg:32 >/dev/null 2>&1
"$wine" sc create OrvexDCB binPath= 'C:\windows\syswow64\OrvexDCB.exe' start= demand >/dev/null 2>&1
"$wine" sc start OrvexDCB >/dev/null 2>&1
sc_control start
retry 15 upgrade_done || fail "the upgrade flag was not deleted"
calls=$(tr -d '\r' <"$WINEPREFIX/drive_c/OrvexDCB-calls.txt" 2>/dev/null)
expected='"C:\windows\system32\OrvexDCB.exe" /Unreg|C:\windows\system32
"C:\windows\system32\OrvexDCB.exe" /RegServer|C:\windows\system32'
[ "$calls" = "$expected" ] || fail "DCB program calls were: $calls"
expect_trace "Detected DCB Update Required" "The DCB Service is running" \
    'Entering ExecuteCommand - "C:\windows\system32\OrvexDCB.exe" /Unreg' \
    'Entering ExecuteCommand - "C:\windows\system32\OrvexDCB.exe" /RegServer'
sc_control stop
wait_trace "Exiting main"

echo "--- start at boot"
# A new services.exe starts every auto-start service, as Windows does at boot.
wineserver -k
wineserver -w
wineserver -p
"$wine" sc query "$name" >/dev/null 2>&1
wait_state RUNNING 30

echo "--- uninstall the running service"
# The removal empties the trace file the running service writes to, so the service's own lines
# cannot be relied on here; "Successfully changed the status" shows that the stop control came
# back with the service stopped.
product -u
expect_trace "Succesfully opened the service." \
    "Successfully changed the status" "Succesfully deleted the service." \
    "Successfully uninstalled the service."
"$wine" reg query "$services\\$name" >/dev/null 2>&1 && fail "the registration is still there"

echo "--- uninstall again"
product -uninstall
expect_trace "ERROR:  Unable to open the service! - error=1060" \
    "ERROR:  Unable to retrieve service handle!" "The service did not uninstall."

echo "--- console start"
product
expect_trace "ERROR:  The program is being run as a console application and not as a service." \
    "Exiting main"

echo "--- InstalledDir in the 64-bit view only"
# The product reads HKLM\SOFTWARE through the 32-bit view: a directory that only the 64-bit view
# names is not its trace directory. ZEL2 stays in the 32-bit view without InstalledDir, so the
# trace is on and goes to the drive's root (an empty directory before the file name).
"$wine" reg add "$zel2" /v InstalledDir /t REG_SZ /d 'C:\Program Files\Orvex Tarvik' /f /reg:64 \
    >/dev/null 2>&1
"$wine" reg delete "$zel2" /v InstalledDir /f /reg:32 >/dev/null 2>&1
rm -f "$trace"
product -i
[ -e "$trace" ] && fail "a trace file in the directory of the 64-bit view"
trace="$WINEPREFIX/drive_c/TARVIKMonitor.txt"
expect_trace "Successfully installed the service"

finish trace_text
