#include <windows.h>

#include "Machine/Faults.h"
#include "Machine/Handles.h"

BOOL WINAPI CloseHandle(HANDLE hObject) {
    DWORD error = ERROR_SUCCESS;
    if (!sim::InjectedFault("CloseHandle", &error) && !sim::HandleTable::Get().Close(hObject)) {
        error = ERROR_INVALID_HANDLE;
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
