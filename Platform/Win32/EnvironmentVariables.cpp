#include <windows.h>

#include "Machine/Processes/Environment.h"
#include "Machine/Faults/Faults.h"
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
