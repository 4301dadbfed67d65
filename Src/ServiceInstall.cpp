// Installation and removal of the service ("-i" and "-u"): each operation opens and closes its
// own handles, and nothing survives between calls.
#include "TarvikMonitor.h"

#include "ZelDebug.h"
#include "ZelScopedHandle.h"
#include "ZelSecure.h"

#include <wchar.h>

namespace {

const WCHAR kSourceFile[] = TEXT("Src\\ServiceInstall");
const WCHAR kExecutableName[] = TEXT("OTarvikMonitor.exe");
const WCHAR kDatabase[] = TEXT("ServicesActive");
const UINT kDescriptionId = 101;
const int kPathSize = 260;
const DWORD kStatusPauseMs = 1000;
// One attempt: the stop control is sent at most once. Removal relies on this program's own
// handler, which reports stopped before the stop control returns; a service still stopping then
// is left registered rather than waited for.
const int kStatusAttempts = 1;

}  // namespace

bool InstallService() {
    DebugTrace(TEXT("Entering InstallService"));
    bool bSuccess = false;
    SC_HANDLE hSCManager = NULL;
    SC_HANDLE hService = NULL;

    // The directory it is run from, which need not hold the executable.
    WCHAR szPath[kPathSize] = {};
    GetCurrentDirectoryW(kPathSize, szPath);
    ZelSafeCat(kSourceFile, __LINE__, szPath, TEXT("\\"));
    ZelSafeCat(kSourceFile, __LINE__, szPath, kExecutableName);
    // Unquoted, a path with a blank would be tried piece by piece ("C:\Program.exe" first).
    CZelString strImagePath = szPath;
    if (wcschr(szPath, TEXT(' ')) != NULL) {
        strImagePath = CZelString(TEXT("\"")) + strImagePath + CZelString(TEXT("\""));
    }

    hSCManager = OpenSCManagerW(NULL, kDatabase, SC_MANAGER_ALL_ACCESS);
    if (hSCManager == NULL) {
        DebugTrace(TEXT("ERROR:  Unable to open the service control manager! - error=%d"),
                   GetLastError());
    } else {
        DebugTrace(TEXT("Successfully opened the service control manager"));
        hService = OpenServiceW(hSCManager, TARVIK_SERVICE_NAME, SERVICE_ALL_ACCESS);
        if (hService != NULL) {
            // Left as it is, whatever path it holds.
            DebugTrace(TEXT("WARNING:  Service already exists, skipping install."));
            bSuccess = true;
        } else {
            DebugTrace(TEXT("The service does not exist - creating it."));
            hService = CreateServiceW(hSCManager, TARVIK_SERVICE_NAME, TARVIK_SERVICE_NAME,
                                      SERVICE_CHANGE_CONFIG, SERVICE_WIN32_OWN_PROCESS,
                                      SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                      strImagePath.c_str(), NULL, NULL, NULL, NULL, NULL);
            if (hService == NULL) {
                DebugTrace(TEXT("ERROR:  Unable to create the service! - error=%d"),
                           GetLastError());
            } else {
                // A service created without its description stays installed; the result says
                // the installation did not complete.
                CZelString strDescription;
                if (!GetServiceDescription(strDescription)) {
                    DebugTrace(TEXT("ERROR:  Unable to retrieve the service description!"));
                } else {
                    SERVICE_DESCRIPTIONW description;
                    description.lpDescription = const_cast<LPWSTR>(strDescription.c_str());
                    if (!ChangeServiceConfig2W(hService, SERVICE_CONFIG_DESCRIPTION,
                                               &description)) {
                        DebugTrace(
                            TEXT("ERROR:  Unable to add a description to the service! - error=%d"),
                            GetLastError());
                    } else {
                        DebugTrace(TEXT("Successfully created the service."));
                        bSuccess = true;
                    }
                }
            }
        }
    }

    if (!DisposeHandlesForService(hSCManager, hService)) {
        DebugTrace(TEXT("ERROR:  Unable to close the service handle"));
        bSuccess = false;
    }
    DebugTrace(TEXT("Exiting InstallService - Success=%d"), bSuccess ? 1 : 0);
    return bSuccess;
}

bool GetServiceDescription(CZelString& strDescription) {
    DebugTrace(TEXT("Entering GetServiceDescription"));
    bool bSuccess = false;
    HMODULE hModule = GetModuleHandleW(NULL);
    if (hModule == NULL) {
        DebugTrace(TEXT("ERROR:  Unable to get the handle to retrieve the description!  Error=%d"),
                   GetLastError());
    } else {
        strDescription.LoadStringW(hModule, kDescriptionId);
        bSuccess = true;
    }
    DebugTrace(TEXT("Exiting GetServiceDescription - bSuccess=%d"), bSuccess ? 1 : 0);
    return bSuccess;
}

bool MarkServiceForDelete() {
    DebugTrace(TEXT("Entering MarkServiceForDelete"));
    bool bSuccess = false;
    SC_HANDLE hSCManager = NULL;
    SC_HANDLE hService = NULL;

    // No monitor runs in this process; the call only makes sure of it.
    if (!StopMonitors()) {
        DebugTrace(TEXT("ERROR:  Unable to stop the monitors!"));
    }
    if (!GetHandleToService(hSCManager, hService)) {
        DebugTrace(TEXT("ERROR:  Unable to retrieve service handle!"));
    } else if (!WaitOnStatus(hService, false)) {
        DebugTrace(TEXT("ERROR:  Unable to stop the service in the wait time provided"));
    } else if (!DeleteService(hService)) {
        DebugTrace(TEXT("ERROR:  Unable to delete the service! - error=%d"), GetLastError());
    } else {
        DebugTrace(TEXT("Succesfully deleted the service."));
        bSuccess = true;
    }

    if (!DisposeHandlesForService(hSCManager, hService)) {
        DebugTrace(TEXT("ERROR:  Unable to close the service handle"));
        bSuccess = false;
    }
    DebugTrace(TEXT("Exiting MarkServiceForDelete - Success=%d"), bSuccess ? 1 : 0);
    return bSuccess;
}

bool GetHandleToService(SC_HANDLE& hSCManager, SC_HANDLE& hService) {
    DebugTrace(TEXT("Entering GetHandleToService"));
    bool bSuccess = false;
    hSCManager = NULL;
    hService = NULL;
    hSCManager = OpenSCManagerW(NULL, kDatabase, SC_MANAGER_ALL_ACCESS);
    if (hSCManager == NULL) {
        DebugTrace(TEXT("ERROR:  Unable to open the service control manager! - error=%d"),
                   GetLastError());
    } else {
        DebugTrace(TEXT("Succesfully opened the service control manager."));
        hService = OpenServiceW(hSCManager, TARVIK_SERVICE_NAME, SERVICE_ALL_ACCESS);
        if (hService == NULL) {
            DebugTrace(TEXT("ERROR:  Unable to open the service! - error=%d"), GetLastError());
        } else {
            DebugTrace(TEXT("Succesfully opened the service."));
            bSuccess = true;
        }
    }
    DebugTrace(TEXT("Exiting GetHandlesForService - bSuccess=%d"), bSuccess ? 1 : 0);
    return bSuccess;
}

bool DisposeHandlesForService(SC_HANDLE& hSCManager, SC_HANDLE& hService) {
    DebugTrace(TEXT("Entering DisposeHandlesForService"));
    bool bSuccess = true;
    // Each closed here, whatever the other's close gives; the caller's copies are left as they are.
    CZelServiceHandle service(hService);
    CZelServiceHandle manager(hSCManager);
    if (!service.Close()) {
        DebugTrace(
            TEXT(
                "ERROR:  Unable the close the service handle!  Service was not deleted - error=%d"),
            GetLastError());
        bSuccess = false;
    }
    if (!manager.Close()) {
        DebugTrace(TEXT("ERROR:  Unable the close the service control manager handle! - error=%d"),
                   GetLastError());
        bSuccess = false;
    }
    DebugTrace(TEXT("Exiting DisposeHandlesForService - bSuccess=%d"), bSuccess ? 1 : 0);
    return bSuccess;
}

bool WaitOnStatus(SC_HANDLE hService, bool bStartService) {
    DebugTrace(TEXT("Entering WaitOnStatus - bStartService=%d"), bStartService ? 1 : 0);
    bool bChanged = false;
    if (hService == NULL) {
        DebugTrace(TEXT("EEROR:  handle to the service is NULL!"));
        DebugTrace(TEXT("Exiting WaitOnStatus - bServiceChanged=%d"), 0);
        return false;
    }
    DWORD dwPendingState = bStartService ? SERVICE_START_PENDING : SERVICE_STOP_PENDING;
    DWORD dwTargetState = bStartService ? SERVICE_RUNNING : SERVICE_STOPPED;

    for (int nAttempt = 0; nAttempt < kStatusAttempts; ++nAttempt) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD dwNeeded = 0;
        if (!QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<LPBYTE>(&status), sizeof(status), &dwNeeded)) {
            DebugTrace(TEXT("ERROR:  Unable to get the current status of the service! - error=%d"),
                       GetLastError());
            break;
        }
        if (status.dwCurrentState == dwPendingState) {
            DebugTrace(TEXT("New status is pending.  Current State=%d"), status.dwCurrentState);
        } else if (status.dwCurrentState == dwTargetState) {
            DebugTrace(TEXT("New status is updated.  Current state=%d"), status.dwCurrentState);
            bChanged = true;
            break;
        } else if (!bStartService) {
            // The status the handler left when it returned: this program's handler has
            // reported stopped by then.
            SERVICE_STATUS controlStatus = {};
            if (!ControlService(hService, SERVICE_CONTROL_STOP, &controlStatus)) {
                DebugTrace(TEXT("ERROR:  Unable to send SERVICE_CONTROL_STOP command! - error=%d"),
                           GetLastError());
                break;
            }
            if (controlStatus.dwCurrentState == dwTargetState) {
                DebugTrace(TEXT("Successfully changed the status"));
                bChanged = true;
                break;
            }
        }
        // The start form only watches: this program never starts its own service.
        Sleep(kStatusPauseMs);
    }
    DebugTrace(TEXT("Exiting WaitOnStatus - bServiceChanged=%d"), bChanged ? 1 : 0);
    return bChanged;
}
