#include "HyperVMonitor.h"

#include "OSType.h"
#include "ZelAdapter.h"
#include "ZelBstr.h"
#include "ZelDebug.h"
#include "ZelScopedHandle.h"

#include <new>

namespace {

const WCHAR kSource[] = TEXT("Src\\HyperVMonitor");

// One Next of the event wait; the stop request is polled between two.
const LONG kEventSliceMs = 5000;
// Pause after a failure that would otherwise repeat at once (no namespace, no subscription, an
// event enumerator that answers without waiting): as long as one quiet slice, with stop polls.
const int kRetryPauseSeconds = 5;

// The class whose instance operations wake the worker, by model: external port, VM endpoint,
// synthetic port, computer system, VLAN settings.
const WCHAR* const kEventClassesV2[] = {
    TEXT("Msvm_ExternalEthernetPort"),
    TEXT("Msvm_VLANEndpoint"),
    TEXT("Msvm_SyntheticEthernetPort"),
    TEXT("Msvm_ComputerSystem"),
    TEXT("Msvm_EthernetSwitchPortVlanSettingData"),
};
const WCHAR* const kEventClassesV1[] = {
    TEXT("Msvm_ExternalEthernetPort"),    TEXT("Msvm_VmLANEndpoint"),
    TEXT("Msvm_SyntheticEthernetPort"),   TEXT("Msvm_ComputerSystem"),
    TEXT("Msvm_VLANEndpointSettingData"),
};

// The event query, into `pQuery`; false when it cannot be allocated.
bool EventQuery(bool bVersion2, CZelBstr* pQuery) {
    const WCHAR* const* ppszClasses = bVersion2 ? kEventClassesV2 : kEventClassesV1;
    const size_t nClasses = bVersion2 ? sizeof(kEventClassesV2) / sizeof(kEventClassesV2[0])
                                      : sizeof(kEventClassesV1) / sizeof(kEventClassesV1[0]);
    try {
        CZelString strQuery;
        strQuery.append(TEXT("SELECT * FROM"));
        strQuery.append(TEXT(" "));
        strQuery.append(TEXT("__InstanceOperationEvent "));
        strQuery.append(TEXT("WITHIN 10 "));
        strQuery.append(TEXT("WHERE "));
        for (size_t i = 0; i < nClasses; ++i) {
            if (i > 0) {
                strQuery.append(TEXT(" OR "));
            }
            strQuery.append(TEXT("("));
            strQuery.append(TEXT("TargetInstance ISA "));
            strQuery.append(TEXT("'"));
            strQuery.append(ppszClasses[i]);
            strQuery.append(TEXT("'"));
            strQuery.append(TEXT(")"));
        }
        return pQuery->Assign(strQuery.c_str());
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

DWORD WINAPI HyperVMonitorThreadProc(LPVOID pParameter) {
    HyperVMonitor* pMonitor = static_cast<HyperVMonitor*>(pParameter);
    if (pMonitor == NULL) {
        return 1;
    }
    pMonitor->DoMonitor();
    ExitThread(0);
    return 0;  // not reached
}

HyperVMonitor::HyperVMonitor()
    : GenericMonitor(),
      m_Teams(),
      m_bCOMInitialized(false),
      m_pIWbemService(),
      m_bTeamsInitialized(false) {
    DebugTrace(TEXT("Entering HyperVMonitor::HyperVMonitor()"));
    m_dwDefaultTimeout = 1;
    m_strTimeoutValueName = TEXT("HVMonTimeout");
    m_Teams.RemoveAll();
    InitializeCOM();  // a failure is traced there; the worker's WMI calls report their own
    DebugTrace(TEXT("Exiting HyperVMonitor::HyperVMonitor()"));
}

HyperVMonitor::~HyperVMonitor() {
    DebugTrace(TEXT("Entering HyperVMonitor::~HyperVMonitor()"));
    if (!WaitForStop()) {
        DebugTrace(TEXT("ERROR:  Unable to stop the monitor!"));
        // The worker still running may be inside a call on the connection: it is left to the
        // process's end rather than released under it.
        static_cast<void>(m_pIWbemService.Detach());
    }
    UninitializeCOM();
    DebugTrace(TEXT("Exiting HyperVMonitor::~HyperVMonitor()"));
}

bool HyperVMonitor::SpawnThread() {
    DebugTrace(TEXT("Entering HyperVMonitor::SpawnThread()"));
    return SpawnWorker(HyperVMonitorThreadProc, TEXT("Exiting HyperVMonitor::SpawnThread()"));
}

bool HyperVMonitor::DoMonitor() {
    DebugTrace(TEXT("Entering HyperVMonitor::DoMonitor()"));
    SetState(MONITOR_RUNNING);
    if (!IsHyperVServicePresent()) {
        DebugTrace(
            TEXT("Hyper-V service is not present on this system - exiting Hyper-V monitor."));
    } else if (!InitializeWMI()) {
        g_ZelDebug.Error(kSource, __LINE__, TEXT("ERROR:  Unable to initialize WMI!"));
    } else {
        // Until every team of one pass reached the driver; a pass whose query failed found none.
        while (!m_bTeamsInitialized) {
            if (!RunUpdatePass()) {
                g_ZelDebug.Error(kSource, __LINE__,
                                 TEXT("ERROR:  Unable to intialize team array!"));
            }
            if (CheckForStopCommand(0)) {
                break;
            }
        }
        UninitializeWMI();

        // A fresh connection and subscription for every event.
        for (;;) {
            if (GetTimeout() == 0) {
                DebugTrace(TEXT("Timeout is 0 - exiting."));
                break;
            }
            if (!InitializeWMI()) {
                g_ZelDebug.Error(kSource, __LINE__, TEXT("ERROR:  Unable to initialize WMI!"));
                // A namespace that cannot be reached would keep the worker busy and deaf to a
                // stop: wait a slice before trying again, and leave on a stop.
                if (CheckForStopCommand(kRetryPauseSeconds)) {
                    break;
                }
                continue;
            }
            if (WaitForChangeEvent()) {
                RunUpdatePass();
            }
            UninitializeWMI();
            if (CheckForStopCommand(0)) {
                break;
            }
        }
    }
    m_Teams.RemoveAll();
    // A failed InitializeWMI may have left its connection; nothing else would release it.
    m_pIWbemService.Reset();
    SetState(MONITOR_STOPPED);
    DebugTrace(TEXT("Exiting HyperVMonitor::DoMonitor()"));
    return true;
}

bool HyperVMonitor::RunUpdatePass() {
    try {
        return CheckForTeamUpdates();
    } catch (const std::bad_alloc&) {
        // What the pass had built is freed by its owners; the next event runs a whole pass again.
        DebugTrace(TEXT("ERROR:  Out of memory - the update pass was abandoned"));
        return false;
    }
}

bool HyperVMonitor::IsHyperVServicePresent() {
    DebugTrace(TEXT("Entering HyperVMonitor::IsHyperVServicePresent"));
    bool bPresent = false;
    {
        CZelServiceHandle hManager(OpenSCManagerW(NULL, NULL, GENERIC_READ));
        if (hManager) {
            CZelServiceHandle hService(OpenServiceW(hManager, TEXT("VMMS"), GENERIC_READ));
            bPresent = static_cast<bool>(hService);
        }
    }  // both closed before the exit line, the service first
    DebugTrace(TEXT("Exiting HyperVMonitor::IsHyperVServicePresent = %d"), bPresent);
    return bPresent;
}

bool HyperVMonitor::InitializeCOM() {
    DebugTrace(TEXT("Entering HyperVMonitor::InitializeCOM()"));
    bool bSuccess = false;
    HRESULT hr = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        DebugTrace(TEXT("ERROR:  Unable to initialize COM!"));
    } else {
        m_bCOMInitialized = true;
        hr = CoInitializeSecurity(NULL, -1, NULL, NULL, RPC_C_AUTHN_LEVEL_NONE,
                                  RPC_C_IMP_LEVEL_IDENTIFY, NULL, EOAC_NONE, NULL);
        if (FAILED(hr)) {
            DebugTrace(TEXT("ERROR:  Unable to initialize security"));
        } else {
            bSuccess = true;
        }
    }
    DebugTrace(TEXT("Exiting HyperVMonitor::InitializeCOM()"));
    return bSuccess;
}

bool HyperVMonitor::UninitializeCOM() {
    DebugTrace(TEXT("Entering HyperVMonitor::UninitializeCOM()"));
    if (m_bCOMInitialized) {
        CoUninitialize();
        m_bCOMInitialized = false;
    }
    DebugTrace(TEXT("Exiting HyperVMonitor::UninitializeCOM()"));
    return true;
}

bool HyperVMonitor::InitializeWMI() {
    DebugTrace(TEXT("Entering HyperVMonitor::InitializeWMI()"));
    m_pIWbemService.Reset();
    bool bSuccess = false;
    CZelComPtr<IWbemLocator> pLocator;
    HRESULT hr = CoCreateInstance(CLSID_WbemLocator, NULL, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                  reinterpret_cast<LPVOID*>(pLocator.Receive()));
    if (FAILED(hr)) {
        DebugTrace(TEXT("ERROR:  Unable to do CoCreateInstance."));
    } else {
        COSType osType;
        const WCHAR* pszNamespace = osType.IsWin8OrLater() ? TEXT("root\\virtualization\\v2")
                                                           : TEXT("root\\virtualization");
        // A failed connection leaves the namespace null.
        hr = pLocator->ConnectServer(CZelBstr(pszNamespace).Get(), NULL, NULL, NULL, 0, NULL, NULL,
                                     m_pIWbemService.Receive());
        if (FAILED(hr)) {
            DebugTrace(TEXT("ERROR:  Unable to connect the WMI namespace"));
        } else {
            hr = CoSetProxyBlanket(m_pIWbemService.Get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, NULL,
                                   RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, NULL,
                                   EOAC_NONE);
            if (FAILED(hr)) {
                DebugTrace(TEXT("ERROR:  Unable to set proxy blanket"));
            } else {
                bSuccess = true;
            }
        }
    }
    pLocator.Reset();
    DebugTrace(TEXT("Exiting HyperVMonitor::InitializeWMI() bSuccess=%d"), bSuccess);
    return bSuccess;
}

bool HyperVMonitor::UninitializeWMI() {
    DebugTrace(TEXT("Entering HyperVMonitor::UninitializeWMI()"));
    m_pIWbemService.Reset();
    DebugTrace(TEXT("Exiting HyperVMonitor::UninitializeWMI(),  bSuccess=%d"), 1);
    return true;
}

bool HyperVMonitor::WaitForChangeEvent() {
    DebugTrace(TEXT("Entering HyperVMonitor::WaitForChangeEvent()"));
    bool bChanged = false;
    COSType osType;
    bool bVersion2 = osType.IsWin8OrLater();
    CZelComPtr<IEnumWbemClassObject> pEnum;
    if (m_pIWbemService.Get() == NULL) {
        DebugTrace(TEXT("ERROR:  The virtualization namespace is invalid!"));
    } else {
        CZelBstr bstrQuery;
        bool bQuery = EventQuery(bVersion2, &bstrQuery);
        CZelBstr bstrLanguage(TEXT("WQL"));
        if (!bQuery || bstrLanguage.Get() == NULL) {
            // Out of memory: no subscription this cycle; pause so the watch loop cannot spin.
            DebugTrace(TEXT("ERROR:  Unable to allocate the event query"));
            CheckForStopCommand(kRetryPauseSeconds);
        } else {
            DebugTrace(TEXT("%s"), bstrQuery.Get());
            HRESULT hr = m_pIWbemService->ExecNotificationQuery(
                bstrLanguage.Get(), bstrQuery.Get(),
                WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, NULL, pEnum.Receive());
            if (FAILED(hr)) {
                DebugTrace(TEXT("ERROR:  Unable to execute query - hres=%x"), hr);
                // A subscription the provider always refuses would otherwise be retried at once.
                CheckForStopCommand(kRetryPauseSeconds);
            }
        }
    }
    while (pEnum.Get() != NULL) {
        if (CheckForStopCommand(0)) {
            bChanged = false;
            break;
        }
        IWbemClassObject* pReturned = NULL;
        ULONG uReturned = 0;
        HRESULT hr = pEnum->Next(kEventSliceMs, 1, &pReturned, &uReturned);
        // Only an object the enumerator counted is ours; it goes before the next stop poll.
        CZelComPtr<IWbemClassObject> pEvent(uReturned > 0 ? pReturned : NULL);
        if (uReturned > 0 && hr == WBEM_S_NO_ERROR) {
            DebugTrace(TEXT("Found change in hyper-v"));
            pEvent.Reset();
            bChanged = true;
            break;
        }
        if (uReturned == 0) {
            // Only a time-out has waited its slice. An enumerator that fails or ends at once has
            // lost its provider (WMI restarted, say) and would fail so for ever: after a pause,
            // leave the wait so that the next cycle connects and subscribes again.
            if (hr != WBEM_S_TIMEDOUT) {
                CheckForStopCommand(kRetryPauseSeconds);
                break;
            }
        }
    }
    pEnum.Reset();
    DebugTrace(TEXT("Exiting HyperVMonitor::WaitForChangeEvent()"));
    return bChanged;
}

void HyperVMonitor::DumpTeams(CZelPointerArray<TeamedAdapter*>* pTeams) {
    DebugTrace(TEXT("--------------------------------"));
    if (pTeams == NULL) {
        return;
    }
    for (size_t n = 0; n < pTeams->size(); ++n) {
        const TeamedAdapter* pTeam = (*pTeams)[n];
        DebugTrace(TEXT("#%d"), static_cast<int>(n));
        if (pTeam == NULL) {
            continue;
        }
        DebugTrace(TEXT("Name:         %s"), pTeam->m_strName.c_str());
        DebugTrace(TEXT("GUID:         %s"), pTeam->m_strGUID.c_str());
        DebugTrace(TEXT("%d Virtual Machine(s):"),
                   static_cast<int>(pTeam->m_VirtualMachines.size()));
        for (size_t i = 0; i < pTeam->m_VirtualMachines.size(); ++i) {
            const VirtualMachine* pVirtualMachine = pTeam->m_VirtualMachines[i];
            if (pVirtualMachine == NULL) {
                continue;
            }
            DebugTrace(TEXT("System Name:    %s"), pVirtualMachine->m_strSystemName.c_str());
            DebugTrace(TEXT("Internal MAC:   %s"), pVirtualMachine->m_strMAC.c_str());
            DebugTrace(TEXT("Vlan ID:        %d"), pVirtualMachine->m_nVlanID);
        }
    }
}

bool HyperVMonitor::WriteUpdateToBRX(TeamedAdapter* pTeam) {
    DebugTrace(TEXT("Entering HyperVMonitor::WriteUpdateToBRX GUID=%s"), pTeam->m_strGUID.c_str());
    bool bSuccess = true;
    {
        CZelAdapter adapter;
        if (adapter.NotifyBRXOfUpdate(pTeam) != 0) {
            bSuccess = false;
        }
        DebugTrace(TEXT("Exiting HyperVMonitor::WriteUpdateToBRX bSuccess=%d"), bSuccess);
    }
    return bSuccess;
}
