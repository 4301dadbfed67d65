// HyperVMonitor, continued: one update pass. Team discovery finds the teaming driver's adapters
// bound to Hyper-V external ports and reports what changed since the last pass; VM discovery walks
// the WMI associations from an external port to the VM interfaces on its switch.
#include "HyperVMonitor.h"

#include "OSType.h"
#include "ZelBstr.h"
#include "ZelDebug.h"
#include "ZelRegKey.h"
#include "ZelSecure.h"

#include <setupapi.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

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

const WCHAR kHostDescription[] = TEXT("Microsoft Hosting Computer System");

// The association walks by model, from the external port to the VMs' computer systems, and from
// a VM's port to its access VLAN settings.
const WCHAR* const kVmChainV1[] = {
    TEXT("Msvm_SwitchLANEndpoint"), TEXT("Msvm_SwitchPort"),    TEXT("Msvm_VirtualSwitch"),
    TEXT("Msvm_SwitchPort"),        TEXT("Msvm_VmLANEndpoint"), TEXT("Msvm_SyntheticEthernetPort"),
    TEXT("Msvm_ComputerSystem"),
};
const WCHAR* const kVmChainV2[] = {
    TEXT("Msvm_LANEndpoint"),        TEXT("Msvm_LANEndpoint"),
    TEXT("MSVM_EthernetSwitchPort"), TEXT("Msvm_VirtualEthernetSwitch"),
    TEXT("MSVM_EthernetSwitchPort"), TEXT("Msvm_LANEndpoint"),
    TEXT("Msvm_LANEndpoint"),        TEXT("Msvm_SyntheticEthernetPort"),
    TEXT("Msvm_ComputerSystem"),
};
const WCHAR* const kVlanChainV1[] = {
    TEXT("Msvm_VLANEndpoint"),
    TEXT("Msvm_VLANEndpointSettingData"),
};
const WCHAR* const kVlanChainV2[] = {
    TEXT("MSVM_SyntheticEthernetPortSettingData"),
    TEXT("MSVM_VirtualSystemSettingData"),
    TEXT("MSVM_EthernetPortAllocationSettingData"),
    TEXT("Msvm_EthernetSwitchPortVlanSettingData"),
};

// A step's class against a class of the walk: exact, as the automation comparison without flags.
bool IsClass(BSTR bstrClass, const WCHAR* pszClass) {
    CZelBstr bstrName(pszClass);
    return bstrName.Get() != NULL &&
           VarBstrCmp(bstrClass, bstrName.Get(), LOCALE_USER_DEFAULT, 0) == VARCMP_EQ;
}

// The enumerator's next object, fetched one at a time without a time-out; null once it has no
// more or fails. The object is the caller's to release.
IWbemClassObject* NextObject(IEnumWbemClassObject* pEnum) {
    IWbemClassObject* pObj = NULL;
    ULONG uReturned = 0;
    HRESULT hr = pEnum->Next(WBEM_INFINITE, 1, &pObj, &uReturned);
    if (uReturned == 0 || hr != WBEM_S_NO_ERROR) {
        if (uReturned > 0 && pObj != NULL) {
            pObj->Release();
        }
        return NULL;
    }
    return pObj;
}

}  // namespace

// ClassChain

HyperVMonitor::ClassChain::ClassChain(const ClassChain& other) {
    *this = other;
}

HyperVMonitor::ClassChain& HyperVMonitor::ClassChain::operator=(const ClassChain& other) {
    if (this != &other) {
        Clear();
        for (size_t i = 0; i < other.m_Classes.size(); ++i) {
            m_Classes.push_back(SysAllocString(other.m_Classes[i]));
        }
    }
    return *this;
}

void HyperVMonitor::ClassChain::Add(const WCHAR* pszClass) {
    m_Classes.push_back(SysAllocString(pszClass));
}

void HyperVMonitor::ClassChain::Clear() {
    for (size_t i = 0; i < m_Classes.size(); ++i) {
        SysFreeString(m_Classes[i]);
    }
    m_Classes.clear();
}

// Team discovery

bool HyperVMonitor::CheckForTeamUpdates() {
    DebugTrace(TEXT("Entering HyperVMonitor::CheckForTeamUpdates()"));
    bool bSuccess = false;
    CZelPointerArray<TeamedAdapter*> current;
    if (m_pIWbemService == NULL) {
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
        IEnumWbemClassObject* pEnum = NULL;
        HRESULT hr = ExecQuery(CZelBstr(strQuery.c_str()).Get(), &pEnum);
        if (FAILED(hr)) {
            pEnum = NULL;
            DebugTrace(TEXT("ERROR:  Unable to execute query"));
        } else {
            for (;;) {
                IWbemClassObject* pObj = NextObject(pEnum);
                if (pObj == NULL) {
                    break;
                }
                TeamedAdapter* pTeam = new TeamedAdapter;
                pTeam->m_bBound = true;
                CZelString strDeviceID;
                bool bDeviceID =
                    GetPropertyString(pObj, SysAllocString(TEXT("DeviceID")), &strDeviceID);
                if (bDeviceID) {
                    size_t nPrefix = strDeviceID.find(TEXT("Microsoft:"));
                    if (nPrefix != CZelString::npos) {
                        strDeviceID.erase(nPrefix, 10);
                    }
                    pTeam->m_strGUID = strDeviceID;
                }
                CZelString strPath;
                if (bDeviceID && IsOrvexTeam(pTeam->m_strGUID) &&
                    GetPropertyString(pObj, SysAllocString(TEXT("ElementName")),
                                      &pTeam->m_strName) &&
                    GetPropertyString(pObj, SysAllocString(TEXT("__PATH")), &strPath)) {
                    PopulateVirtualMachines(strPath, &pTeam->m_VirtualMachines);
                    current.push_back(pTeam);
                } else {
                    delete pTeam;
                }
                pObj->Release();
            }
            bSuccess = true;
        }
        if (pEnum != NULL) {
            pEnum->Release();
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
            m_Teams.push_back(TeamedAdapter::Clone(current[i]));
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
    HDEVINFO hDevInfo = SetupDiGetClassDevsW(&kNetClassGuid, NULL, NULL, 0);
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
        if (!SetupDiDestroyDeviceInfoList(hDevInfo)) {
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
        RegCloseKey(hAdapters);
    }
    DebugTrace(TEXT("Exiting HyperVMonitor::IsTeamInstance = %d"), bInstance);
    return bInstance;
}

// VM discovery

bool HyperVMonitor::PopulateVirtualMachines(CZelString& strPath,
                                            CZelPointerArray<VirtualMachine*>* pVirtualMachines) {
    DebugTrace(TEXT("Entering HyperVMonitor::PopulateVirtualMachines()"));
    bool bSuccess = true;
    COSType osType;
    ClassChain chain = osType.IsWin8OrLater() ? ClassChain(kVmChainV2) : ClassChain(kVmChainV1);
    pVirtualMachines->RemoveAll();
    CZelString strMAC;
    if (!GetAssociators(strPath, chain, 0, -1, pVirtualMachines, &strMAC)) {
        bSuccess = false;
    }
    chain.Clear();
    DebugTrace(TEXT("Exiting HyperVMonitor::PopulateVirtualMachines() - bSuccess=%d"), bSuccess);
    return bSuccess;
}

bool HyperVMonitor::GetAssociators(CZelString& strPath, ClassChain chain, DWORD dwStep, int nVlanID,
                                   CZelPointerArray<VirtualMachine*>* pVirtualMachines,
                                   CZelString* pstrMAC) {
    DebugTrace(TEXT("Entering HyperVMonitor::GetAssociators()"));
    bool bSuccess = true;
    COSType osType;
    bool bVersion2 = osType.IsWin8OrLater();
    if (dwStep != 0xFFFFFFFF && dwStep < chain.Count()) {
        BSTR bstrClass = chain.At(dwStep);
        DWORD dwNextStep = dwStep + 1;
        if (m_pIWbemService == NULL) {
            DebugTrace(TEXT("ERROR:  The virtualization namespace is invalid!"));
        } else {
            if (!bVersion2 && IsClass(bstrClass, TEXT("Msvm_VmLANEndpoint"))) {
                // The switch port at strPath carries the VLAN of the endpoints below it.
                ClassChain vlanChain(kVlanChainV1);
                if (!GetVlanID(strPath, CZelString(), vlanChain, 0, &nVlanID)) {
                    nVlanID = -1;
                    bSuccess = false;
                }
                DebugTrace(TEXT("Retrieved %d for VlanID"), nVlanID);
            }
            CZelBstr bstrQuery;
            AssociatorsQuery(strPath, bstrClass, &bstrQuery);
            IEnumWbemClassObject* pEnum = NULL;
            HRESULT hr = ExecQuery(bstrQuery.Get(), &pEnum);
            if (FAILED(hr)) {
                pEnum = NULL;
                DebugTrace(TEXT("ERROR:  Unable to execute query"));
            }
            while (pEnum != NULL) {
                IWbemClassObject* pObj = NextObject(pEnum);
                if (pObj == NULL) {
                    break;
                }
                CZelString strMAC;
                if (pstrMAC != NULL) {
                    strMAC = *pstrMAC;
                }
                if (IsClass(bstrClass, TEXT("Msvm_VmLANEndpoint")) ||
                    IsClass(bstrClass, TEXT("Msvm_LANEndpoint"))) {
                    GetPropertyString(pObj, SysAllocString(TEXT("MacAddress")), &strMAC);
                } else if (IsClass(bstrClass, TEXT("Msvm_ComputerSystem"))) {
                    if (bVersion2) {
                        // The synthetic port at strPath leads to the VM's port settings.
                        ClassChain vlanChain(kVlanChainV2);
                        if (!GetVlanID(strPath, CZelString(), vlanChain, 0, &nVlanID)) {
                            nVlanID = -1;
                        }
                        DebugTrace(TEXT("\nRetrieved %d for VlanID\n"), nVlanID);
                    }
                    CZelString strDescription;
                    GetPropertyString(pObj, SysAllocString(TEXT("Description")), &strDescription);
                    if (!strDescription.CompareI(kHostDescription)) {
                        CZelString strName;
                        if (!GetPropertyString(pObj, SysAllocString(TEXT("ElementName")),
                                               &strName)) {
                            bSuccess = false;
                        } else {
                            VirtualMachine* pVirtualMachine = new VirtualMachine;
                            pVirtualMachine->m_strSystemName = strName;
                            if (pstrMAC != NULL) {
                                pVirtualMachine->m_strMAC = *pstrMAC;
                            }
                            pVirtualMachine->m_nVlanID = nVlanID;
                            pVirtualMachines->push_back(pVirtualMachine);
                        }
                    }
                }
                CZelString strObjectPath;
                if (!GetPropertyString(pObj, SysAllocString(TEXT("__PATH")), &strObjectPath)) {
                    bSuccess = false;
                }
                pObj->Release();
                if (bSuccess && !GetAssociators(strObjectPath, chain, dwNextStep, nVlanID,
                                                pVirtualMachines, &strMAC)) {
                    bSuccess = false;
                }
            }
            if (pEnum != NULL) {
                pEnum->Release();
            }
        }
    }
    DebugTrace(TEXT("Exiting HyperVMonitor::GetAssociators(), Success=%d"), bSuccess);
    return bSuccess;
}

bool HyperVMonitor::GetVlanID(CZelString& strPath, CZelString strTargetInstanceID, ClassChain chain,
                              DWORD dwStep, int* pnVlanID) {
    DebugTrace(TEXT("Entering HyperVMonitor::GetVlanID()"));
    bool bSuccess = true;
    if (dwStep != 0xFFFFFFFF && dwStep < chain.Count()) {
        BSTR bstrClass = chain.At(dwStep);
        if (m_pIWbemService == NULL) {
            DebugTrace(TEXT("ERROR:  The virtualization namespace is invalid!"));
        } else {
            CZelBstr bstrQuery;
            AssociatorsQuery(strPath, bstrClass, &bstrQuery);
            DebugTrace(TEXT("%s"), bstrQuery.Text());
            IEnumWbemClassObject* pEnum = NULL;
            HRESULT hr = ExecQuery(bstrQuery.Get(), &pEnum);
            if (FAILED(hr)) {
                pEnum = NULL;
                DebugTrace(TEXT("ERROR:  Unable to execute query"));
            }
            while (pEnum != NULL) {
                IWbemClassObject* pObj = NextObject(pEnum);
                if (pObj == NULL) {
                    break;
                }
                bool bFollow = true;
                if (IsClass(bstrClass, TEXT("MSVM_SyntheticEthernetPortSettingData"))) {
                    GetPropertyString(pObj, SysAllocString(TEXT("InstanceId")),
                                      &strTargetInstanceID);
                    DebugTrace(TEXT("Retrieved %s for Target InstanceID"),
                               strTargetInstanceID.c_str());
                }
                if (IsClass(bstrClass, TEXT("MSVM_EthernetPortAllocationSettingData"))) {
                    CZelString strCurrentInstanceID;
                    GetPropertyString(pObj, SysAllocString(TEXT("InstanceId")),
                                      &strCurrentInstanceID);
                    DebugTrace(TEXT("Retrieved %s for CurrentInstanceID"),
                               strCurrentInstanceID.c_str());
                    // The VM's settings hold the allocations of all its ports: follow the one
                    // whose id extends this port's.
                    if (!strCurrentInstanceID.empty() && !strTargetInstanceID.empty() &&
                        strCurrentInstanceID.find(strTargetInstanceID) == CZelString::npos) {
                        DebugTrace(TEXT("Not a match ...."));
                        bFollow = false;
                    }
                }
                if (bFollow && IsClass(bstrClass, TEXT("Msvm_VLANEndpointSettingData"))) {
                    GetPropertyInt(pObj, SysAllocString(TEXT("AccessVLAN")), pnVlanID);
                    DebugTrace(TEXT("Retrieved %d for AccessVLAN"), *pnVlanID);
                    bFollow = false;
                } else if (bFollow &&
                           IsClass(bstrClass, TEXT("Msvm_EthernetSwitchPortVlanSettingData"))) {
                    GetPropertyInt(pObj, SysAllocString(TEXT("AccessVLANId")), pnVlanID);
                    DebugTrace(TEXT("Retrieved %d for AccessVLAN"), *pnVlanID);
                    bFollow = false;
                }
                if (bFollow) {
                    CZelString strObjectPath;
                    if (!GetPropertyString(pObj, SysAllocString(TEXT("__PATH")), &strObjectPath)) {
                        bSuccess = false;
                    }
                    if (bSuccess && !GetVlanID(strObjectPath, strTargetInstanceID, chain,
                                               dwStep + 1, pnVlanID)) {
                        bSuccess = false;
                    }
                }
                pObj->Release();
            }
            if (pEnum != NULL) {
                pEnum->Release();
            }
        }
    }
    DebugTrace(TEXT("Exiting HyperVMonitor::GetVlanID(), Success=%d, nVlanID=%d"), bSuccess,
               *pnVlanID);
    return bSuccess;
}

bool HyperVMonitor::GetPropertyString(IWbemClassObject* pObj, BSTR bstrName,
                                      CZelString* pstrValue) {
    DebugTrace(TEXT("Entering HyperVMonitor::GetPropertyString() - property=%s"),
               bstrName != NULL ? bstrName : TEXT(""));
    bool bSuccess = false;
    if (pObj == NULL) {
        DebugTrace(TEXT("INVALID pObj!"));
    } else {
        VARIANT value;
        VariantInit(&value);
        HRESULT hr = pObj->Get(bstrName, 0, &value, NULL, NULL);
        if (FAILED(hr)) {
            g_ZelDebug.Error(kSource, 1199, TEXT("ERROR:  Unable to retrieve property."));
        } else {
            bSuccess = true;
            if (V_VT(&value) != VT_EMPTY && V_VT(&value) != VT_NULL) {
                // Every property read here is a string; a value of another type, or a null
                // BSTR, reads as empty rather than as a pointer it is not.
                const WCHAR* pszText = TEXT("");
                if (V_VT(&value) == VT_BSTR && V_BSTR(&value) != NULL) {
                    pszText = V_BSTR(&value);
                }
                WCHAR szValue[1040];
                memset(szValue, 0, sizeof(szValue));
                ZelSafeCopy(kSource, 1213, szValue, pszText);
                if (pstrValue != NULL) {
                    *pstrValue = szValue;
                }
            } else {
                DebugTrace(TEXT("ERROR:  L_PROP_ELEMENT_NAME is empty or NULL"));
            }
        }
        VariantClear(&value);
    }
    DebugTrace(TEXT("Exiting HyperVMonitor::GetPropertyString(), bSuccess=%d"), bSuccess);
    SysFreeString(bstrName);
    return bSuccess;
}

bool HyperVMonitor::GetPropertyInt(IWbemClassObject* pObj, BSTR bstrName, int* pnValue) {
    DebugTrace(TEXT("Entering HyperVMonitor::GetPropertyInt() - property=%s"),
               bstrName != NULL ? bstrName : TEXT(""));
    bool bSuccess = false;
    if (pObj == NULL) {
        DebugTrace(TEXT("INVALID pObj!"));
    } else {
        *pnValue = 0;
        VARIANT value;
        VariantInit(&value);
        HRESULT hr = pObj->Get(bstrName, 0, &value, NULL, NULL);
        if (FAILED(hr)) {
            g_ZelDebug.Error(kSource, 1257, TEXT("ERR:  Unable to retrieve property."));
        } else {
            bSuccess = true;
            if (V_VT(&value) == VT_EMPTY || V_VT(&value) == VT_NULL) {
                DebugTrace(TEXT("ERROR:  L_PROP_ELEMENT_NAME is empty or NULL"));
            } else if (V_VT(&value) == VT_BSTR) {
                *pnValue = V_BSTR(&value) != NULL ? _wtoi(V_BSTR(&value)) : 0;
            } else {
                *pnValue = V_I2(&value);  // a VLAN id fits the low 16 bits
            }
        }
        VariantClear(&value);
    }
    DebugTrace(TEXT("Exiting HyperVMonitor::GetPropertyInt(), bSuccess=%d"), bSuccess);
    SysFreeString(bstrName);
    return bSuccess;
}

void HyperVMonitor::AssociatorsQuery(const CZelString& strPath, BSTR bstrClass, CZelBstr* pQuery) {
    try {
        CZelString strQuery;
        strQuery.append(TEXT("ASSOCIATORS OF "));
        strQuery.append(TEXT("{"));
        strQuery.append(strPath);
        strQuery.append(TEXT("}"));
        strQuery.append(TEXT(" "));
        strQuery.append(TEXT("WHERE "));
        strQuery.append(TEXT(" "));
        strQuery.append(TEXT("ResultClass"));
        strQuery.append(TEXT("="));
        strQuery.append(bstrClass != NULL ? bstrClass : TEXT(""));
        pQuery->Assign(strQuery.c_str());
    } catch (const std::bad_alloc&) {
        pQuery->Empty();
    }
}

HRESULT HyperVMonitor::ExecQuery(BSTR bstrQuery, IEnumWbemClassObject** ppEnum) {
    *ppEnum = NULL;
    if (bstrQuery == NULL) {
        return E_OUTOFMEMORY;  // the query text could not be allocated
    }
    CZelBstr bstrLanguage(TEXT("WQL"));
    if (bstrLanguage.Get() == NULL) {
        return E_OUTOFMEMORY;
    }
    return m_pIWbemService->ExecQuery(bstrLanguage.Get(), bstrQuery,
                                      WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, NULL,
                                      ppEnum);
}
