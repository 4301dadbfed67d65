#include "HyperVMonitor.h"

#include "ZelAdapter.h"
#include "ZelDebug.h"

HyperVMonitor::HyperVMonitor()
    : GenericMonitor(),
      m_Teams(),
      m_bCOMInitialized(false),
      m_pIWbemService(NULL),
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
    }
    UninitializeCOM();
    DebugTrace(TEXT("Exiting HyperVMonitor::~HyperVMonitor()"));
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
