// The machine's WMI service as one process sees it: its namespaces, each a CIM repository built
// by a provider from the machine's live state, and whether the service is running.
//
// Every call a client makes first asks Refresh(), which costs one read of a watch on the machine
// directory while nothing changed, so a change made by any process of the machine is seen at the
// next call. A connection remembers the WMI generation it was made in: once WMI stops, or has
// been restarted since, every call through it fails as a broken RPC connection does on Windows.
#pragma once

#include "Machine/Wmi/Cim.h"
#include "Machine/HyperV/HyperVStore.h"
#include "Machine/Settings/Settings.h"

#include <windef.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// What a call through a connection of a stopped or restarted WMI gives.
constexpr HRESULT kWmiDisconnected = static_cast<HRESULT>(0x80010108);  // RPC_E_DISCONNECTED
// What connecting to a disabled WMI gives: its service cannot be started.
constexpr HRESULT kWmiDisabled = static_cast<HRESULT>(0x80070422);  // ERROR_SERVICE_DISABLED

// A namespace's contents at one moment. `version` grows with every rebuild.
struct WmiSnapshot {
    std::shared_ptr<const CimRepository> repository;
    unsigned long long version = 0;
};

class WmiService {
public:
    // The machine's: Machine::Get().Wmi().
    WmiService(const std::string& machineDir, const MachineSettings& settings);
    ~WmiService();

    // Whether the machine has WMI at all (its locator class is registered).
    bool Installed() const;

    // Connects to `nameSpace` ("root\virtualization\v2", also "\\.\root\..." or
    // "\\HOST\root\..."): S_OK with the generation to keep (a stopped WMI is started again, as
    // Windows starts it on demand), kWmiDisabled when the service database disables it,
    // WBEM_E_INVALID_NAMESPACE for a namespace the machine has not.
    HRESULT Connect(const std::u16string& nameSpace, std::u16string* canonical,
                    unsigned* generation);
    // The namespace now, for a connection made in `generation`; kWmiDisconnected once WMI stopped
    // or restarted since.
    HRESULT Snapshot(const std::u16string& canonical, unsigned generation, WmiSnapshot* out);

    // The live topology (null: the machine has no Hyper-V), for tools and tests.
    std::shared_ptr<const HyperVTopology> Topology();
    // A change of the live topology, as tarvik-sim makes it; "" or what is wrong.
    std::string Change(const std::function<std::string(HyperVTopology&)>& change);

    // The management namespace's method call (see ManagementProvider.h).
    HRESULT ExecMethod(const WmiSnapshot& snapshot, const std::u16string& path,
                       const std::u16string& method, IWbemClassObject** outParams);

private:
    // Under m_lock: re-reads the live state and rebuilds the virtualization namespace if it
    // changed.
    void RefreshLocked();
    bool Matches(const std::u16string& asked, const std::u16string& nameSpace) const;

    bool m_installed;
    OsSettings m_os;
    std::vector<AdapterSettings> m_adapters;
    std::optional<ManagementSettings> m_management;
    WmiSnapshot m_managementSnapshot;  // built once: the provider's data never changes
    std::mutex m_lock;
    std::unique_ptr<HyperVStore> m_store;
    std::shared_ptr<const HyperVTopology> m_topology;
    bool m_version2 = true;
    std::u16string m_virtualization;  // its namespace's name; empty without Hyper-V
    WmiSnapshot m_snapshot;
};

// CoCreateInstance's fallback for the classes WMI registers: the locator and the context.
// REGDB_E_CLASSNOTREG for any other class, or when the machine has no WMI.
HRESULT CreateWmiObject(REFCLSID clsid, REFIID riid, void** ppv);

}  // namespace sim
