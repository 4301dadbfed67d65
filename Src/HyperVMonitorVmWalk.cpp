// HyperVMonitor, continued: the VM walk of an update pass, along the WMI associations from a
// team's external port to the VM interfaces on its switch, and each interface's access VLAN.
#include "HyperVMonitor.h"

#include "OSType.h"
#include "ZelBstr.h"
#include "ZelComPtr.h"
#include "ZelDebug.h"
#include "ZelSecure.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <memory>
#include <new>

namespace {

const WCHAR kSource[] = TEXT("Src\\HyperVMonitor");

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

}  // namespace

// Enumeration

IWbemClassObject* HyperVMonitor::NextObject(IEnumWbemClassObject* pEnum) {
    IWbemClassObject* pReturned = NULL;
    ULONG uReturned = 0;
    HRESULT hr = pEnum->Next(WBEM_INFINITE, 1, &pReturned, &uReturned);
    // Only an object the enumerator counted is ours; one that came with a failure is released.
    CZelComPtr<IWbemClassObject> pObj(uReturned > 0 ? pReturned : NULL);
    return hr == WBEM_S_NO_ERROR ? pObj.Detach() : NULL;
}

// ClassChain

HyperVMonitor::ClassChain::ClassChain(const ClassChain& other) : ClassChain() {
    *this = other;
}

HyperVMonitor::ClassChain& HyperVMonitor::ClassChain::operator=(const ClassChain& other) {
    if (this != &other) {
        Clear();
        m_Classes.reserve(other.m_Classes.size());
        for (size_t i = 0; i < other.m_Classes.size(); ++i) {
            Add(other.m_Classes[i]);
        }
    }
    return *this;
}

void HyperVMonitor::ClassChain::Add(const WCHAR* pszClass) {
    m_Classes.reserve(m_Classes.size() + 1);  // a push that cannot fail holds the new string
    m_Classes.push_back(SysAllocString(pszClass));
}

void HyperVMonitor::ClassChain::Clear() {
    for (size_t i = 0; i < m_Classes.size(); ++i) {
        SysFreeString(m_Classes[i]);
    }
    m_Classes.clear();
}

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
        if (m_pIWbemService.Get() == NULL) {
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
            CZelComPtr<IEnumWbemClassObject> pEnum;
            HRESULT hr = ExecQuery(bstrQuery.Get(), pEnum.Receive());
            if (FAILED(hr)) {
                pEnum.Reset();
                DebugTrace(TEXT("ERROR:  Unable to execute query"));
            }
            while (pEnum.Get() != NULL) {
                CZelComPtr<IWbemClassObject> pObj(NextObject(pEnum.Get()));
                if (pObj.Get() == NULL) {
                    break;
                }
                CZelString strMAC;
                if (pstrMAC != NULL) {
                    strMAC = *pstrMAC;
                }
                if (IsClass(bstrClass, TEXT("Msvm_VmLANEndpoint")) ||
                    IsClass(bstrClass, TEXT("Msvm_LANEndpoint"))) {
                    GetPropertyString(pObj.Get(), TEXT("MacAddress"), &strMAC);
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
                    GetPropertyString(pObj.Get(), TEXT("Description"), &strDescription);
                    if (!strDescription.CompareI(kHostDescription)) {
                        CZelString strName;
                        if (!GetPropertyString(pObj.Get(), TEXT("ElementName"), &strName)) {
                            bSuccess = false;
                        } else {
                            std::unique_ptr<VirtualMachine> pVirtualMachine(new VirtualMachine);
                            pVirtualMachine->m_strSystemName = strName;
                            if (pstrMAC != NULL) {
                                pVirtualMachine->m_strMAC = *pstrMAC;
                            }
                            pVirtualMachine->m_nVlanID = nVlanID;
                            pVirtualMachines->push_back(pVirtualMachine.get());
                            pVirtualMachine.release();
                        }
                    }
                }
                CZelString strObjectPath;
                if (!GetPropertyString(pObj.Get(), TEXT("__PATH"), &strObjectPath)) {
                    bSuccess = false;
                }
                pObj.Reset();  // before the next step's queries
                if (bSuccess && !GetAssociators(strObjectPath, chain, dwNextStep, nVlanID,
                                                pVirtualMachines, &strMAC)) {
                    bSuccess = false;
                }
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
        if (m_pIWbemService.Get() == NULL) {
            DebugTrace(TEXT("ERROR:  The virtualization namespace is invalid!"));
        } else {
            CZelBstr bstrQuery;
            AssociatorsQuery(strPath, bstrClass, &bstrQuery);
            DebugTrace(TEXT("%s"), bstrQuery.Text());
            CZelComPtr<IEnumWbemClassObject> pEnum;
            HRESULT hr = ExecQuery(bstrQuery.Get(), pEnum.Receive());
            if (FAILED(hr)) {
                pEnum.Reset();
                DebugTrace(TEXT("ERROR:  Unable to execute query"));
            }
            while (pEnum.Get() != NULL) {
                CZelComPtr<IWbemClassObject> pObj(NextObject(pEnum.Get()));
                if (pObj.Get() == NULL) {
                    break;
                }
                bool bFollow = true;
                if (IsClass(bstrClass, TEXT("MSVM_SyntheticEthernetPortSettingData"))) {
                    GetPropertyString(pObj.Get(), TEXT("InstanceId"), &strTargetInstanceID);
                    DebugTrace(TEXT("Retrieved %s for Target InstanceID"),
                               strTargetInstanceID.c_str());
                }
                if (IsClass(bstrClass, TEXT("MSVM_EthernetPortAllocationSettingData"))) {
                    CZelString strCurrentInstanceID;
                    GetPropertyString(pObj.Get(), TEXT("InstanceId"), &strCurrentInstanceID);
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
                    GetPropertyInt(pObj.Get(), TEXT("AccessVLAN"), pnVlanID);
                    DebugTrace(TEXT("Retrieved %d for AccessVLAN"), *pnVlanID);
                    bFollow = false;
                } else if (bFollow &&
                           IsClass(bstrClass, TEXT("Msvm_EthernetSwitchPortVlanSettingData"))) {
                    GetPropertyInt(pObj.Get(), TEXT("AccessVLANId"), pnVlanID);
                    DebugTrace(TEXT("Retrieved %d for AccessVLAN"), *pnVlanID);
                    bFollow = false;
                }
                if (bFollow) {
                    CZelString strObjectPath;
                    if (!GetPropertyString(pObj.Get(), TEXT("__PATH"), &strObjectPath)) {
                        bSuccess = false;
                    }
                    if (bSuccess && !GetVlanID(strObjectPath, strTargetInstanceID, chain,
                                               dwStep + 1, pnVlanID)) {
                        bSuccess = false;
                    }
                }
            }
        }
    }
    DebugTrace(TEXT("Exiting HyperVMonitor::GetVlanID(), Success=%d, nVlanID=%d"), bSuccess,
               *pnVlanID);
    return bSuccess;
}

bool HyperVMonitor::GetPropertyString(IWbemClassObject* pObj, const WCHAR* pszName,
                                      CZelString* pstrValue) {
    DebugTrace(TEXT("Entering HyperVMonitor::GetPropertyString() - property=%s"),
               pszName != NULL ? pszName : TEXT(""));
    bool bSuccess = false;
    if (pObj == NULL) {
        DebugTrace(TEXT("INVALID pObj!"));
    } else {
        VARIANT value;
        VariantInit(&value);
        HRESULT hr = pObj->Get(pszName, 0, &value, NULL, NULL);
        bool bHasText = false;
        WCHAR szValue[1040];
        memset(szValue, 0, sizeof(szValue));
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
                ZelSafeCopy(kSource, 1213, szValue, pszText);
                bHasText = true;
            } else {
                DebugTrace(TEXT("ERROR:  L_PROP_ELEMENT_NAME is empty or NULL"));
            }
        }
        // Cleared before the copy that may throw, which would leave the value's string behind.
        VariantClear(&value);
        if (bHasText && pstrValue != NULL) {
            *pstrValue = szValue;
        }
    }
    DebugTrace(TEXT("Exiting HyperVMonitor::GetPropertyString(), bSuccess=%d"), bSuccess);
    return bSuccess;
}

bool HyperVMonitor::GetPropertyInt(IWbemClassObject* pObj, const WCHAR* pszName, int* pnValue) {
    DebugTrace(TEXT("Entering HyperVMonitor::GetPropertyInt() - property=%s"),
               pszName != NULL ? pszName : TEXT(""));
    bool bSuccess = false;
    if (pObj == NULL) {
        DebugTrace(TEXT("INVALID pObj!"));
    } else {
        *pnValue = 0;
        VARIANT value;
        VariantInit(&value);
        HRESULT hr = pObj->Get(pszName, 0, &value, NULL, NULL);
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
