#include "Machine/Wmi/Wmi.h"

#include "Machine/HyperV/HyperVChanges.h"
#include "Machine/HyperV/HyperVProvider.h"
#include "Machine/Registry/RegKey.h"
#include "Machine/Registry/RegistryStore.h"
#include "Machine/Wmi/ManagementProvider.h"
#include "Machine/Machine.h"
#include "Machine/Wmi/WmiObjects.h"

namespace sim {

namespace {

// The namespace part of a ConnectServer resource: "\\.\root\x", "\\HOST\root\x" and "//./root/x"
// name the local "root\x".
std::u16string LocalNamespace(const std::u16string& resource, const std::u16string& host) {
    std::u16string text = resource;
    for (char16_t& c : text) {
        if (c == u'/') {
            c = u'\\';
        }
    }
    if (text.rfind(u"\\\\", 0) != 0) {
        return text;
    }
    size_t end = text.find(u'\\', 2);
    if (end == std::u16string::npos) {
        return std::u16string();
    }
    std::u16string server = text.substr(2, end - 2);
    if (server != u"." && !CimNamesEqual(server, u"localhost") && !CimNamesEqual(server, host)) {
        return std::u16string();  // another machine: none is reachable from here
    }
    return text.substr(end + 1);
}

// Whether the service database marks WMI's service disabled (Start 4, SERVICE_DISABLED).
bool WinmgmtDisabled() {
    bool disabled = false;
    Machine::Get().Registry().Read([&](const RegKey& tree) {
        const RegKey* key =
            tree.Find(u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Winmgmt");
        disabled = key != nullptr && ReadDword(*key, u"Start") == 4;
    });
    return disabled;
}

}  // namespace

WmiService::WmiService(const std::string& machineDir, const MachineSettings& settings)
    : m_installed(settings.wmiInstalled),
      m_os(settings.os),
      m_adapters(settings.adapters),
      m_management(settings.management),
      m_store(std::make_unique<HyperVStore>(machineDir, settings.hyperv)) {
    if (m_management) {
        std::u16string host = settings.hyperv ? settings.hyperv->hostName : u"TARVIK-HOST";
        m_managementSnapshot.repository = BuildManagementNamespace(*m_management, host);
        m_managementSnapshot.version = 1;
    }
}

WmiService::~WmiService() = default;

bool WmiService::Installed() const {
    return m_installed;
}

void WmiService::RefreshLocked() {
    bool changed = false;
    std::shared_ptr<const HyperVTopology> topology = m_store->Current(&changed);
    if (!changed && m_snapshot.version != 0) {
        return;
    }
    m_topology = topology;
    ++m_snapshot.version;
    if (topology == nullptr) {
        m_virtualization.clear();
        m_snapshot.repository.reset();
        return;
    }
    m_version2 = HyperVVersion2(*topology, m_os);
    m_virtualization = HyperVNamespace(m_version2);
    m_snapshot.repository = BuildHyperVNamespace(*topology, m_version2, m_adapters);
}

bool WmiService::Matches(const std::u16string& asked, const std::u16string& nameSpace) const {
    return !nameSpace.empty() && CimNamesEqual(asked, nameSpace);
}

HRESULT WmiService::Connect(const std::u16string& nameSpace, std::u16string* canonical,
                            unsigned* generation) {
    std::lock_guard<std::mutex> hold(m_lock);
    RefreshLocked();
    if (m_topology != nullptr && !m_topology->wmiRunning) {
        // The service control manager starts a stopped WMI for the next client that connects;
        // a disabled one stays away.
        if (WinmgmtDisabled()) {
            return kWmiDisabled;
        }
        m_store->Update([](HyperVTopology& t) { return StartWmi(t); });
        RefreshLocked();
    }
    std::u16string host = m_topology != nullptr ? m_topology->hostName : u"TARVIK-HOST";
    std::u16string local = LocalNamespace(nameSpace, host);
    if (Matches(local, m_virtualization)) {
        *canonical = m_virtualization;
    } else if (m_management && Matches(local, kManagementNamespace)) {
        *canonical = kManagementNamespace;
    } else {
        return WBEM_E_INVALID_NAMESPACE;
    }
    *generation = m_topology != nullptr ? m_topology->wmiGeneration : 0;
    return S_OK;
}

HRESULT WmiService::Snapshot(const std::u16string& canonical, unsigned generation,
                             WmiSnapshot* out) {
    std::lock_guard<std::mutex> hold(m_lock);
    RefreshLocked();
    bool running = m_topology == nullptr || m_topology->wmiRunning;
    unsigned now = m_topology != nullptr ? m_topology->wmiGeneration : 0;
    if (!running || now != generation) {
        return kWmiDisconnected;
    }
    if (Matches(canonical, m_virtualization)) {
        *out = m_snapshot;
    } else if (m_management && Matches(canonical, kManagementNamespace)) {
        *out = m_managementSnapshot;
    } else {
        return kWmiDisconnected;
    }
    return S_OK;
}

HRESULT WmiService::ExecMethod(const WmiSnapshot& snapshot, const std::u16string& path,
                               const std::u16string& method, IWbemClassObject** outParams) {
    if (!m_management || snapshot.repository != m_managementSnapshot.repository) {
        return WBEM_E_INVALID_METHOD;  // the virtualization provider has no methods here
    }
    return ExecManagementMethod(*snapshot.repository, *m_management, path, method, outParams);
}

std::shared_ptr<const HyperVTopology> WmiService::Topology() {
    std::lock_guard<std::mutex> hold(m_lock);
    RefreshLocked();
    return m_topology;
}

std::string WmiService::Change(const std::function<std::string(HyperVTopology&)>& change) {
    return m_store->Update(change);
}

HRESULT CreateWmiObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!Machine::Get().Wmi().Installed()) {
        return REGDB_E_CLASSNOTREG;
    }
    if (clsid == CLSID_WbemLocator) {
        return NewWbemLocator(riid, ppv);
    }
    if (clsid == CLSID_WbemContext) {
        return NewWbemContext(riid, ppv);
    }
    return REGDB_E_CLASSNOTREG;
}

}  // namespace sim
