#include "Helper.h"

#include "ZelDebug.h"
#include "ZelRegKey.h"
#include "ZelScopedHandle.h"

#include <stdlib.h>
#include <winsvc.h>

namespace {

const WCHAR kTalmKey[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\TALM\\");
const WCHAR kTalmLanguageKey[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\TALM");
const WCHAR kZel2Key[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2");
const WCHAR kAgentsKey[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2\\Agents\\");
const WCHAR kFcoeParametersKey[] = TEXT("SYSTEM\\CurrentControlSet\\Services\\OFCoES\\Parameters");

const WCHAR* const kServiceNames[] = {
    TEXT("OrvexDCB"),  // HELPER_SERVICE_DCB
    TEXT("OFCoEDCB"),  // HELPER_SERVICE_FCOE_DCB
    TEXT("MSiSCSI"),   // HELPER_SERVICE_ISCSI
};

// Our libraries by where their directory is recorded, in the order QMLoadLibrary tries them.
// "DcbAgent" is in both agent lists: older installations gave it no key of its own.
const WCHAR* const kOwnKeyAgents[] = {
    TEXT("NetAgent"),  TEXT("TeamAgent"), TEXT("VlanAgent"), TEXT("DiagAgent"),
    TEXT("BootAgent"), TEXT("StorAgent"), TEXT("DcbAgent"),
};
const WCHAR* const kCommonDirAgents[] = {
    TEXT("DcbAgent"), TEXT("FcoeAgent"), TEXT("IscsiAgent"), TEXT("QosAgent"), TEXT("PowerAgent"),
};
const WCHAR* const kServiceLibraries[] = {
    TEXT("TalmSvc"),
    TEXT("TalmCfg"),
    TEXT("TalmDcb"),
    TEXT("TalmUpd"),
};
// Compared without their language code.
const WCHAR* const kResourceLibraries[] = {
    TEXT("DaruvuZar"), TEXT("ZelRes"),  TEXT("AgentRes"), TEXT("SetupRes"),
    TEXT("TalmRes"),   TEXT("DiagRes"), TEXT("HelpRes"),
};
const WCHAR* const kSystemLibraries[] = {
    TEXT("ZelCore"),  TEXT("ZelWbem"),  TEXT("ZelNdis"),
    TEXT("setupapi"), TEXT("iphlpapi"), TEXT("netapi32"),
};

template <size_t N>
bool IsListed(const WCHAR* const (&names)[N], const CZelString& strName) {
    for (size_t i = 0; i < N; ++i) {
        CZelString strListed(names[i]);
        if (strListed.CompareI(strName)) {
            return true;
        }
    }
    return false;
}

void AppendBackslash(CZelString& strPath) {
    if (strPath.empty() || strPath[strPath.size() - 1] != TEXT('\\')) {
        strPath += TEXT("\\");
    }
}

bool EndsWithUpper(CZelString strText, CZelString strEnd) {
    strText.MakeUpper();
    strEnd.MakeUpper();
    return strText.size() >= strEnd.size() &&
           strText.compare(strText.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
}

// One string value of a key under HKEY_LOCAL_MACHINE, without a trace of its own.
bool ReadString(const CZelString& strKey, const WCHAR* pszValue, CZelString& strOut) {
    CZelRegKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, strKey, false)) {
        return false;
    }
    bool bRead = key.GetValue(pszValue, strOut);
    key.Close();
    return bRead;
}

}  // namespace

CHelper::CHelper() {}

CHelper::~CHelper() {}

bool CHelper::IsComponentInstalled(const WCHAR* pszValue, const WCHAR* pszNoKey,
                                   const WCHAR* pszNoValue, const WCHAR* pszNotInstalled) {
    CZelRegKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, kTalmKey, false)) {
        g_ZelDebug.Print(TEXT("%s"), pszNoKey);
        return false;
    }
    CZelString strInstalled;
    if (!key.GetValue(pszValue, strInstalled)) {
        g_ZelDebug.Print(TEXT("%s"), pszNoValue);
        return false;
    }
    if (!(strInstalled == TEXT("1"))) {
        g_ZelDebug.Print(TEXT("%s"), pszNotInstalled);
        return false;
    }
    return true;
}

bool CHelper::IsDcbInstalled() {
    CZelTraceScope scope(TEXT("CHelper::IsDcbInstalled"));
    return IsComponentInstalled(
        TEXT("InstalledTALM_DCB"),
        TEXT("IsDcbInstalled() - Unable to open the TALM registry key - exiting"),
        TEXT(
            "IsDcbInstalled() - Unable to open the DCB installation status registry value - exiting"),
        TEXT("IsDcbInstalled() - DCB was not installed - exiting"));
}

bool CHelper::IsFcoeInstalled() {
    CZelTraceScope scope(TEXT("CHelper::IsFcoeInstalled"));
    return IsComponentInstalled(
        TEXT("InstalledTALM_FCOE"),
        TEXT("IsFcoeInstalled() - Unable to open the TALM registry key - exiting"),
        TEXT(
            "IsFcoeInstalled() - Unable to open the Fcoe installation status registry value - exiting"),
        TEXT("IsFcoeInstalled() - fcoe was not installed - exiting"));
}

bool CHelper::IsIscsiInstalled() {
    CZelTraceScope scope(TEXT("CHelper::IsIscsiInstalled"));
    return IsComponentInstalled(
        TEXT("InstalledTALM_ISCSI"),
        TEXT("IsIscsiInstalled() - Unable to open the TALM registry key - exiting"),
        TEXT(
            "IsIscsiInstalled() - Unable to open the iSCSI installation status registry value - exiting"),
        TEXT("IsIscsiInstalled() - iSCSI was not installed - exiting"));
}

bool CHelper::IsFCoEDisklessInstall() {
    bool bDiskless = false;
    CZelTraceScope scope(TEXT("CHelper::IsFCoEDisklessInstall"), &bDiskless);
    CZelRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kFcoeParametersKey, true)) {
        DWORD dwOwner = 0;
        bDiskless = key.GetValue(TEXT("HwResourceOwner"), dwOwner) && dwOwner == 1;
        key.Close();
    }
    return bDiskless;
}

bool CHelper::IsServiceRunning(int nService) {
    // Another selector leaves the name empty, and no service has that name.
    const WCHAR* pszName = TEXT("");
    if (nService >= 0 &&
        nService < static_cast<int>(sizeof(kServiceNames) / sizeof(*kServiceNames))) {
        pszName = kServiceNames[nService];
    }
    bool bRunning = false;
    CZelServiceHandle hManager(OpenSCManagerW(NULL, NULL, GENERIC_READ));
    CZelServiceHandle hService;
    if (hManager) {
        hService.Reset(OpenServiceW(hManager, pszName, GENERIC_READ));
    }
    if (hService) {
        SERVICE_STATUS status = {};
        bRunning =
            QueryServiceStatus(hService, &status) && status.dwCurrentState == SERVICE_RUNNING;
    }
    return bRunning;  // the service closed before the manager
}

bool CHelper::GetPathFromRegistry(CZelString strKey, CZelString strValue, CZelString& strOut) {
    bool bSuccess = false;
    CZelTraceScope scope(TEXT("CHelper::GetPathFromRegistry"), &bSuccess);
    CZelRegKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, strKey, false)) {
        g_ZelDebug.Print(TEXT("GetPathFromRegistry() - Unable to open the registry key - exiting"));
        return bSuccess;
    }
    CZelString strPath;
    if (!key.GetValue(strValue, strPath)) {
        g_ZelDebug.Print(
            TEXT("GetPathFromRegistry() - Unable to open the registry value - exiting"));
        return bSuccess;
    }
    strOut = strPath;
    bSuccess = true;
    return bSuccess;
}

bool CHelper::GetAgentInstalledDir(CZelString strAgent, CZelString& strDir) {
    return ReadString(CZelString(kAgentsKey) + strAgent, TEXT("InstalledDir"), strDir);
}

int CHelper::GetInstalledLanguage(CZelString& strLanguage) {
    return ReadString(kZel2Key, TEXT("InstalledLangShortString"), strLanguage) ? 0 : -1;
}

int GetLocalLanguage(CZelString& strLanguage) {
    return ReadString(kTalmLanguageKey, TEXT("LocalLanguage"), strLanguage) ? 0 : -1;
}

bool CHelper::StripLibraryName(CZelString strPath, CZelString& strName, CZelString& strBase) {
    CZelTraceScope scope(TEXT("CHelper::StripLibraryName"));
    strName = strPath;
    if (EndsWithUpper(strName, TEXT(".DLL"))) {
        strName.erase(strName.size() - 4);
    }
    for (size_t nSlash = strName.find(TEXT('\\')); nSlash != CZelString::npos;
         nSlash = strName.find(TEXT('\\'))) {
        strName.erase(0, nSlash + 1);
    }
    strBase = strName;
    // The installation's code only; the local one when the installation records none.
    CZelString strLanguage;
    if (CHelper().GetInstalledLanguage(strLanguage) != 0 && GetLocalLanguage(strLanguage) != 0) {
        return true;
    }
    if (EndsWithUpper(strName, strLanguage)) {
        strBase.erase(strBase.size() - strLanguage.size());
    }
    return true;
}

HMODULE CHelper::QMLoadLibrary(CZelString strLibrary) {
    CZelTraceScope scope(TEXT("CHelper::QMLoadLibrary"));
    bool bWantDirectory = true;
    bool bFoundDirectory = false;
    CZelString strName;
    CZelString strBase;
    StripLibraryName(strLibrary, strName, strBase);

    CZelString strPath;
    bool bAgentKey = IsListed(kOwnKeyAgents, strName);
    if (bAgentKey && CHelper().GetAgentInstalledDir(strName, strPath)) {
        // The agent's value is the library's own path.
        bFoundDirectory = true;
        bWantDirectory = false;
    } else if (IsListed(kCommonDirAgents, strName)) {
        bFoundDirectory = GetPathFromRegistry(kZel2Key, TEXT("InstalledDir"), strPath);
        if (bFoundDirectory) {
            AppendBackslash(strPath);
            strPath += TEXT("Agent");
        }
    } else if (IsListed(kServiceLibraries, strName)) {
        bFoundDirectory = GetPathFromRegistry(kTalmLanguageKey, TEXT("InstallDir"), strPath);
        if (bFoundDirectory) {
            AppendBackslash(strPath);
            strPath += TEXT("TALM");
        }
    } else if (IsListed(kResourceLibraries, strBase)) {
        bFoundDirectory = GetPathFromRegistry(kZel2Key, TEXT("ResourcePath"), strPath);
    } else if (IsListed(kSystemLibraries, strName)) {
        WCHAR szSystem[MAX_PATH] = {0};
        GetSystemDirectoryW(szSystem, MAX_PATH);
        strPath = szSystem;
        bFoundDirectory = true;
    }

    if (bWantDirectory) {
        if (bFoundDirectory) {
            AppendBackslash(strPath);
            strPath += strName;
        } else {
            strPath = strLibrary;
            g_ZelDebug.Error(
                TEXT("..\\Common\\Src\\Helper"), 767,
                TEXT("ERROR:  Unable to find path to library!  Defaulting to no path %s"),
                strPath.c_str());
        }
    }
    if (!EndsWithUpper(strPath, TEXT(".DLL"))) {
        strPath += TEXT(".DLL");
    }
    return LoadLibraryW(strPath);
}

DWORD GetCodePage(DWORD dwLocale) {
    if (dwLocale == 0) {
        return GetACP();
    }
    WCHAR szCodePage[16] = {0};
    GetLocaleInfoW(dwLocale, LOCALE_IDEFAULTANSICODEPAGE, szCodePage, 16);
    return static_cast<DWORD>(_wtoi(szCodePage));
}
