#include <windows.h>

#include "Machine/Environment.h"
#include "Machine/Faults.h"
#include "Machine/Machine.h"

#include <new>
#include <optional>
#include <string>

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("GetEnvironmentVariableW", &error)) {
        SetLastError(error);
        return 0;
    }
    std::optional<std::u16string> value;
    try {
        if (lpName != NULL) {
            value = sim::Machine::Get().Env().Get(lpName);
        }
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    if (!value) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    DWORD length = static_cast<DWORD>(value->size());
    if (nSize <= length) {
        return length + 1;  // the room needed, with the terminator; the buffer is left alone
    }
    value->copy(lpBuffer, length);
    lpBuffer[length] = 0;
    return length;
}

BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("SetEnvironmentVariableW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (lpName == NULL) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return FALSE;
    }
    try {
        std::u16string name(lpName);
        // "=C:" style names (the per-drive directories) may start with '='; no other may hold one.
        if (name.empty() || name.find(u'=', 1) != std::u16string::npos) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        std::optional<std::u16string> value;
        if (lpValue != NULL) {
            value = std::u16string(lpValue);
        }
        sim::Machine::Get().Env().Set(name, value);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}
