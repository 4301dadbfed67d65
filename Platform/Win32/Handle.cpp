#include <windows.h>

#include "FaceResult.h"

#include "Machine/Faults/Faults.h"
#include "Machine/Processes/Handles.h"

BOOL WINAPI CloseHandle(HANDLE hObject) {
    DWORD error = ERROR_SUCCESS;
    if (!sim::InjectedFault("CloseHandle", &error) && !sim::HandleTable::Get().Close(hObject)) {
        error = ERROR_INVALID_HANDLE;
    }
    return BoolResult(error);
}
