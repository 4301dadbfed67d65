#include "TarvikMonitor.h"

#include "OSType.h"
#include "ZelDebug.h"
#include "ZelRegKey.h"
#include "ZelSecure.h"

#include <string.h>

// The process's static objects, in the order they must be built: the trace first, so that it
// outlives every monitor's destructor (each waits for its worker, which may still trace).
CZelDebug g_ZelDebug;
HyperVMonitor g_HyperVMonitor;
InstallerUpdates g_InstallerUpdates;
TarvikWarnings g_TarvikWarnings;

namespace {

const WCHAR kSourceFile[] = TEXT("Src\\TarvikMonitor");
const WCHAR kZel2Key[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2\\");
const WCHAR kRebootValue[] = TEXT("Reboot_Detected");
const WCHAR kTraceModule[] = TEXT("TALM");
const WCHAR kTraceFile[] = TEXT("TARVIKMonitor.txt");
const int kStopWaitSeconds = 30;
const DWORD kPollMs = 100;

typedef void(WINAPI* PFN_SetOaNoCache)(void);
// Its result means nothing to the service.
typedef DWORD(WINAPI* PFN_RegisterZel2)(void);

// Written by RunService (start) and the control handler (stop) only; the service control
// manager delivers no stop before the service runs, so the two never overlap.
DWORD g_dwCurrentState = SERVICE_STOPPED;
HANDLE g_hStopEvent = NULL;
SERVICE_STATUS_HANDLE g_hStatusHandle = NULL;
DWORD g_dwCheckPoint = 0;

// GetProcAddress hands out every export as a FARPROC; void(*)() converts to and from any
// function pointer type without a cast warning.
template <typename Function>
Function ExportOf(HMODULE hModule, LPCSTR pszName) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(hModule, pszName)));
}

// On a version-10 system a fresh boot lets the management software's setup library look for
// devices it has not registered yet. A missing library or export only skips the call.
void RegisterZel2OnWin10() {
    COSType osType;
    if (!osType.IsWin10()) {
        return;
    }
    DebugTrace(TEXT("Detected Win10 Setup on fresh boot"));
    // Stays loaded for the life of the process.
    HMODULE hSetup = LoadLibraryW(TEXT("ZEL2Setp.dll"));
    if (hSetup == NULL) {
        return;
    }
    PFN_RegisterZel2 pfnRegisterZel2 = ExportOf<PFN_RegisterZel2>(hSetup, "RegisterZel2");
    if (pfnRegisterZel2 == NULL) {
        return;
    }
    DebugTrace(TEXT("Calling SetupZEL2 to check for unregistred devices"));
    pfnRegisterZel2();
}

}  // namespace

int main(int argc, char* argv[]) {
    InitializeTrace();
    DisableCaching();
    DebugTrace(TEXT("Entering main"));
    g_dwCurrentState = SERVICE_STOPPED;
    g_hStopEvent = NULL;
    g_hStatusHandle = NULL;
    g_dwCheckPoint = 0;

    if (argc < 2) {
        WCHAR szName[] = TARVIK_SERVICE_NAME;
        SERVICE_TABLE_ENTRYW table[] = {{szName, RunService}, {NULL, NULL}};
        if (!StartServiceCtrlDispatcherW(table)) {
            DWORD dwError = GetLastError();
            if (dwError == ERROR_SERVICE_ALREADY_RUNNING) {
                DebugTrace(TEXT("WARNING:  The service is already running."));
            } else if (dwError == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
                DebugTrace(TEXT(
                    "ERROR:  The program is being run as a console application and not as a service."));
            } else {
                DebugTrace(TEXT("ERROR:  Unable to start the dispatcher - error=%d"), dwError);
            }
        }
    } else if (strcmp(argv[1], "-i") == 0 || strcmp(argv[1], "-install") == 0) {
        if (InstallService()) {
            DebugTrace(TEXT("Successfully installed the service"));
        } else {
            DebugTrace(TEXT("The service did not install."));
        }
    } else if (strcmp(argv[1], "-u") == 0 || strcmp(argv[1], "-uninstall") == 0) {
        if (MarkServiceForDelete()) {
            DebugTrace(TEXT("Successfully uninstalled the service."));
        } else {
            DebugTrace(TEXT("The service did not uninstall."));
        }
    } else {
        // The argument is narrow text in the ANSI code page; the trace is wide.
        LPWSTR pszArgument = NULL;
        CZelString::ZelMultiByteToWideChar_alloc(CP_ACP, 0, argv[1], pszArgument);
        DebugTrace(TEXT("Unexpected parameter - %s"), pszArgument != NULL ? pszArgument : TEXT(""));
        CZelString::ZelMultiByteToWideChar_dealloc(pszArgument);
    }

    DebugTrace(TEXT("Exiting main"));
    return 0;
}

void InitializeTrace() {
    WCHAR szFile[260] = {};
    ZelSafeCopy(kSourceFile, __LINE__, szFile, kTraceFile);
    // Append flag 0: every start of the program, also with a switch, begins a new file.
    g_ZelDebug.Configure(kTraceModule, szFile, ZEL_TRACE_ALL, 0, 0);
}

void DisableCaching() {
    DebugTrace(TEXT("Entering DisableCaching()"));
    // Never freed: the setting holds only while the library stays loaded.
    HMODULE hOleAut = LoadLibraryW(TEXT("OLEAUT32.DLL"));
    if (hOleAut == NULL) {
        DebugTrace(TEXT("ERROR:  Unable to load OLEAUT32.DLL!"));
    } else {
        PFN_SetOaNoCache pfnSetOaNoCache = ExportOf<PFN_SetOaNoCache>(hOleAut, "SetOaNoCache");
        if (pfnSetOaNoCache == NULL) {
            DebugTrace(TEXT("ERROR:  Unable to retrieve function!"));
        } else {
            pfnSetOaNoCache();
            DebugTrace(TEXT("Successfully disabled caching"));
        }
    }
    DebugTrace(TEXT("Exiting DisableCaching()"));
}

void WINAPI RunService(DWORD /*dwArgc*/, LPWSTR* /*lpszArgv*/) {
    DebugTrace(TEXT("Entering RunService"));
    g_hStatusHandle = RegisterServiceCtrlHandlerExW(TARVIK_SERVICE_NAME, ServiceCtrlHandler, NULL);
    if (g_hStatusHandle == NULL) {
        DebugTrace(TEXT("ERROR:  Unable to register service control handler."));
    } else {
        ReportStatus(SERVICE_START_PENDING);
        g_hStopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (g_hStopEvent == NULL) {
            DebugTrace(TEXT("Stop event is NULL - error=%d"), GetLastError());
            ReportStatus(SERVICE_STOPPED);
            return;
        }
        DebugTrace(TEXT("Created a stop event."));
        if (!StartMonitors()) {
            ReportStatus(SERVICE_STOPPED);
        } else {
            // The handler carries out the stop and nothing signals this event: the thread waits
            // here until the process ends.
            WaitForSingleObject(g_hStopEvent, INFINITE);
        }
    }
    DebugTrace(TEXT("Exiting RunService"));
}

DWORD WINAPI ServiceCtrlHandler(DWORD dwControl, DWORD /*dwEventType*/, LPVOID /*lpEventData*/,
                                LPVOID /*lpContext*/) {
    DebugTrace(TEXT("Entering ServiceCtrlHandler - dwCode=%d"), dwControl);
    if (dwControl == SERVICE_CONTROL_PRESHUTDOWN || dwControl == SERVICE_CONTROL_SHUTDOWN) {
        DebugTrace(TEXT("Received pre-shutdown event"));
        // The next start sees an orderly shutdown and reports the management warnings.
        CZelRegKey key;
        if (key.Open(HKEY_LOCAL_MACHINE, kZel2Key, true)) {
            key.SetValue(kRebootValue, static_cast<DWORD>(1));
            key.Close();
        } else {
            DebugTrace(TEXT("ERROR: Unable to open reg key"));
        }
    }
    if (dwControl == SERVICE_CONTROL_PRESHUTDOWN || dwControl == SERVICE_CONTROL_STOP ||
        dwControl == SERVICE_CONTROL_SHUTDOWN) {
        DebugTrace(TEXT("Stopping the service"));
        ReportStatus(SERVICE_STOP_PENDING);
        // A monitor that does not stop leaves the service stop-pending: reporting stopped would
        // end the process under a worker that still runs.
        if (StopMonitors()) {
            ReportStatus(SERVICE_STOPPED);
        }
    }
    DebugTrace(TEXT("Exiting ServiceCtrlHandler"));
    return NO_ERROR;
}

void ReportStatus(DWORD dwCurrentState) {
    DebugTrace(TEXT("Entering ReportStatus - dwCurrentState=%d"), dwCurrentState);
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = dwCurrentState;
    // No control is taken while a start or a stop is under way.
    if (dwCurrentState == SERVICE_START_PENDING || dwCurrentState == SERVICE_STOP_PENDING) {
        status.dwControlsAccepted = 0;
    } else {
        status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;
    }
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    status.dwWaitHint = 0;
    if (dwCurrentState == SERVICE_RUNNING || dwCurrentState == SERVICE_STOPPED) {
        g_dwCheckPoint = 0;
    } else {
        ++g_dwCheckPoint;
    }
    status.dwCheckPoint = g_dwCheckPoint;
    SetServiceStatus(g_hStatusHandle, &status);
    g_dwCurrentState = dwCurrentState;
    DebugTrace(TEXT("Exiting ReportStatus"));
}

bool StartMonitors() {
    DebugTrace(TEXT("Entering StartMonitors()"));
    bool bSuccess = true;
    ReportStatus(SERVICE_START_PENDING);

    DebugTrace(TEXT("Starting the hyper-V monitor"));
    if (!g_HyperVMonitor.StartMonitor()) {
        DebugTrace(TEXT("ERROR:  Unable to start the hyper-v monitor"));
        bSuccess = false;
    }
    DebugTrace(TEXT("Starting the upgrade monitor"));
    if (!g_InstallerUpdates.StartMonitor()) {
        // Worded as the other monitors' start failures.
        DebugTrace(TEXT("ERROR:  Unable to start the upgrade monitor"));
        bSuccess = false;
    }

    // The marker is consumed whatever it held, so only the first start after a pre-shutdown
    // counts as a fresh boot.
    bool bFreshBoot = false;
    CZelRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kZel2Key, true)) {
        DWORD dwReboot = 0;
        if (key.GetValue(kRebootValue, dwReboot) && dwReboot == 1) {
            DebugTrace(TEXT("Fresh reboot detected"));
            bFreshBoot = true;
        }
        key.DeleteValue(kRebootValue);
        key.Close();
    }
    if (bFreshBoot) {
        RegisterZel2OnWin10();
        DebugTrace(TEXT("Starting the tarvik warnings monitor"));
        if (!g_TarvikWarnings.StartMonitor()) {
            DebugTrace(TEXT("ERROR:  Unable to start the tarvik warnings monitor"));
            bSuccess = false;
        }
    }

    if (bSuccess) {
        ReportStatus(SERVICE_RUNNING);
    }
    return bSuccess;
}

bool StopMonitors() {
    DebugTrace(TEXT("Entering StopMonitors()"));
    bool bSuccess = true;
    ReportStatus(SERVICE_STOP_PENDING);

    // Each StopMonitor only starts a stopper thread; the wait below sees them end.
    DebugTrace(TEXT("Stopping the hyper-V monitor"));
    if (!g_HyperVMonitor.StopMonitor()) {
        DebugTrace(TEXT("ERROR:  Unable to stop the hyper-v monitor"));
        bSuccess = false;
    }
    ReportStatus(SERVICE_STOP_PENDING);
    DebugTrace(TEXT("Stopping the upgrade monitor"));
    if (!g_InstallerUpdates.StopMonitor()) {
        DebugTrace(TEXT("ERROR:  Unable to stop the upgrade monitor"));
        bSuccess = false;
    }
    ReportStatus(SERVICE_STOP_PENDING);

    // Every poll reports a new checkpoint, so the service control manager sees progress.
    bool bStopped = false;
    DWORD dwStart = GetTickCount();
    while (SecondsSince(dwStart) <= static_cast<DWORD>(kStopWaitSeconds)) {
        bool bHyperVRunning = g_HyperVMonitor.IsRunning();
        bool bUpgradeRunning = g_InstallerUpdates.IsRunning();
        ReportStatus(SERVICE_STOP_PENDING);
        if (!bHyperVRunning && !bUpgradeRunning) {
            bStopped = true;
            break;
        }
        Sleep(kPollMs);
    }
    if (!bStopped) {
        DebugTrace(TEXT("ERROR:  Maximum timeout exceeded in waiting for monitors to stop"));
        bSuccess = false;
    }
    DebugTrace(TEXT("Exiting StopMonitor() - bSuccess=%d"), bSuccess ? 1 : 0);
    return bSuccess;
}
