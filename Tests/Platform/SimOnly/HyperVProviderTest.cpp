// The Hyper-V namespaces answer the service's association walks: from each external port, the
// VM chain of its model reaches exactly the VM adapters on that switch, with their MACs and VLANs.
#include "Machine/HyperVProvider.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Text = std::u16string;
using Branch = std::vector<const sim::CimInstance*>;  // the object reached at each step

// Every branch a chain of association steps takes from `start`, as the service recurses.
std::vector<Branch> Walk(const sim::CimRepository& repo, const Text& start,
                         const std::vector<Text>& chain) {
    std::vector<Branch> done;
    Branch branch;
    std::function<void(const Text&)> step = [&](const Text& path) {
        if (branch.size() == chain.size()) {
            done.push_back(branch);
            return;
        }
        for (const sim::CimInstance* next : repo.AssociatorsOf(path, chain[branch.size()])) {
            branch.push_back(next);
            step(repo.PathOf(*next));
            branch.pop_back();
        }
    };
    step(start);
    return done;
}

std::string Prop(const sim::CimInstance& object, const Text& name) {
    const sim::CimValue* value = object.Find(name);
    if (!value) {
        return "";
    }
    return value->kind == sim::CimValue::Kind::String ? sim::Utf16ToUtf8(value->text)
                                                      : std::to_string(value->integer);
}

struct ModelRow {
    bool version2;
    std::vector<Text> vmChain;
    size_t vlanFrom;  // the VM chain's step whose object the VLAN walk starts from
    std::vector<Text> vlanChain;
    Text vlanProperty;
    std::vector<Text> eventClasses;
    std::vector<Text> otherModel;
};

const ModelRow kV1{
    false,
    {u"Msvm_SwitchLANEndpoint", u"Msvm_SwitchPort", u"Msvm_VirtualSwitch", u"Msvm_SwitchPort",
     u"Msvm_VmLANEndpoint", u"Msvm_SyntheticEthernetPort", u"Msvm_ComputerSystem"},
    3,
    {u"Msvm_VLANEndpoint", u"Msvm_VLANEndpointSettingData"},
    u"AccessVLAN",
    {u"Msvm_ExternalEthernetPort", u"Msvm_VmLANEndpoint", u"Msvm_SyntheticEthernetPort",
     u"Msvm_ComputerSystem", u"Msvm_VLANEndpointSettingData"},
    {u"Msvm_LANEndpoint", u"MSVM_EthernetSwitchPort", u"Msvm_VirtualEthernetSwitch",
     u"MSVM_VirtualSystemSettingData", u"Msvm_EthernetSwitchPortVlanSettingData"}};
const ModelRow kV2{
    true,
    {u"Msvm_LANEndpoint", u"Msvm_LANEndpoint", u"MSVM_EthernetSwitchPort",
     u"Msvm_VirtualEthernetSwitch", u"MSVM_EthernetSwitchPort", u"Msvm_LANEndpoint",
     u"Msvm_LANEndpoint", u"Msvm_SyntheticEthernetPort", u"Msvm_ComputerSystem"},
    7,
    {u"MSVM_SyntheticEthernetPortSettingData", u"MSVM_VirtualSystemSettingData",
     u"MSVM_EthernetPortAllocationSettingData", u"Msvm_EthernetSwitchPortVlanSettingData"},
    u"AccessVLANId",
    {u"Msvm_ExternalEthernetPort", u"Msvm_VLANEndpoint", u"Msvm_SyntheticEthernetPort",
     u"Msvm_ComputerSystem", u"Msvm_EthernetSwitchPortVlanSettingData"},
    {u"Msvm_VirtualSwitch", u"Msvm_SwitchPort", u"Msvm_SwitchLANEndpoint", u"Msvm_VmLANEndpoint",
     u"Msvm_VLANEndpointSettingData"}};

// Every VLAN the VLAN walk reads, in order (the service keeps the last). Version 2 follows an
// allocation only when its id contains the port settings' id.
std::vector<std::string> Vlans(const sim::CimRepository& repo, const Text& start,
                               const ModelRow& model) {
    std::vector<std::string> vlans;
    for (const Branch& branch : Walk(repo, start, model.vlanChain)) {
        if (model.version2) {
            const std::string target = Prop(*branch[0], u"InstanceId");
            const std::string current = Prop(*branch[2], u"InstanceId");
            if (!target.empty() && !current.empty() && current.find(target) == std::string::npos) {
                continue;
            }
        }
        vlans.push_back(Prop(*branch.back(), model.vlanProperty));
    }
    return vlans;
}

// "DeviceID ElementName" of each external port -> "VM MAC VLAN" of each computer system reached.
std::map<std::string, std::set<std::string>> Reached(const sim::CimRepository& repo,
                                                     const ModelRow& model) {
    std::map<std::string, std::set<std::string>> reached;
    for (const sim::CimInstance* port : repo.InstancesOf(u"Msvm_ExternalEthernetPort")) {
        auto& records = reached[Prop(*port, u"DeviceID") + " " + Prop(*port, u"ElementName")];
        for (const Branch& branch : Walk(repo, repo.PathOf(*port), model.vmChain)) {
            std::string mac;
            for (const sim::CimInstance* object : branch) {
                mac = object->Find(u"MacAddress") ? Prop(*object, u"MacAddress") : mac;
            }
            std::vector<std::string> vlans =
                Vlans(repo, repo.PathOf(*branch[model.vlanFrom]), model);
            const sim::CimInstance& system = *branch.back();
            const bool host = Prop(system, u"Description") == "Microsoft Hosting Computer System";
            records.insert((host ? "host " : "") + Prop(system, u"ElementName") + " " + mac + " " +
                           (vlans.empty() ? "-1" : vlans.back()));
        }
    }
    return reached;
}

TEST(HyperVProvider, ExternalPortWalksReachTheVmsOnTheirSwitch) {
    sim::HyperVTopology topology;
    topology.switches = {
        {u"External A", u"5A000000-0000-0000-0000-00000000000A",
         u"{5B2E0000-1111-2222-3333-44445555000A}", u"", true, u"00155D00AA00"},
        {u"External B", u"5B000000-0000-0000-0000-00000000000B",
         u"{5B2E0000-1111-2222-3333-44445555000B}", u"Uplink B", true, std::nullopt},
        {u"Internal", u"5C000000-0000-0000-0000-00000000000C", u"", u"", true, std::nullopt},
    };
    topology.vms = {
        {u"Web",
         u"0E000000-0000-0000-0000-000000000001",
         {{u"N1", u"00155D000001", u"External A", 10}}},
        {u"Db",
         u"0E000000-0000-0000-0000-000000000002",
         {{u"N1", u"00155D000002", u"External A", std::nullopt},
          {u"N2", u"00155D000003", u"External B", 20}}},
        {u"Lab",
         u"0E000000-0000-0000-0000-000000000003",
         {{u"N1", u"00155D000004", u"", 30}, {u"N2", u"00155D000005", u"Internal", 40}}},
    };
    // The machine's adapter list names external port A; its GUID is in another letter case.
    std::vector<sim::AdapterSettings> adapters(1);
    adapters[0].guid = u"{5b2e0000-1111-2222-3333-44445555000a}";
    adapters[0].name = u"Uplink A";
    const std::map<std::string, std::set<std::string>> expected = {
        {"Microsoft:{5B2E0000-1111-2222-3333-44445555000A} Uplink A",
         {"Web 00155D000001 10", "Db 00155D000002 -1", "host TARVIK-HOST 00155D00AA00 -1"}},
        {"Microsoft:{5B2E0000-1111-2222-3333-44445555000B} Uplink B", {"Db 00155D000003 20"}},
    };

    for (const ModelRow* model : {&kV1, &kV2}) {
        SCOPED_TRACE(model->version2 ? "version 2" : "version 1");
        auto repo = sim::BuildHyperVNamespace(topology, model->version2, adapters);
        EXPECT_EQ(Text(sim::HyperVNamespace(model->version2)), repo->Namespace());
        EXPECT_EQ(u"TARVIK-HOST", repo->Host());
        EXPECT_EQ(expected, Reached(*repo, *model));
        for (const Text& name : model->eventClasses) {
            EXPECT_NE(nullptr, repo->FindClass(name)) << sim::Utf16ToUtf8(name);
        }
        for (const Text& name : model->otherModel) {
            EXPECT_EQ(nullptr, repo->FindClass(name)) << sim::Utf16ToUtf8(name);
        }
    }
}

// The service pairs allocations with port settings by substring, so adapter A1's walk also takes
// A10's allocation and settles on A10's VLAN (the later one).
TEST(HyperVProvider, SettingsIdsThatExtendAnotherMatchItToo) {
    sim::HyperVTopology topology;
    topology.switches = {{u"External", u"5A000000-0000-0000-0000-00000000000A",
                          u"{5B2E0000-1111-2222-3333-44445555000A}", u"", true, std::nullopt}};
    topology.vms = {
        {u"Pair",
         u"0E000000-0000-0000-0000-000000000001",
         {{u"A1", u"00155D000001", u"External", 1}, {u"A10", u"00155D000002", u"External", 10}}}};
    auto repo = sim::BuildHyperVNamespace(topology, true, {});

    auto ports = repo->InstancesOf(u"Msvm_SyntheticEthernetPort");
    ASSERT_EQ(2u, ports.size());
    EXPECT_EQ((std::vector<std::string>{"1", "10"}), Vlans(*repo, repo->PathOf(*ports[0]), kV2));
    EXPECT_EQ((std::vector<std::string>{"10"}), Vlans(*repo, repo->PathOf(*ports[1]), kV2));
    // Named by no one: the external port takes the GUID.
    auto external = repo->InstancesOf(u"Msvm_ExternalEthernetPort");
    ASSERT_EQ(1u, external.size());
    EXPECT_EQ("{5B2E0000-1111-2222-3333-44445555000A}", Prop(*external[0], u"ElementName"));
}

}  // namespace
