// The Hyper-V namespaces as object graphs. Associations are untyped and symmetric, so what a
// client reaches is decided by which objects are linked and by the class tree alone: classes that
// one step must not pick up (the external port's endpoint when a VM's is asked for) are siblings,
// never one derived from the other.
#include "Machine/HyperV/HyperVProvider.h"

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
constexpr long long kEnabled = 2;  // EnabledState: Enabled

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

// The computer system a network adapter belongs to: a VM, or the host for the management OS.
struct Owner {
    Text id;
    Text path;
};

class Builder {
public:
    Builder(const HyperVTopology& topology, bool version2,
            const std::vector<AdapterSettings>& adapters)
        : m_topology(topology),
          m_version2(version2),
          m_adapters(adapters),
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
    void Link(const Text& a, const Text& b) { m_repo->Associate(a, b); }
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
        m_host = {m_topology.hostName, Add(std::move(host))};
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
            AddAdapter(m_host, u"Management-" + sw.id, *sw.managementOsMac, &sw, std::nullopt);
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
                                  u"Microsoft:" + sw.adapter, kComputerSystem, m_host.id);
        port.Set(u"ElementName", CimValue::Str(ExternalPortName(sw)));
        port.Set(u"IsBound", CimValue::Bool(sw.bound));
        port.Set(u"LinkTechnology", CimValue::Int(2, CIM_UINT16));  // Ethernet
        port.Set(u"EnabledState", CimValue::Int(kEnabled, CIM_UINT16));
        Text path = Add(std::move(port));
        Link(m_host.path, path);
        return path;
    }

    // External port -- its endpoint -- the switch side's endpoint -- the switch port -- switch.
    void AddExternalLinkV2(const HyperVSwitch& sw, const Text& external, const Text& switchPath) {
        const Text mac = MacFromGuid(sw.adapter);
        Text endpoint =
            Add(Scoped(u"Msvm_LANEndpoint", u"Name", sw.id + u"-EXT-EP", kComputerSystem, m_host.id)
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
                                   kComputerSystem, m_host.id)
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

    void AddVm(const HyperVVm& vm) {
        CimInstance system = System(kComputerSystem, vm.id);
        system.Set(u"ElementName", CimValue::Str(vm.name));
        system.Set(u"Description", CimValue::Str(kVmDescription));
        system.Set(u"EnabledState", CimValue::Int(kEnabled, CIM_UINT16));
        const Owner owner{vm.id, Add(std::move(system))};
        Text settings;
        if (m_version2) {
            settings = Add(Setting(u"Msvm_VirtualSystemSettingData", u"Microsoft:" + vm.id)
                               .Set(u"ElementName", CimValue::Str(vm.name)));
            Link(owner.path, settings);
        }
        for (const HyperVAdapter& adapter : vm.adapters) {
            const HyperVSwitch* sw =
                adapter.switchName.empty() ? nullptr : m_topology.FindSwitch(adapter.switchName);
            Text synthetic = AddAdapter(owner, adapter.id, adapter.mac, sw, adapter.vlan);
            if (m_version2) {
                AddPortSettingsV2(settings, synthetic, vm.id + u"\\" + adapter.id, adapter.mac,
                                  sw != nullptr, adapter.vlan);
            }
        }
    }

    // A network adapter of `owner`, connected to `sw` unless null; returns its synthetic port.
    // The VLAN of a version-2 adapter lives in its VM's settings (AddPortSettingsV2).
    Text AddAdapter(const Owner& owner, const Text& id, const Text& mac, const HyperVSwitch* sw,
                    std::optional<int> vlan) {
        const Text local = owner.id + u"\\" + id;
        Text synthetic = Add(Scoped(u"Msvm_SyntheticEthernetPort", u"DeviceID",
                                    u"Microsoft:" + local, kComputerSystem, owner.id)
                                 .Set(u"ElementName", CimValue::Str(u"Network Adapter"))
                                 .Set(u"PermanentAddress", CimValue::Str(mac)));
        Link(owner.path, synthetic);
        if (m_version2) {
            // The adapter's own endpoint exists whether or not it is connected.
            Text endpoint =
                Add(Scoped(u"Msvm_LANEndpoint", u"Name", local, kComputerSystem, owner.id)
                        .Set(u"MacAddress", CimValue::Str(mac)));
            Link(endpoint, synthetic);
            if (sw) {
                ConnectV2(*sw, sw->id + u"-" + local, mac, endpoint);
            }
        } else if (sw) {
            // Names carry the switch, so a move replaces the objects rather than relinking them.
            const Text name = sw->id + u"-" + local;
            Text port = AddSwitchPortV1(*sw, SwitchPath(*sw), name, vlan);
            Text endpoint =
                Add(Scoped(u"Msvm_VmLANEndpoint", u"Name", name, kComputerSystem, owner.id)
                        .Set(u"MacAddress", CimValue::Str(mac)));
            Chain({port, endpoint, synthetic});
        }
        return synthetic;
    }

    // Switch -- port -- the port's endpoint -- the adapter's endpoint; the port's VLAN endpoint
    // appears and goes with the connection.
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

    // Synthetic port -- its settings -- the VM's settings -- the connection's allocation -- VLAN.
    // The allocation's id extends the port settings' id, which is how a client pairs them.
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

    const HyperVTopology& m_topology;
    const bool m_version2;
    const std::vector<AdapterSettings>& m_adapters;
    std::unique_ptr<CimRepository> m_repo;
    const Text m_switchClass;
    Owner m_host;
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
                                                    const std::vector<AdapterSettings>& adapters) {
    return Builder(topology, version2, adapters).Build();
}

}  // namespace sim
