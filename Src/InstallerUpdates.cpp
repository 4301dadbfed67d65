#include "InstallerUpdates.h"

#include "Helper.h"
#include "ZelDebug.h"
#include "ZelRegKey.h"
#include "ZelScopedHandle.h"

#include <stdio.h>
#include <wchar.h>

#include <new>

namespace {

const WCHAR kTalmKey[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\TALM\\");
const WCHAR kUpgradeValue[] = TEXT("InstalledTALM_DCB_Upgrade");
const WCHAR kDcbExecutable[] = TEXT("OrvexDCB.exe");
const int kSystemDirectorySize = 260;
// The system directory, a backslash, the executable's name, two quotes, a blank and a switch.
const int kCommandLineSize = 262;
const int kRetrySeconds = 1;

}  // namespace

InstallerUpdates::InstallerUpdates() {
    DebugTrace(TEXT("Entering InstallerUpdates::InstallerUpdates()"));
    DebugTrace(TEXT("Exiting InstallerUpdates::InstallerUpdates()"));
}

InstallerUpdates::~InstallerUpdates() {
    DebugTrace(TEXT("Entering InstallerUpdates::~InstallerUpdates()"));
    if (!WaitForStop()) {
        DebugTrace(TEXT("ERROR:  Unable to stop the monitor!"));
    }
    DebugTrace(TEXT("Exiting InstallerUpdates::~InstallerUpdates()"));
}

bool InstallerUpdates::SpawnThread() {
    return SpawnWorker(ThreadProc, TEXT("Exiting InstallerUpdates::SpawnThread()"));
}

DWORD WINAPI InstallerUpdates::ThreadProc(LPVOID pParameter) {
    InstallerUpdates* pMonitor = static_cast<InstallerUpdates*>(pParameter);
    if (pMonitor == NULL) {
        return 1;
    }
    pMonitor->DoMonitor();
    return 0;
}

bool InstallerUpdates::DoMonitor() {
    DebugTrace(TEXT("Entering InstallerUpdates::DoMonitor()"));
    SetState(MONITOR_RUNNING);
    for (;;) {
        if (!IsDCBUpdateReqd()) {
            break;
        }
        if (IsDcbServiceRunning() && CompleteDcbUpgrade()) {
            break;
        }
        if (CheckForStopCommand(kRetrySeconds)) {
            break;
        }
    }
    // The last line before the state says stopped: whoever waits for that has the whole trace.
    DebugTrace(TEXT("Exiting InstallerUpdates::DoMonitor()"));
    SetState(MONITOR_STOPPED);
    return true;
}

bool InstallerUpdates::IsDCBUpdateReqd() {
    DebugTrace(TEXT("Entering IsDCBUpdateReqd"));
    bool bRequired = false;
    CZelRegKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, kTalmKey, false)) {
        DebugTrace(TEXT("No TALM key located"));
    } else {
        DWORD dwUpgrade = 0;
        if (!key.GetValue(kUpgradeValue, dwUpgrade) || dwUpgrade != 1) {
            DebugTrace(TEXT("No DCB Upgrade required"));
        } else if (CHelper().IsFCoEDisklessInstall()) {
            DebugTrace(TEXT("This is fcoe diskless - don't do anything"));
        } else {
            DebugTrace(TEXT("Detected DCB Update Required"));
            bRequired = true;
        }
        key.Close();
    }
    DebugTrace(TEXT("Exiting IsDcbUpdateReqd"));
    return bRequired;
}

bool InstallerUpdates::IsDcbServiceRunning() {
    DebugTrace(TEXT("Entering IsDcbServiceRunning"));
    bool bRunning = CHelper().IsServiceRunning(HELPER_SERVICE_DCB);
    if (bRunning) {
        DebugTrace(TEXT("The DCB Service is running"));
    }
    DebugTrace(TEXT("Exiting IsDcbServiceRunning"));
    return bRunning;
}

bool InstallerUpdates::CompleteDcbUpgrade() {
    DebugTrace(TEXT("Entering CompleteDcbUpgrade"));
    bool bSuccess = false;
    WCHAR szSystemDirectory[kSystemDirectorySize] = {};
    WCHAR szCommandLine[kCommandLineSize] = {};
    GetSystemDirectoryW(szSystemDirectory, kSystemDirectorySize);
    swprintf_s(szCommandLine, kCommandLineSize, TEXT("\"%s\\%s\" %s"), szSystemDirectory,
               kDcbExecutable, TEXT("/Unreg"));
    if (!ExecuteCommand(szCommandLine, true, szSystemDirectory)) {
        DebugTrace(TEXT("Unable to unregister the DCB service"));
    } else {
        swprintf_s(szCommandLine, kCommandLineSize, TEXT("\"%s\\%s\" %s"), szSystemDirectory,
                   kDcbExecutable, TEXT("/RegServer"));
        if (!ExecuteCommand(szCommandLine, true, szSystemDirectory)) {
            DebugTrace(TEXT("Unable to restart the DCB service"));
        } else {
            // The flag goes only once both commands ran, so an interrupted upgrade is repeated
            // at the next start; a flag that cannot be cleared does not undo the upgrade.
            CZelRegKey key;
            if (key.Open(HKEY_LOCAL_MACHINE, kTalmKey, true)) {
                if (!key.SetValue(kUpgradeValue, static_cast<DWORD>(0))) {
                    DebugTrace(TEXT("ERROR:  Unable to set the DCB Update key to 0"));
                }
                if (!key.DeleteValue(kUpgradeValue)) {
                    DebugTrace(TEXT("ERROR:  Unable to delete the key upon completion"));
                }
                key.Close();
            }
            bSuccess = true;
        }
    }
    DebugTrace(TEXT("Exiting CompleteDcbUpgrade"));
    return bSuccess;
}

bool InstallerUpdates::ExecuteCommand(const CZelString& strCommandLine, bool bWait,
                                      const CZelString& strDirectory) {
    DebugTrace(TEXT("Entering ExecuteCommand - %s"), strCommandLine.c_str());
    // CreateProcessW may write into the command line it is given.
    size_t nSize = strCommandLine.size() + 1;
    WCHAR* pszCommandLine = new (std::nothrow) WCHAR[nSize];
    if (pszCommandLine == NULL) {
        return false;
    }
    wcscpy_s(pszCommandLine, nSize, strCommandLine.c_str());
    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo = {};
    BOOL bCreated = CreateProcessW(NULL, pszCommandLine, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL,
                                   strDirectory.c_str(), &startupInfo, &processInfo);
    delete[] pszCommandLine;
    if (!bCreated) {
        return false;
    }
    CZelKernelHandle hThread(processInfo.hThread);
    CZelKernelHandle hProcess(processInfo.hProcess);
    if (bWait) {
        WaitForSingleObject(hProcess, INFINITE);
    }
    hThread.Reset();
    hProcess.Reset();
    DebugTrace(TEXT("Exiting ExecuteCommand"));
    return true;
}
