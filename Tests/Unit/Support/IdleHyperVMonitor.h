// The Hyper-V monitor without its worker thread, for tests that call its steps directly.
#pragma once

#include "HyperVMonitor.h"

namespace test {

class IdleHyperVMonitor : public HyperVMonitor {
public:
    bool SpawnThread() override { return false; }
};

// An idle monitor whose update pass and its parts are open to the test, on the namespace it
// connects to or one the test gives it.
class OpenHyperVMonitor : public IdleHyperVMonitor {
public:
    ~OpenHyperVMonitor() override { Connect(NULL); }

    using HyperVMonitor::CheckForTeamUpdates;
    using HyperVMonitor::GetPropertyInt;
    using HyperVMonitor::GetPropertyString;
    using HyperVMonitor::InitializeWMI;
    using HyperVMonitor::IsBoundToTeam;
    using HyperVMonitor::IsOrvexTeam;
    using HyperVMonitor::IsTeamInstance;
    using HyperVMonitor::PopulateVirtualMachines;
    using HyperVMonitor::RunUpdatePass;

    // Holds a reference to `pServices` (null: no connection) in place of the one held before.
    void Connect(IWbemServices* pServices) {
        if (pServices != NULL) {
            pServices->AddRef();
        }
        m_pIWbemService = CZelComPtr<IWbemServices>(pServices);
    }
    IWbemServices* Services() const { return m_pIWbemService.Get(); }
    bool TeamsInitialized() const { return m_bTeamsInitialized; }
    const CZelPointerArray<TeamedAdapter*>& PreviousTeams() const { return m_Teams; }
};

}  // namespace test
