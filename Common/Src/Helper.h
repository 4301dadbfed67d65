// CHelper: a stateless helper made on the stack wherever a check is needed: which of the maker's
// components the installer put on the machine, whether one of their services runs, component
// paths and languages recorded in the registry, and the loading of the components' libraries.
#pragma once

#include <windows.h>

#include "ZelString.h"

// Services IsServiceRunning can test.
#define HELPER_SERVICE_DCB 0
#define HELPER_SERVICE_FCOE_DCB 1
#define HELPER_SERVICE_ISCSI 2

class __declspec(dllexport) CHelper {
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

    // Loads one of our libraries by base name (directory, language code and ".DLL" optional) from
    // the directory the installer recorded for it; a name we do not know, or whose directory is
    // not recorded, goes to the system's search order. The caller frees the module.
    static HMODULE QMLoadLibrary(CZelString strLibrary);
    // `strName`: the file name without directory and ".DLL"; `strBase`: that name without the
    // installation's language code. Always true.
    static bool StripLibraryName(CZelString strPath, CZelString& strName, CZelString& strBase);

    // The "InstalledDir" of an agent's own key.
    bool GetAgentInstalledDir(CZelString strAgent, CZelString& strDir);
    // The installation's language code ("enu"); 0 if read, -1 otherwise.
    int GetInstalledLanguage(CZelString& strLanguage);

private:
    // Whether the TALM key's string value `pszValue` is "1"; the trace texts name the caller.
    bool IsComponentInstalled(const WCHAR* pszValue, const WCHAR* pszNoKey, const WCHAR* pszNoValue,
                              const WCHAR* pszNotInstalled);
};

// The local system's language code ("enu"); 0 if read, -1 otherwise.
__declspec(dllexport) int GetLocalLanguage(CZelString& strLanguage);
// The ANSI code page of a locale; of 0, the system's current one.
__declspec(dllexport) DWORD GetCodePage(DWORD dwLocale);
