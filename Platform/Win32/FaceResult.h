// How a face that returns BOOL ends: the last error is set once, and only on failure, as the
// Windows functions do.
#pragma once

#include <windows.h>

inline BOOL FailWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

inline BOOL BoolResult(DWORD error) {
    return error == ERROR_SUCCESS ? TRUE : FailWith(error);
}
