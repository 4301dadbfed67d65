// The service control manager's functions and the service side (dispatcher, handler, status).
#include <windows.h>

#include "FaceResult.h"

#include "Machine/Faults/Faults.h"
#include "Machine/Registry/RegFile.h"
#include "Machine/Services/ServiceDispatcher.h"
#include "Machine/Services/Services.h"

#include <cstring>

namespace {

// A service handle of this process with the access it needs, or the error why not.
DWORD ServiceOf(SC_HANDLE handle, DWORD access, sim::ServiceHandles::Entry* entry) {
    if (!sim::ServiceHandles::Get().Find(handle, entry) || entry->manager) {
        return ERROR_INVALID_HANDLE;
    }
    return (entry->access & access) == access ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

DWORD ManagerOf(SC_HANDLE handle, DWORD access, sim::ServiceHandles::Entry* entry) {
    if (!sim::ServiceHandles::Get().Find(handle, entry) || !entry->manager) {
        return ERROR_INVALID_HANDLE;
    }
    return (entry->access & access) == access ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Generic rights as the manager maps them for its own objects.
DWORD MapManagerAccess(DWORD access) {
    DWORD mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) {
        mapped |=
            STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    }
    if (access & GENERIC_WRITE) {
        mapped |= STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    }
    if (access & GENERIC_EXECUTE) {
        mapped |= STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    }
    if (access & GENERIC_ALL) {
        mapped |= SC_MANAGER_ALL_ACCESS;
    }
    return mapped | SC_MANAGER_CONNECT;
}

DWORD MapServiceAccess(DWORD access) {
    DWORD mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) {
        mapped |= STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                  SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS;
    }
    if (access & GENERIC_WRITE) {
        mapped |= STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG;
    }
    if (access & GENERIC_EXECUTE) {
        mapped |= STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                  SERVICE_USER_DEFINED_CONTROL;
    }
    if (access & GENERIC_ALL) {
        mapped |= SERVICE_ALL_ACCESS;
    }
    return mapped;
}

bool ValidServiceName(const std::u16string& name) {
    return !name.empty() && name.size() <= 256 &&
           name.find_first_of(u"\\/") == std::u16string::npos;
}

void CopyStatus(const sim::ServiceStatus& from, LPSERVICE_STATUS to) {
    to->dwServiceType = from.type;
    to->dwCurrentState = from.state;
    to->dwControlsAccepted = from.controlsAccepted;
    to->dwWin32ExitCode = from.exitCode;
    to->dwServiceSpecificExitCode = from.specificExitCode;
    to->dwCheckPoint = from.checkPoint;
    to->dwWaitHint = from.waitHint;
}

// The access ControlService needs for a control; 0 for a control no caller may send.
DWORD ControlAccess(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            return SERVICE_STOP;
        case SERVICE_CONTROL_INTERROGATE:
            return SERVICE_INTERROGATE;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_PARAMCHANGE:
        case SERVICE_CONTROL_NETBINDADD:
        case SERVICE_CONTROL_NETBINDREMOVE:
        case SERVICE_CONTROL_NETBINDENABLE:
        case SERVICE_CONTROL_NETBINDDISABLE:
            return SERVICE_PAUSE_CONTINUE;
        default:
            return control >= 128 && control <= 255 ? SERVICE_USER_DEFINED_CONTROL : 0;
    }
}

// A handle to the named service, or with no name to the manager, with the access granted.
SC_HANDLE NewHandle(const std::u16string& name, DWORD access) {
    sim::ServiceHandles::Entry entry;
    entry.manager = name.empty();
    entry.name = name;
    entry.access = access;
    return static_cast<SC_HANDLE>(sim::ServiceHandles::Get().Add(entry));
}

}  // namespace

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                DWORD dwDesiredAccess) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("OpenSCManagerW", &error)) {
    } else if (lpMachineName != NULL && lpMachineName[0] != 0) {
        error = RPC_S_SERVER_UNAVAILABLE;  // the machine has no network
    } else if (lpDatabaseName != NULL &&
               !sim::RegNamesEqual(lpDatabaseName, SERVICES_ACTIVE_DATABASEW)) {
        error = ERROR_INVALID_NAME;
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return NULL;
    }
    return NewHandle(u"", MapManagerAccess(dwDesiredAccess));
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
    DWORD error = ERROR_SUCCESS;
    sim::ServiceHandles::Entry manager;
    sim::ServiceConfig config;
    if (sim::InjectedFault("OpenServiceW", &error)) {
    } else if ((error = ManagerOf(hSCManager, 0, &manager)) != ERROR_SUCCESS) {
    } else if (lpServiceName == NULL) {
        error = ERROR_INVALID_ADDRESS;
    } else if (!ValidServiceName(lpServiceName)) {
        error = ERROR_INVALID_NAME;
    } else {
        error = sim::services::Find(lpServiceName, &config);
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return NULL;
    }
    return NewHandle(config.name, MapServiceAccess(dwDesiredAccess));
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                                LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                                LPCWSTR lpServiceStartName, LPCWSTR lpPassword) {
    // Groups, tags, dependencies and accounts other than LocalSystem are not modelled.
    UNREFERENCED_PARAMETER(lpLoadOrderGroup);
    UNREFERENCED_PARAMETER(lpDependencies);
    UNREFERENCED_PARAMETER(lpPassword);
    DWORD error = ERROR_SUCCESS;
    sim::ServiceHandles::Entry manager;
    DWORD kind = dwServiceType & ~SERVICE_INTERACTIVE_PROCESS;
    if (sim::InjectedFault("CreateServiceW", &error)) {
    } else if ((error = ManagerOf(hSCManager, 0, &manager)) != ERROR_SUCCESS) {
    } else if (lpServiceName == NULL) {
        error = ERROR_INVALID_ADDRESS;
    } else if ((manager.access & SC_MANAGER_CREATE_SERVICE) == 0) {
        error = ERROR_ACCESS_DENIED;
    } else if (!ValidServiceName(lpServiceName)) {
        error = ERROR_INVALID_NAME;
    } else if ((kind != SERVICE_WIN32_OWN_PROCESS && kind != SERVICE_WIN32_SHARE_PROCESS &&
                kind != SERVICE_KERNEL_DRIVER && kind != SERVICE_FILE_SYSTEM_DRIVER) ||
               dwStartType > SERVICE_DISABLED || dwErrorControl > SERVICE_ERROR_CRITICAL ||
               lpBinaryPathName == NULL || lpBinaryPathName[0] == 0 || lpdwTagId != NULL) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        sim::ServiceConfig config;
        config.name = lpServiceName;
        config.displayName = lpDisplayName != NULL ? lpDisplayName : u"";
        config.imagePath = lpBinaryPathName;
        config.objectName = lpServiceStartName != NULL ? lpServiceStartName : u"";
        config.type = dwServiceType;
        config.start = dwStartType;
        config.errorControl = dwErrorControl;
        error = sim::services::Create(config);
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return NULL;
    }
    return NewHandle(lpServiceName, MapServiceAccess(dwDesiredAccess));
}

BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
    DWORD error = ERROR_SUCCESS;
    sim::ServiceHandles::Entry entry;
    if (sim::InjectedFault("ChangeServiceConfig2W", &error)) {
    } else if ((error = ServiceOf(hService, SERVICE_CHANGE_CONFIG, &entry)) != ERROR_SUCCESS) {
    } else if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION) {
        error = ERROR_INVALID_LEVEL;  // the machine keeps descriptions only
    } else if (lpInfo == NULL) {
        error = ERROR_INVALID_ADDRESS;
    } else {
        // A null description leaves the description unchanged, as on Windows.
        const SERVICE_DESCRIPTIONW* info = static_cast<const SERVICE_DESCRIPTIONW*>(lpInfo);
        if (info->lpDescription != NULL) {
            error = sim::services::SetDescription(entry.name, info->lpDescription);
        }
    }
    return BoolResult(error);
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
    DWORD error = ERROR_SUCCESS;
    sim::ServiceHandles::Entry entry;
    if (!sim::InjectedFault("DeleteService", &error) &&
        (error = ServiceOf(hService, DELETE, &entry)) == ERROR_SUCCESS) {
        error = sim::services::MarkForDelete(entry.name);
    }
    return BoolResult(error);
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    DWORD error = ERROR_SUCCESS;
    sim::ServiceHandles::Entry entry;
    bool last = false;
    if (sim::InjectedFault("CloseServiceHandle", &error)) {
    } else if (!sim::ServiceHandles::Get().Close(hSCObject, &entry, &last)) {
        error = ERROR_INVALID_HANDLE;
    } else if (!entry.manager && last) {
        sim::services::RemoveIfMarked(entry.name);
    }
    return BoolResult(error);
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    DWORD error = ERROR_SUCCESS;
    sim::ServiceHandles::Entry entry;
    DWORD access = ControlAccess(dwControl);
    if (sim::InjectedFault("ControlService", &error)) {
    } else if (!sim::ServiceHandles::Get().Find(hService, &entry) || entry.manager) {
        error = ERROR_INVALID_HANDLE;
    } else if (access == 0) {
        error = ERROR_INVALID_PARAMETER;  // shutdown controls come from the system only
    } else if ((entry.access & access) != access) {
        error = ERROR_ACCESS_DENIED;
    } else if (lpServiceStatus == NULL) {
        error = ERROR_INVALID_ADDRESS;
    } else {
        sim::ServiceStatus status;
        error = sim::services::Control(entry.name, dwControl, &status);
        CopyStatus(status, lpServiceStatus);
    }
    return BoolResult(error);
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    DWORD error = ERROR_SUCCESS;
    sim::ServiceHandles::Entry entry;
    if (sim::InjectedFault("QueryServiceStatus", &error)) {
    } else if ((error = ServiceOf(hService, SERVICE_QUERY_STATUS, &entry)) != ERROR_SUCCESS) {
    } else if (lpServiceStatus == NULL) {
        error = ERROR_INVALID_ADDRESS;
    } else {
        CopyStatus(sim::services::Query(entry.name), lpServiceStatus);
    }
    return BoolResult(error);
}

BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer,
                                 DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
    DWORD error = ERROR_SUCCESS;
    sim::ServiceHandles::Entry entry;
    if (sim::InjectedFault("QueryServiceStatusEx", &error)) {
    } else if (InfoLevel != SC_STATUS_PROCESS_INFO) {
        error = ERROR_INVALID_LEVEL;
    } else if ((error = ServiceOf(hService, SERVICE_QUERY_STATUS, &entry)) != ERROR_SUCCESS) {
    } else if (pcbBytesNeeded == NULL) {
        error = ERROR_INVALID_ADDRESS;
    } else if (cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) {
        *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
        error = ERROR_INSUFFICIENT_BUFFER;
    } else if (lpBuffer == NULL) {
        error = ERROR_INVALID_ADDRESS;
    } else {
        sim::ServiceStatus status = sim::services::Query(entry.name);
        SERVICE_STATUS_PROCESS out;
        CopyStatus(status, reinterpret_cast<LPSERVICE_STATUS>(&out));
        out.dwProcessId = status.processId;
        out.dwServiceFlags = 0;
        std::memcpy(lpBuffer, &out, sizeof(out));
    }
    return BoolResult(error);
}

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("StartServiceCtrlDispatcherW", &error)) {
    } else if (lpServiceStartTable == NULL) {
        error = ERROR_INVALID_PARAMETER;
    } else if (lpServiceStartTable[0].lpServiceProc == NULL) {
        // An empty table: nothing to dispatch.
        error = ERROR_INVALID_PARAMETER;
    } else {
        error = sim::dispatcher::Run(lpServiceStartTable);
    }
    return BoolResult(error);
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName,
                                                           LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                           LPVOID lpContext) {
    // An own-process service's name is not checked: the process runs only that one.
    UNREFERENCED_PARAMETER(lpServiceName);
    DWORD error = ERROR_SUCCESS;
    SERVICE_STATUS_HANDLE handle = NULL;
    if (sim::InjectedFault("RegisterServiceCtrlHandlerExW", &error)) {
    } else if (lpHandlerProc == NULL) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        error = sim::dispatcher::RegisterHandler(lpHandlerProc, lpContext, &handle);
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return NULL;
    }
    return handle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus,
                             LPSERVICE_STATUS lpServiceStatus) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("SetServiceStatus", &error)) {
    } else if (lpServiceStatus == NULL) {
        error = ERROR_INVALID_ADDRESS;
    } else if (lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
               lpServiceStatus->dwCurrentState > SERVICE_PAUSED) {
        error = ERROR_INVALID_DATA;
    } else {
        error = sim::dispatcher::ReportStatus(hServiceStatus, *lpServiceStatus);
    }
    return BoolResult(error);
}
