// HyperVMonitor, continued: one update pass. Team discovery finds the teaming driver's adapters
// bound to Hyper-V external ports and reports what changed since the last pass; the VM walk
// (HyperVMonitorVmWalk.cpp) finds the VM interfaces on each team's switch.
#include "HyperVMonitor.h"

#include "ZelBstr.h"
#include "ZelComPtr.h"
#include "ZelDebug.h"
#include "ZelRegKey.h"
#include "ZelScopedHandle.h"
#include "ZelSecure.h"

#include <setupapi.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <memory>
#include <new>

namespace {

const WCHAR kSource[] = TEXT("Src\\HyperVMonitor");

// The network adapter setup class.
const GUID kNetClassGuid = {
    0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
// Appended to a device instance identifier, it names the adapter's network device interface.
const WCHAR kNetInterfaceClass[] = TEXT("{AD498944-762F-11D0-8DCB-00C04FC3358C}");
const WCHAR kAdaptersKey[] =
    TEXT("SYSTEM\\CurrentControlSet\\Services\\oBRXProtocol\\Parameters\\Adapters\\");

}  // namespace

// Team discovery

bool HyperVMonitor::CheckForTeamUpdates() {
    DebugTrace(TEXT("Entering HyperVMonitor::CheckForTeamUpdates()"));
    bool bSuccess = false;
    CZelPointerArray<TeamedAdapter*> current;
    if (m_pIWbemService.Get() == NULL) {
        DebugTrace(TEXT("ERROR:  The virtualization namespace is invalid!"));
    } else {
        CZelString strQuery;
        const WCHAR* const ppszPieces[] = {
            TEXT("SELECT * FROM"),
            TEXT(" "),
            TEXT("Msvm_ExternalEthernetPort"),
            TEXT(" "),
            TEXT("WHERE "),
            TEXT(" "),
            TEXT("IsBound"),
            TEXT("="),
            TEXT("true"),
            TEXT(" "),
            TEXT("AND"),
            TEXT(" "),
            TEXT("LinkTechnology"),
            TEXT("="),
            TEXT("2"),
        };
        for (size_t i = 0; i < sizeof(ppszPieces) / sizeof(ppszPieces[0]); ++i) {
            strQuery.append(ppszPieces[i]);
        }
        CZelComPtr<IEnumWbemClassObject> pEnum;
        HRESULT hr = ExecQuery(CZelBstr(strQuery.c_str()).Get(), pEnum.Receive());
        if (FAILED(hr)) {
            DebugTrace(TEXT("ERROR:  Unable to execute query"));
        } else {
            for (;;) {
                CZelComPtr<IWbemClassObject> pObj(NextObject(pEnum.Get()));
                if (pObj.Get() == NULL) {
                    break;
                }
                std::unique_ptr<TeamedAdapter> pTeam(new TeamedAdapter);
                pTeam->m_bBound = true;
                CZelString strDeviceID;
                bool bDeviceID = GetPropertyString(pObj.Get(), TEXT("DeviceID"), &strDeviceID);
                if (bDeviceID) {
                    size_t nPrefix = strDeviceID.find(TEXT("Microsoft:"));
                    if (nPrefix != CZelString::npos) {
                        strDeviceID.erase(nPrefix, 10);
                    }
                    pTeam->m_strGUID = strDeviceID;
                }
                CZelString strPath;
                if (bDeviceID && IsOrvexTeam(pTeam->m_strGUID) &&
                    GetPropertyString(pObj.Get(), TEXT("ElementName"), &pTeam->m_strName) &&
                    GetPropertyString(pObj.Get(), TEXT("__PATH"), &strPath)) {
                    PopulateVirtualMachines(strPath, &pTeam->m_VirtualMachines);
                    current.push_back(pTeam.get());
                    pTeam.release();
                }
            }
            bSuccess = true;
        }
    }

    DebugTrace(TEXT("Current Settings: %d Instances"), static_cast<int>(current.size()));
    DumpTeams(&current);
    DebugTrace(TEXT("Previous Settings: %d Instances"), static_cast<int>(m_Teams.size()));
    DumpTeams(&m_Teams);

    int nAdded = 0;
    int nRemoved = 0;
    int nChanged = 0;
    bool bAllAddedReported = true;
    for (size_t i = 0; i < current.size(); ++i) {
        TeamedAdapter* pCurrent = current[i];
        CZelPointerArray<TeamedAdapter*>::iterator found = m_Teams.begin();
        while (found != m_Teams.end() && !(*found)->m_strGUID.CompareI(pCurrent->m_strGUID)) {
            ++found;
        }
        if (found != m_Teams.end()) {
            if (!pCurrent->IsEqual(*found)) {
                ++nChanged;
                DebugTrace(TEXT("Current and previous settings do not match for GUID=%s, Name=%s"),
                           pCurrent->m_strGUID.c_str(), pCurrent->m_strName.c_str());
                WriteUpdateToBRX(pCurrent);
            }
            m_Teams.erase(found);
        } else {
            ++nAdded;
            DebugTrace(TEXT("Adapter is newly bound GUID=%s, Name=%s"), pCurrent->m_strGUID.c_str(),
                       pCurrent->m_strName.c_str());
            if (!WriteUpdateToBRX(pCurrent)) {
                bAllAddedReported = false;
            }
        }
    }
    if (bAllAddedReported && !m_bTeamsInitialized) {
        m_bTeamsInitialized = true;
    }
    while (!m_Teams.empty()) {
        TeamedAdapter* pPrevious = m_Teams.front();
        ++nRemoved;
        DebugTrace(TEXT("Adapter is no longer bound - GUID=%s, Name=%s"),
                   pPrevious->m_strGUID.c_str(), pPrevious->m_strName.c_str());
        pPrevious->RemoveAllVirtualMachines();
        pPrevious->m_bBound = false;
        WriteUpdateToBRX(pPrevious);
        m_Teams.erase(m_Teams.begin());
    }
    m_Teams.RemoveAll();
    if (nAdded > 0 || nChanged > 0 || nRemoved > 0) {
        DebugTrace(TEXT("Detected the following changes:  Added:%d, Removed:%d, Changed:%d"),
                   nAdded, nRemoved, nChanged);
    }
    // Before the first complete report m_Teams stays empty, so every adapter is added again.
    if (m_bTeamsInitialized) {
        for (size_t i = 0; i < current.size(); ++i) {
            std::unique_ptr<TeamedAdapter> pCopy(TeamedAdapter::Clone(current[i]));
            m_Teams.push_back(pCopy.get());
            pCopy.release();
        }
    }
    DebugTrace(TEXT("Exiting HyperVMonitor::CheckForTeamUpdates(), bSuccess=%d"), bSuccess);
    return bSuccess;
}

bool HyperVMonitor::IsOrvexTeam(CZelString& strGUID) {
    DebugTrace(TEXT("Entering HyperVMonitor::IsOrvexTeam GUID=%s"), strGUID.c_str());
    bool bTeam = false;
    WCHAR szInstanceID[260];
    memset(szInstanceID, 0, sizeof(szInstanceID));
    // Destroyed below where a failure can be traced; by the owner when an exception leaves.
    CZelDeviceInfoList deviceList(SetupDiGetClassDevsW(&kNetClassGuid, NULL, NULL, 0));
    HDEVINFO hDevInfo = deviceList.Get();
    if (hDevInfo == INVALID_HANDLE_VALUE) {
        DebugTrace(TEXT("ERROR:  Invalid HDEVINFO!"));
    } else {
        bool bFound = false;
        SP_DEVINFO_DATA deviceInfo;
        for (DWORD dwIndex = 0;; ++dwIndex) {
            memset(&deviceInfo, 0, sizeof(deviceInfo));
            deviceInfo.cbSize = sizeof(deviceInfo);
            if (!SetupDiEnumDeviceInfo(hDevInfo, dwIndex, &deviceInfo)) {
                if (GetLastError() == ERROR_NO_MORE_ITEMS) {
                    break;
                }
                continue;
            }
            HKEY hKey = SetupDiOpenDevRegKey(hDevInfo, &deviceInfo, DICS_FLAG_GLOBAL, 0, DIREG_DRV,
                                             KEY_READ);
            if (hKey == INVALID_HANDLE_VALUE) {
                DebugTrace(TEXT("ERROR:  SetupDiOpenDevRegKey returns INVALID_HANDLE_VALUE!"));
                continue;
            }
            CZelString strInstanceGUID;
            bool bRead = false;
            {
                CZelRegKey driverKey(hKey);
                bRead = driverKey.GetValue(TEXT("NetCfgInstanceId"), strInstanceGUID);
                driverKey.Close();
            }
            if (bRead && strInstanceGUID.CompareI(strGUID)) {
                DebugTrace(TEXT("Found matching GUID!"));
                bFound = true;
                if (!SetupDiGetDeviceInstanceIdW(hDevInfo, &deviceInfo, szInstanceID, 260, NULL)) {
                    DebugTrace(TEXT("ERROR:  Unable to get the device instance ID!"));
                    memset(szInstanceID, 0, sizeof(szInstanceID));
                }
                break;
            }
        }

        if (!bFound) {
            DebugTrace(TEXT("ERROR:  Unable to locate the GUID in the HDEVINFO!"));
        } else {
            DebugTrace(TEXT("Found matching GUID - searching for manufacturer"));
            WCHAR szManufacturer[261];  // 520 bytes of property, then a terminator of our own
            memset(szManufacturer, 0, sizeof(szManufacturer));
            if (!SetupDiGetDeviceRegistryPropertyW(hDevInfo, &deviceInfo, SPDRP_MFG, NULL,
                                                   reinterpret_cast<PBYTE>(szManufacturer),
                                                   260 * sizeof(WCHAR), NULL)) {
                DebugTrace(TEXT("FAILED to get the device manufacturer from the registry!"));
            } else {
                CZelString strManufacturer(szManufacturer);
                strManufacturer.MakeLower();
                if (!(strManufacturer == TEXT("orvex"))) {
                    DebugTrace(TEXT("Current device is not an Orvex adapter."));
                } else {
                    DebugTrace(
                        TEXT("Current device is an Orvex adapter - checking if it is a team."));
                    if (!IsBoundToTeam(strGUID) && !IsTeamInstance(strGUID)) {
                        DebugTrace(TEXT("Current device is not bound to a team."));
                    } else {
                        DebugTrace(TEXT("Found Orvex device bound to a team."));
                        WCHAR szName[260];
                        memset(szName, 0, sizeof(szName));
                        ZelSafeCopy(kSource, __LINE__, szName, szInstanceID);
                        ZelSafeCat(kSource, __LINE__, szName, TEXT("#"));
                        ZelSafeCat(kSource, __LINE__, szName, kNetInterfaceClass);
                        strGUID = szName;
                        for (size_t n = strGUID.find(TEXT('\\')); n != CZelString::npos;
                             n = strGUID.find(TEXT('\\'), n + 1)) {
                            strGUID[n] = TEXT('#');
                        }
                        bTeam = true;
                    }
                }
            }
        }
        if (!deviceList.Close()) {
            DebugTrace(TEXT("ERROR:  Unable to destroy device list!! Errro=%d"), GetLastError());
        }
    }
    DebugTrace(TEXT("Exiting HyperVMonitor::IsOrvexTeam = %d"), bTeam);
    return bTeam;
}

bool HyperVMonitor::IsBoundToTeam(CZelString strGUID) {
    DebugTrace(TEXT("Entering HyperVMonitor::IsBoundToTeam - GUID=%s"), strGUID.c_str());
    CZelString strKey(kAdaptersKey);
    strKey.append(strGUID);
    CZelRegKey key;
    bool bTeamed = key.Open(HKEY_LOCAL_MACHINE, strKey, false);
    if (bTeamed) {
        key.Close();
    }
    DebugTrace(TEXT("Exiting HyperVMonitor::IsBoundToTeam - Teamed=%d"), bTeamed);
    return bTeamed;
}

bool HyperVMonitor::IsTeamInstance(CZelString strGUID) {
    DebugTrace(TEXT("Entering HyperVMonitor::IsTeamInstance - GUID=%s"), strGUID.c_str());
    bool bInstance = false;
    HKEY hAdapters = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAdaptersKey, 0, KEY_READ, &hAdapters) == ERROR_SUCCESS) {
        CZelRegKey adaptersKey(hAdapters);  // closed also when an exception leaves the loop
        DWORD dwSubKeys = 0;
        if (RegQueryInfoKeyW(hAdapters, NULL, NULL, NULL, &dwSubKeys, NULL, NULL, NULL, NULL, NULL,
                             NULL, NULL) == ERROR_SUCCESS) {
            for (DWORD dwIndex = 0; dwIndex < dwSubKeys && !bInstance; ++dwIndex) {
                WCHAR szName[260];
                DWORD cchName = 260;
                if (RegEnumKeyExW(hAdapters, dwIndex, szName, &cchName, NULL, NULL, NULL, NULL) !=
                    ERROR_SUCCESS) {
                    continue;
                }
                CZelString strKey(kAdaptersKey);
                strKey.append(szName);
                CZelRegKey adapterKey;
                if (!adapterKey.Open(HKEY_LOCAL_MACHINE, strKey, false)) {
                    continue;
                }
                std::vector<CZelString> bindings;
                if (adapterKey.GetValue(TEXT("MiniportBindingList"), bindings)) {
                    for (size_t i = 0; i < bindings.size(); ++i) {
                        // The GUID alone in any case, or inside a device name as written.
                        if (_wcsicmp(bindings[i].c_str(), strGUID.c_str()) == 0 ||
                            bindings[i].find(strGUID) != CZelString::npos) {
                            DebugTrace(TEXT("Found team instance - miniportbinding=%s, GUID=%s"),
                                       bindings[i].c_str(), strGUID.c_str());
                            bInstance = true;
                            break;
                        }
                    }
                }
                adapterKey.Close();
            }
        }
        adaptersKey.Close();
    }
    DebugTrace(TEXT("Exiting HyperVMonitor::IsTeamInstance = %d"), bInstance);
    return bInstance;
}

// VM discovery
