// CHelper: a stateless helper made on the stack wherever a check is needed: which of the maker's
// components the installer put on the machine, whether one of their services runs, and component
// paths recorded in the registry.
#pragma once

#include <windows.h>

#include "ZelString.h"

// Services IsServiceRunning can test.
#define HELPER_SERVICE_DCB 0
#define HELPER_SERVICE_FCOE_DCB 1
#define HELPER_SERVICE_ISCSI 2

class CHelper {
public:
    CHelper();
    virtual bool IsDcbInstalled();
    virtual bool IsFcoeInstalled();
    virtual bool IsIscsiInstalled();
    virtual ~CHelper();

    // "HwResourceOwner" = 1 under the FCoE service's parameters.
    bool IsFCoEDisklessInstall();
    // True only when the service of `nService` (HELPER_SERVICE_...) could be queried and runs.
    bool IsServiceRunning(int nService);

    // A string value of a key under HKEY_LOCAL_MACHINE; `strOut` is untouched on failure.
    static bool GetPathFromRegistry(CZelString strKey, CZelString strValue, CZelString& strOut);

private:
    // Whether the TALM key's string value `pszValue` is "1"; the trace texts name the caller.
    bool IsComponentInstalled(const WCHAR* pszValue, const WCHAR* pszNoKey, const WCHAR* pszNoValue,
                              const WCHAR* pszNotInstalled);
};
