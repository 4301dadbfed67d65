// The support library's handle owners under the short names the tests and tools use. Included by
// its path: the Platform suites and tarvik-sim do not link the support library.
#pragma once

#include "../../Common/Src/ZelScopedHandle.h"

namespace test {

typedef CZelKeyHandle ScopedKey;
typedef CZelKernelHandle ScopedHandle;
typedef CZelServiceHandle ScopedService;

// Sets the REG_DWORD `name` of HKEY_LOCAL_MACHINE's `key` (made if missing) in `view`: the first
// error, or ERROR_SUCCESS.
inline LONG SetDword(const WCHAR* key, const WCHAR* name, DWORD value, REGSAM view = 0) {
    ScopedKey handle;
    LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_ALL_ACCESS | view, NULL,
                                 handle.Receive(), NULL);
    return error != ERROR_SUCCESS ? error
                                  : RegSetValueExW(handle, name, 0, REG_DWORD,
                                                   reinterpret_cast<const BYTE*>(&value), 4);
}

}  // namespace test
