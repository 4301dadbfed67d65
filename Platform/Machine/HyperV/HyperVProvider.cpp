// The Hyper-V namespaces as object graphs. Associations are untyped and symmetric, so what a
// client reaches is decided by which objects are linked and by the class tree alone: classes that
// one step must not pick up (the external port's endpoint when a VM's is asked for) are siblings,
// never one derived from the other.
#include "Machine/HyperV/HyperVProvider.h"

#include "Machine/Clock/Clock.h"
#include "Machine/HyperV/HyperVRules.h"
#include "Machine/Machine.h"

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

namespace sim {
namespace {

using Text = std::u16string;

enum class Model { Both, V1, V2 };

struct ClassRow {
    const char16_t* name;
    const char16_t* superclass;
    Model model;
};

// Superclasses first. The CIM roots are shared; each model has only the Msvm_ classes it has on
// Windows, so that a query naming a class of the other model fails as an unknown class.
const ClassRow kClasses[] = {
    {u"CIM_ManagedElement", u"", Model::Both},
    {u"CIM_ManagedSystemElement", u"CIM_ManagedElement", Model::Both},
    {u"CIM_LogicalElement", u"CIM_ManagedSystemElement", Model::Both},
    {u"CIM_EnabledLogicalElement", u"CIM_LogicalElement", Model::Both},
    {u"CIM_System", u"CIM_EnabledLogicalElement", Model::Both},
    {u"CIM_ComputerSystem", u"CIM_System", Model::Both},
    {u"Msvm_ComputerSystem", u"CIM_ComputerSystem", Model::Both},
    {u"Msvm_VirtualSwitch", u"CIM_ComputerSystem", Model::V1},
    {u"CIM_VirtualEthernetSwitch", u"CIM_ComputerSystem", Model::V2},
    {u"Msvm_VirtualEthernetSwitch", u"CIM_VirtualEthernetSwitch", Model::V2},
    {u"CIM_LogicalDevice", u"CIM_EnabledLogicalElement", Model::Both},
    {u"CIM_LogicalPort", u"CIM_LogicalDevice", Model::Both},
    {u"CIM_NetworkPort", u"CIM_LogicalPort", Model::Both},
    {u"CIM_EthernetPort", u"CIM_NetworkPort", Model::Both},
    {u"Msvm_ExternalEthernetPort", u"CIM_EthernetPort", Model::Both},
    {u"Msvm_SyntheticEthernetPort", u"CIM_EthernetPort", Model::Both},
    {u"Msvm_InternalEthernetPort", u"CIM_EthernetPort", Model::Both},
    {u"Msvm_EthernetSwitchPort", u"CIM_EthernetPort", Model::V2},
    {u"CIM_ServiceAccessPoint", u"CIM_EnabledLogicalElement", Model::Both},
    {u"CIM_ProtocolEndpoint", u"CIM_ServiceAccessPoint", Model::Both},
    {u"CIM_LANEndpoint", u"CIM_ProtocolEndpoint", Model::Both},
    {u"Msvm_LANEndpoint", u"CIM_LANEndpoint", Model::V2},
    {u"Msvm_SwitchLANEndpoint", u"CIM_LANEndpoint", Model::V1},
    {u"Msvm_VmLANEndpoint", u"CIM_LANEndpoint", Model::V1},
    {u"CIM_VLANEndpoint", u"CIM_ProtocolEndpoint", Model::Both},
    {u"Msvm_VLANEndpoint", u"CIM_VLANEndpoint", Model::Both},
    {u"CIM_SwitchPort", u"CIM_ProtocolEndpoint", Model::V1},
    {u"Msvm_SwitchPort", u"CIM_SwitchPort", Model::V1},
    {u"CIM_SettingData", u"CIM_ManagedElement", Model::Both},
    {u"CIM_VLANEndpointSettingData", u"CIM_SettingData", Model::V1},
    {u"Msvm_VLANEndpointSettingData", u"CIM_VLANEndpointSettingData", Model::V1},
    {u"CIM_VirtualSystemSettingData", u"CIM_SettingData", Model::V2},
    {u"Msvm_VirtualSystemSettingData", u"CIM_VirtualSystemSettingData", Model::V2},
    {u"CIM_ResourceAllocationSettingData", u"CIM_SettingData", Model::V2},
    {u"Msvm_SyntheticEthernetPortSettingData", u"CIM_ResourceAllocationSettingData", Model::V2},
    {u"CIM_EthernetPortAllocationSettingData", u"CIM_ResourceAllocationSettingData", Model::V2},
    {u"Msvm_EthernetPortAllocationSettingData", u"CIM_EthernetPortAllocationSettingData",
     Model::V2},
    {u"Msvm_EthernetSwitchPortFeatureSettingData", u"CIM_SettingData", Model::V2},
    {u"Msvm_EthernetSwitchPortVlanSettingData", u"Msvm_EthernetSwitchPortFeatureSettingData",
     Model::V2},
};

const char16_t kComputerSystem[] = u"Msvm_ComputerSystem";
const char16_t kHostDescription[] = u"Microsoft Hosting Computer System";
const char16_t kVmDescription[] = u"Microsoft Virtual Machine";
const char16_t kInternalDescription[] = u"Microsoft Internal Ethernet Port";
constexpr long long kEnabled = 2;  // EnabledState: Enabled

// A VM's EnabledState by model: version 2 has the DMTF values (6 "Enabled but Offline" for
// saved, 9 "Quiesce" for paused), version 1 its own 32769 Suspended and 32768 Paused.
long long EnabledState(HyperVVmState state, bool version2) {
    switch (state) {
        case HyperVVmState::Off:
            return 3;
        case HyperVVmState::Saved:
            return version2 ? 6 : 32769;
        case HyperVVmState::Paused:
            return version2 ? 9 : 32768;
        default:
            return kEnabled;
    }
}

// A system, keyed as CIM_System.
CimInstance System(const Text& className, const Text& name) {
    CimInstance instance(className, {u"CreationClassName", u"Name"});
    instance.Set(u"CreationClassName", CimValue::Str(className));
    instance.Set(u"Name", CimValue::Str(name));
    return instance;
}

// A device or an endpoint, keyed as CIM_LogicalDevice (`key` DeviceID) or CIM_ServiceAccessPoint
// (`key` Name): scoped by the system it belongs to.
CimInstance Scoped(const Text& className, const Text& key, const Text& value,
                   const Text& systemClass, const Text& systemName) {
    CimInstance instance(className,
                         {u"CreationClassName", key, u"SystemCreationClassName", u"SystemName"});
    instance.Set(u"CreationClassName", CimValue::Str(className));
    instance.Set(key, CimValue::Str(value));
    instance.Set(u"SystemCreationClassName", CimValue::Str(systemClass));
    instance.Set(u"SystemName", CimValue::Str(systemName));
    return instance;
}

CimInstance Setting(const Text& className, const Text& instanceId) {
    CimInstance instance(className, {u"InstanceID"});
    instance.Set(u"InstanceID", CimValue::Str(instanceId));
    return instance;
}

// A stable MAC for the external port's endpoints: the GUID's last twelve hex digits.
Text MacFromGuid(const Text& guid) {
    Text hex;
    for (char16_t c : guid) {
        if ((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F')) {
            hex += c;
        } else if (c >= u'a' && c <= u'f') {
            hex += static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    if (hex.size() < 12) {
        hex.insert(0, 12 - hex.size(), u'0');
    }
    return hex.substr(hex.size() - 12);
}

class Builder {
public:
    Builder(const HyperVTopology& topology, bool version2,
            const std::vector<AdapterSettings>& adapters, long long nowMs)
        : m_topology(topology),
          m_version2(version2),
          m_adapters(adapters),
          m_nowMs(nowMs),
          m_repo(std::make_unique<CimRepository>(topology.hostName, HyperVNamespace(version2))),
          m_switchClass(version2 ? u"Msvm_VirtualEthernetSwitch" : u"Msvm_VirtualSwitch") {}

    std::unique_ptr<CimRepository> Build() {
        AddClasses();
        AddHost();
        for (const HyperVSwitch& sw : m_topology.switches) {
            AddSwitch(sw);
        }
        for (const HyperVVm& vm : m_topology.vms) {
            AddVm(vm);
        }
        return std::move(m_repo);
    }

private:
    Text Add(CimInstance instance) { return m_repo->AddInstance(std::move(instance)); }
    // An empty path is an object that does not exist: nothing to link.
    void Link(const Text& a, const Text& b) {
        if (!a.empty() && !b.empty()) {
            m_repo->Associate(a, b);
        }
    }
    void Chain(std::initializer_list<Text> paths) {
        for (auto it = paths.begin(); it + 1 != paths.end(); ++it) {
            Link(*it, *(it + 1));
        }
    }
    Text SwitchPath(const HyperVSwitch& sw) const {
        return m_repo->PathOf(System(m_switchClass, sw.id));
    }

    void AddClasses() {
        for (const ClassRow& row : kClasses) {
            if (row.model == Model::Both || (row.model == Model::V2) == m_version2) {
                m_repo->AddClass(row.name, row.superclass);
            }
        }
    }

    void AddHost() {
        CimInstance host = System(kComputerSystem, m_topology.hostName);
        host.Set(u"ElementName", CimValue::Str(m_topology.hostName));
        host.Set(u"Description", CimValue::Str(kHostDescription));
        host.Set(u"EnabledState", CimValue::Int(kEnabled, CIM_UINT16));
        host.Set(u"OnTimeInMilliseconds", CimValue::Null(CIM_UINT64));
        m_hostPath = Add(std::move(host));
    }

    void AddSwitch(const HyperVSwitch& sw) {
        Text path = Add(System(m_switchClass, sw.id).Set(u"ElementName", CimValue::Str(sw.name)));
        if (!sw.adapter.empty()) {
            Text external = AddExternalPort(sw);
            if (m_version2) {
                AddExternalLinkV2(sw, external, path);
            } else {
                AddExternalLinkV1(sw, external, path);
            }
        }
        if (sw.managementOsMac) {
            AddInternalPort(sw, *sw.managementOsMac, path);
        }
    }

    // The switch's own name for it, else the machine's name of that adapter, else its GUID.
    Text ExternalPortName(const HyperVSwitch& sw) const {
        if (!sw.adapterName.empty()) {
            return sw.adapterName;
        }
        for (const AdapterSettings& adapter : m_adapters) {
            if (!adapter.name.empty() && CimNamesEqual(adapter.guid, sw.adapter)) {
                return adapter.name;
            }
        }
        return sw.adapter;
    }

    Text AddExternalPort(const HyperVSwitch& sw) {
        CimInstance port = Scoped(u"Msvm_ExternalEthernetPort", u"DeviceID",
                                  u"Microsoft:" + sw.adapter, kComputerSystem, HostName());
        port.Set(u"ElementName", CimValue::Str(ExternalPortName(sw)));
        port.Set(u"IsBound", CimValue::Bool(sw.bound));
        port.Set(u"LinkTechnology", CimValue::Int(2, CIM_UINT16));  // Ethernet
        port.Set(u"EnabledState", CimValue::Int(kEnabled, CIM_UINT16));
        Text path = Add(std::move(port));
        Link(m_hostPath, path);
        return path;
    }

    // External port -- its endpoint -- the switch side's endpoint -- the switch port -- switch.
    void AddExternalLinkV2(const HyperVSwitch& sw, const Text& external, const Text& switchPath) {
        const Text mac = MacFromGuid(sw.adapter);
        Text endpoint = Add(
            Scoped(u"Msvm_LANEndpoint", u"Name", sw.id + u"-EXT-EP", kComputerSystem, HostName())
                .Set(u"MacAddress", CimValue::Str(mac)));
        Text switchSide =
            Add(Scoped(u"Msvm_LANEndpoint", u"Name", sw.id + u"-EXT-PORT-EP", m_switchClass, sw.id)
                    .Set(u"MacAddress", CimValue::Str(mac)));
        Text port = Add(Scoped(u"Msvm_EthernetSwitchPort", u"Name", sw.id + u"-EXT-PORT",
                               m_switchClass, sw.id));
        Chain({external, endpoint, switchSide, port, switchPath});
    }

    // External port -- its switch endpoint -- the switch port -- switch.
    void AddExternalLinkV1(const HyperVSwitch& sw, const Text& external, const Text& switchPath) {
        Text endpoint = Add(Scoped(u"Msvm_SwitchLANEndpoint", u"Name", sw.id + u"-EXT-EP",
                                   kComputerSystem, HostName())
                                .Set(u"MacAddress", CimValue::Str(MacFromGuid(sw.adapter))));
        Text port = AddSwitchPortV1(sw, switchPath, sw.id + u"-EXT-PORT", std::nullopt);
        Chain({external, endpoint, port});
    }

    // A version-1 switch port with its VLAN endpoint, which carries the access VLAN's settings.
    Text AddSwitchPortV1(const HyperVSwitch& sw, const Text& switchPath, const Text& name,
                         std::optional<int> vlan) {
        Text port = Add(Scoped(u"Msvm_SwitchPort", u"Name", name, m_switchClass, sw.id));
        Text vlanEndpoint =
            Add(Scoped(u"Msvm_VLANEndpoint", u"Name", name + u"-VLAN", m_switchClass, sw.id));
        Chain({switchPath, port, vlanEndpoint});
        if (vlan) {
            Link(vlanEndpoint,
                 Add(Setting(u"Msvm_VLANEndpointSettingData", u"Microsoft:" + name + u"\\VLAN")
                         .Set(u"AccessVLAN", CimValue::Int(*vlan, CIM_UINT16))));
        }
        return port;
    }

    // The management OS's own network adapter on the switch: an internal Ethernet port of the
    // host, joined to its switch port as the external port is (version 1 through a switch LAN
    // endpoint; version 2 endpoint to endpoint, with the port's active settings beside it).
    void AddInternalPort(const HyperVSwitch& sw, const Text& mac, const Text& switchPath) {
        Text internal = Add(Scoped(u"Msvm_InternalEthernetPort", u"DeviceID",
                                   u"Microsoft:" + NameGuid("internal port", sw.id),
                                   kComputerSystem, HostName())
                                .Set(u"Description", CimValue::Str(kInternalDescription))
                                .Set(u"ElementName", CimValue::Str(sw.name))
                                .Set(u"PermanentAddress", CimValue::Str(mac))
                                .Set(u"LinkTechnology", CimValue::Int(2, CIM_UINT16)));
        Link(m_hostPath, internal);
        const Text name = sw.id + u"-INT";
        if (m_version2) {
            Text endpoint =
                Add(Scoped(u"Msvm_LANEndpoint", u"Name", name + u"-EP", kComputerSystem, HostName())
                        .Set(u"MacAddress", CimValue::Str(mac)));
            Text switchSide =
                Add(Scoped(u"Msvm_LANEndpoint", u"Name", name + u"-PORT-EP", m_switchClass, sw.id)
                        .Set(u"MacAddress", CimValue::Str(mac)));
            Text port = Add(
                Scoped(u"Msvm_EthernetSwitchPort", u"Name", name + u"-PORT", m_switchClass, sw.id));
            Chain({internal, endpoint, switchSide, port, switchPath});
            // Its HostResource names the host's computer system: a string array, which the
            // repository cannot hold yet.
            Link(port, Add(Setting(u"Msvm_EthernetPortAllocationSettingData",
                                   u"Microsoft:" + sw.id + u"\\" + name)));
        } else {
            Text endpoint = Add(Scoped(u"Msvm_SwitchLANEndpoint", u"Name", name + u"-EP",
                                       kComputerSystem, HostName())
                                    .Set(u"MacAddress", CimValue::Str(mac)));
            Chain({internal, endpoint,
                   AddSwitchPortV1(sw, switchPath, name + u"-PORT", std::nullopt)});
        }
    }

    // A VM's computer system always; its settings always; its devices only while it is
    // instantiated, and a version-2 switch port only then unless the topology keeps them.
    void AddVm(const HyperVVm& vm) {
        CimInstance system = System(kComputerSystem, vm.id);
        system.Set(u"ElementName", CimValue::Str(vm.name));
        system.Set(u"Description", CimValue::Str(kVmDescription));
        system.Set(u"EnabledState", CimValue::Int(EnabledState(vm.state, m_version2), CIM_UINT16));
        system.Set(u"OnTimeInMilliseconds", CimValue::Int(vm.OnTimeMs(m_nowMs), CIM_UINT64));
        const Text owner = Add(std::move(system));
        const bool live = vm.Instantiated();
        Text settings;
        if (m_version2) {
            settings = Add(Setting(u"Msvm_VirtualSystemSettingData", u"Microsoft:" + vm.id)
                               .Set(u"ElementName", CimValue::Str(vm.name)));
            Link(owner, settings);
        }
        for (const HyperVAdapter& adapter : vm.adapters) {
            const HyperVSwitch* sw =
                adapter.switchName.empty() ? nullptr : m_topology.FindSwitch(adapter.switchName);
            const Text local = vm.id + u"\\" + adapter.id;
            Text synthetic;
            if (live) {
                synthetic = Add(Scoped(u"Msvm_SyntheticEthernetPort", u"DeviceID",
                                       u"Microsoft:" + local, kComputerSystem, vm.id)
                                    .Set(u"ElementName", CimValue::Str(u"Network Adapter"))
                                    .Set(u"PermanentAddress", CimValue::Str(adapter.mac)));
                Link(owner, synthetic);
            }
            if (m_version2) {
                Text endpoint;
                if (live) {
                    endpoint =
                        Add(Scoped(u"Msvm_LANEndpoint", u"Name", local, kComputerSystem, vm.id)
                                .Set(u"MacAddress", CimValue::Str(adapter.mac)));
                    Link(endpoint, synthetic);
                }
                if (sw && (live || m_topology.vmSwitchPortsWhileOff)) {
                    ConnectV2(*sw, sw->id + u"-" + local, adapter.mac, endpoint);
                }
                AddPortSettingsV2(settings, synthetic, local, adapter.mac, sw != nullptr,
                                  adapter.vlan);
            } else if (sw) {
                // Names carry the switch, so a move replaces the objects rather than relinking
                // them. The port was created for the adapter and stays; the endpoint that
                // connects it is the instantiated VM's.
                const Text name = sw->id + u"-" + local;
                Text port = AddSwitchPortV1(*sw, SwitchPath(*sw), name, adapter.vlan);
                if (live) {
                    Chain({port,
                           Add(Scoped(u"Msvm_VmLANEndpoint", u"Name", name, kComputerSystem, vm.id)
                                   .Set(u"MacAddress", CimValue::Str(adapter.mac))),
                           synthetic});
                }
            }
        }
    }

    // Switch -- port -- the port's endpoint -- the adapter's endpoint (none while the VM is not
    // instantiated); the port's VLAN endpoint appears and goes with the port.
    void ConnectV2(const HyperVSwitch& sw, const Text& name, const Text& mac,
                   const Text& adapterEndpoint) {
        Text port = Add(Scoped(u"Msvm_EthernetSwitchPort", u"Name", name, m_switchClass, sw.id));
        Text endpoint =
            Add(Scoped(u"Msvm_LANEndpoint", u"Name", name + u"-EP", m_switchClass, sw.id)
                    .Set(u"MacAddress", CimValue::Str(mac)));
        Chain({SwitchPath(sw), port, endpoint, adapterEndpoint});
        Link(port,
             Add(Scoped(u"Msvm_VLANEndpoint", u"Name", name + u"-VLAN", m_switchClass, sw.id)));
    }

    // Synthetic port (while there is one) -- its settings -- the VM's settings -- the
    // connection's allocation -- VLAN. The allocation's id extends the port settings' id, which
    // is how a client pairs them.
    void AddPortSettingsV2(const Text& vmSettings, const Text& synthetic, const Text& local,
                           const Text& mac, bool connected, std::optional<int> vlan) {
        const Text id = u"Microsoft:" + local;
        Text port = Add(Setting(u"Msvm_SyntheticEthernetPortSettingData", id)
                            .Set(u"ElementName", CimValue::Str(u"Network Adapter"))
                            .Set(u"Address", CimValue::Str(mac)));
        Chain({synthetic, port, vmSettings});
        if (!connected) {
            return;
        }
        Text allocation = Add(Setting(u"Msvm_EthernetPortAllocationSettingData", id + u"\\C"));
        Link(vmSettings, allocation);
        if (vlan) {
            Link(allocation,
                 Add(Setting(u"Msvm_EthernetSwitchPortVlanSettingData", id + u"\\C\\VLAN")
                         .Set(u"AccessVlanId", CimValue::Int(*vlan, CIM_UINT16))
                         .Set(u"OperationMode", CimValue::Int(1, CIM_UINT32))));  // access
        }
    }

    const Text& HostName() const { return m_topology.hostName; }

    const HyperVTopology& m_topology;
    const bool m_version2;
    const std::vector<AdapterSettings>& m_adapters;
    const long long m_nowMs;
    std::unique_ptr<CimRepository> m_repo;
    const Text m_switchClass;
    Text m_hostPath;
};

}  // namespace

const char16_t* HyperVNamespace(bool version2) {
    return version2 ? u"root\\virtualization\\v2" : u"root\\virtualization";
}

bool HyperVVersion2(const HyperVTopology& topology, const OsSettings& os) {
    switch (topology.model) {
        case HyperVTopology::Model::V1:
            return false;
        case HyperVTopology::Model::V2:
            return true;
        case HyperVTopology::Model::Auto:
            break;
    }
    return os.major > 6 || (os.major == 6 && os.minor >= 2);
}

std::unique_ptr<CimRepository> BuildHyperVNamespace(const HyperVTopology& topology, bool version2,
                                                    const std::vector<AdapterSettings>& adapters,
                                                    long long nowMs) {
    return Builder(topology, version2, adapters, nowMs).Build();
}

std::unique_ptr<CimRepository> BuildHyperVNamespace(const HyperVTopology& topology, bool version2,
                                                    const std::vector<AdapterSettings>& adapters) {
    return BuildHyperVNamespace(topology, version2, adapters,
                                Machine::Get().Clock().Now() / Clock::kUnitsPerMs);
}

}  // namespace sim
