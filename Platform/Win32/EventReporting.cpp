#include <windows.h>

#include "FaceResult.h"

#include "Machine/Services/EventLog.h"
#include "Machine/Faults/Faults.h"

#include <new>

namespace {

bool IsLocalComputer(LPCWSTR server) {
    return server == nullptr || *server == 0 || std::u16string(server) == u"\\\\.";
}

}  // namespace

HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
    DWORD error = ERROR_SUCCESS;
    HANDLE source = nullptr;
    if (sim::InjectedFault("RegisterEventSourceW", &error)) {
    } else if (!IsLocalComputer(lpUNCServerName)) {
        error = RPC_S_SERVER_UNAVAILABLE;
    } else if (lpSourceName == nullptr) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        try {
            source = sim::EventLog::Get().Register(lpSourceName);
        } catch (const std::bad_alloc&) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    if (source == nullptr) {
        SetLastError(error);
    }
    return source;
}

BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                         PSID lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings,
                         LPVOID lpRawData) {
    (void)lpUserSid;  // no account has a SID on this machine; records carry none
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("ReportEventW", &error)) {
        return FailWith(error);
    }
    sim::EventRecord record;
    if (!sim::EventLog::Get().SourceOf(hEventLog, &record.source)) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if ((wNumStrings > 0 && lpStrings == nullptr) || (dwDataSize > 0 && lpRawData == nullptr)) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    try {
        record.type = wType;
        record.category = wCategory;
        record.eventId = dwEventID;
        for (WORD i = 0; i < wNumStrings; ++i) {
            if (lpStrings[i] == nullptr) {
                return FailWith(ERROR_INVALID_PARAMETER);
            }
            record.strings.emplace_back(lpStrings[i]);
        }
        const BYTE* data = static_cast<const BYTE*>(lpRawData);
        record.data.assign(data, data + dwDataSize);
        sim::EventLog::Get().Append(record);
    } catch (const std::bad_alloc&) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("DeregisterEventSource", &error)) {
        return FailWith(error);
    }
    if (!sim::EventLog::Get().Deregister(hEventLog)) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}
