#include "Helper.h"

#include "ZelDebug.h"
#include "ZelRegKey.h"

#include <winsvc.h>

namespace {

const WCHAR kTalmKey[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\TALM\\");
const WCHAR kFcoeParametersKey[] = TEXT("SYSTEM\\CurrentControlSet\\Services\\OFCoES\\Parameters");

const WCHAR* const kServiceNames[] = {
    TEXT("OrvexDCB"),  // HELPER_SERVICE_DCB
    TEXT("OFCoEDCB"),  // HELPER_SERVICE_FCOE_DCB
    TEXT("MSiSCSI"),   // HELPER_SERVICE_ISCSI
};

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
    SC_HANDLE hManager = OpenSCManagerW(NULL, NULL, GENERIC_READ);
    SC_HANDLE hService = NULL;
    if (hManager != NULL) {
        hService = OpenServiceW(hManager, pszName, GENERIC_READ);
    }
    if (hService != NULL) {
        SERVICE_STATUS status = {};
        bRunning =
            QueryServiceStatus(hService, &status) && status.dwCurrentState == SERVICE_RUNNING;
        CloseServiceHandle(hService);
    }
    if (hManager != NULL) {
        CloseServiceHandle(hManager);
    }
    return bRunning;
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
