// The Hyper-V topology of the simulated machine: its file forms, their faults, the changes
// made while a service runs, and the namespace a VM shows in each power state.
#include "Machine/HyperV/HyperVChanges.h"
#include "Machine/HyperV/HyperVProvider.h"
#include "Machine/Settings/Settings.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using sim::HyperVTopology;

std::string ErrorOf(const std::function<void()>& parse) {
    try {
        parse();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(taken)";
}

// The VM of that name; a missing one fails the test and gives an empty VM.
sim::HyperVVm VmOf(const HyperVTopology& t, const std::u16string& name) {
    const sim::HyperVVm* vm = t.FindVm(name);
    EXPECT_NE(nullptr, vm) << sim::Utf16ToUtf8(name);
    return vm ? *vm : sim::HyperVVm();
}

TEST(HyperVTopology, MalformedTopologiesAreNamedByFileLineEntryAndFault) {
    const struct {
        const char *file, *text, *expected;  // the text is the whole of the file
    } rows[] = {
        {"machine.json",
         "{\"hyperv\": {\n"
         "  \"switches\": [{\"name\": \"Team A switch\"}],\n"
         "  \"vms\": [\n"
         "    {\"name\": \"web-01\", \"adapters\": [\n"
         "      {\"mac\": \"00155D010203\",\n"
         "       \"switch\": \"Nowhere\"}]}]}}",
         "6: hyperv.vms[0].adapters[0].switch: no switch named \"Nowhere\""},
        {"hyperv.json",
         "{\"switches\": [{\"name\": \"S\", \"id\": \"0a0b0c0d-0000-0000-0000-000000000001\"}],\n"
         "\"vms\": [{\"name\": \"v\", \"id\": \"0A0B0C0D-0000-0000-0000-000000000001\"}]}",
         "2: vms[0].id: \"0A0B0C0D-0000-0000-0000-000000000001\" is the GUID of switch \"S\" too"},
        {"hyperv.json", "{\"vms\": [{\"name\": \"v\",\n\"state\": \"asleep\"}]}",
         "2: setting \"vms[0].state\": expected \"running\", \"off\", \"saved\" or \"paused\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::string file = row.file;
        EXPECT_EQ(file + ":" + row.expected, ErrorOf([&] {
                      file == "machine.json" ? (void)sim::ParseSettings(row.text, file)
                                             : (void)sim::ParseTopology(row.text, file);
                  }));
    }
}

const char kMachine[] = R"({
  "adapters": [{"guid": "{11111111-2222-3333-4444-555555555555}", "name": "Orvex 10G Port 1"}],
  "hyperv": {
    "model": "v2",
    "switches": [
      {"name": "Team A switch", "adapter": "{11111111-2222-3333-4444-555555555555}",
       "managementOsMac": "00155d000001"},
      {"name": "Internal"}
    ],
    "vms": [
      {"name": "web-01", "adapters": [
        {"mac": "00155d010101", "switch": "team a SWITCH", "vlan": 12},
        {"mac": "00155D010102"}]},
      {"name": "Team A switch", "id": "aaaaaaaa-0000-0000-0000-00000000000a", "adapters": [
        {"id": "nic", "mac": "00155D010201", "switch": "Internal", "vlan": 0}]}
    ]
  }
})";

TEST(HyperVTopology, ChangeErrorsNameTheFaultAndLeaveTheTopologyAsItWas) {
    const HyperVTopology base = *sim::ParseSettings(kMachine, "machine.json").hyperv;
    sim::HyperVVm twin{u"new", u"", {{u"", u"00155d010101", u"", std::nullopt}}};
    sim::HyperVVm again{u"WEB-01", u"", {}};
    struct Row {
        const char* expected;
        std::function<std::string(HyperVTopology&)> change;
    } rows[] = {
        {"there is a VM named \"web-01\" already",
         [&](HyperVTopology& t) { return sim::AddVm(t, again); }},
        {"VM \"new\", adapter \"A1\": mac: 00155D010101 is the MAC of VM \"web-01\", adapter "
         "\"A1\" too",
         [&](HyperVTopology& t) { return sim::AddVm(t, twin); }},
        {"no VM named \"ghost\"", [](HyperVTopology& t) { return sim::RemoveVm(t, u"ghost"); }},
        {"VM \"web-01\" has no adapter \"A9\"",
         [](HyperVTopology& t) { return sim::ConnectAdapter(t, u"web-01", u"A9", u"Internal"); }},
        {"\"00:15:5D:01:01:09\" is not a MAC address: expected twelve hexadecimal digits",
         [](HyperVTopology& t) { return sim::SetMac(t, u"web-01", u"A1", u"00:15:5D:01:01:09"); }},
        {"switch \"Internal\" is internal: it has no external port to bind",
         [](HyperVTopology& t) { return sim::SetSwitchBound(t, u"internal", false); }},
        {"VM \"web-01\" is running: only a paused VM can be resumed",
         [](HyperVTopology& t) {
             return sim::ChangeVmState(t, u"web-01", sim::VmPowerAction::Resume, 5);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        HyperVTopology t = base;
        EXPECT_EQ(row.expected, row.change(t));
        EXPECT_TRUE(t == base);
    }

    // What they do when they succeed: names in any case, kept as the topology spells them.
    HyperVTopology t = base;
    EXPECT_EQ("", sim::ConnectAdapter(t, u"WEB-01", u"a2", u"internal"));
    EXPECT_EQ(u"Internal", VmOf(t, u"web-01").adapters.at(1).switchName);
    EXPECT_EQ("", sim::SetMac(t, u"web-01", u"A2", u"00155d0101ff"));
    EXPECT_EQ(u"00155D0101FF", VmOf(t, u"web-01").adapters.at(1).mac);
    EXPECT_EQ("", sim::StopWmi(t));
    EXPECT_EQ("", sim::StartWmi(t));
    EXPECT_EQ("", sim::StartWmi(t));
    EXPECT_TRUE(t.wmiRunning);
    EXPECT_EQ(1u, t.wmiGeneration);
    EXPECT_EQ("", sim::AddVm(t, {u"db-01", u"", {{u"", u"00155D030101", u"", 7}}}));
    EXPECT_EQ(u"A1", VmOf(t, u"DB-01").adapters.at(0).id);
    EXPECT_EQ(sim::ParseTopology(R"({"vms": [{"name": "db-01"}]})", "x").vms[0].id,
              VmOf(t, u"db-01").id);

    // The on time leaves out the paused spell and starts again when a saved VM is restored.
    auto power = [&](sim::VmPowerAction action, long long nowMs) {
        EXPECT_EQ("", sim::ChangeVmState(t, u"web-01", action, nowMs));
    };
    power(sim::VmPowerAction::Pause, 4000);
    power(sim::VmPowerAction::Resume, 10000);
    EXPECT_EQ(6000, VmOf(t, u"web-01").OnTimeMs(12000));
    power(sim::VmPowerAction::Save, 13000);
    EXPECT_EQ(0, VmOf(t, u"web-01").OnTimeMs(14000));
    power(sim::VmPowerAction::Start, 20000);
    power(sim::VmPowerAction::Pause, 20500);
    EXPECT_EQ(500, VmOf(t, u"web-01").OnTimeMs(99000));
    t.countersRaiseEvents = t.vmSwitchPortsWhileOff = true;
    EXPECT_TRUE(sim::ParseTopology(sim::WriteTopology(t), "hyperv.json") == t);
}

// A VM's objects in each power state, in both models, beside the host's own adapter: devices
// (synthetic port, its endpoint and connection) only while instantiated, settings always, and
// switch ports as each model keeps them.
TEST(HyperVTopology, TheNamespaceShowsAVmsDevicesOnlyWhileItIsInstantiated) {
    // EnabledState, OnTimeInMilliseconds, then how many synthetic ports, LAN endpoints, switch
    // ports and settings there are
    const struct {
        bool version2, portsWhileOff;
        const char* vm;  // the VM's members besides its name and adapter
        std::vector<long long> expected;
    } rows[] = {
        {true, false, R"("onSince": 1000)", {2, 4000, 1, 6, 3, 5}},
        {true, false, R"("state": "paused", "onTime": 700)", {9, 700, 1, 6, 3, 5}},
        {true, false, R"("state": "off")", {3, 0, 0, 4, 2, 5}},
        {true, false, R"("state": "saved")", {6, 0, 0, 4, 2, 5}},
        {true, true, R"("state": "saved")", {6, 0, 0, 5, 3, 5}},
        {false, false, R"("onSince": 1000)", {2, 4000, 1, 3, 3, 1}},
        {false, false, R"("state": "paused")", {32768, 0, 1, 3, 3, 1}},
        {false, false, R"("state": "off")", {3, 0, 0, 2, 3, 1}},
        {false, false, R"("state": "saved")", {32769, 0, 0, 2, 3, 1}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.vm) + (row.version2 ? " v2" : " v1"));
        HyperVTopology t = sim::ParseTopology(
            std::string(R"({"vmSwitchPortsWhileOff": )") + (row.portsWhileOff ? "true" : "false") +
                R"(, "switches": [{"name": "S", "adapter": "{00000000-0000-0000-0000-00000000000A}",
                   "managementOsMac": "00155D000001"}],
                   "vms": [{"name": "vm", )" +
                row.vm + R"(, "adapters": [{"mac": "00155D000002", "switch": "S", "vlan": 5}]}]})",
            "hyperv.json");
        auto repo = sim::BuildHyperVNamespace(t, row.version2, {}, 5000);
        auto count = [&](const char16_t* cls) {
            return static_cast<long long>(repo->InstancesOf(cls).size());
        };
        std::vector<const sim::CimInstance*> systems = repo->InstancesOf(u"Msvm_ComputerSystem");
        const sim::CimInstance* vm = systems.back();  // after the host's
        EXPECT_EQ(
            row.expected,
            (std::vector<long long>{
                vm->Find(u"EnabledState")->integer, vm->Find(u"OnTimeInMilliseconds")->integer,
                count(u"Msvm_SyntheticEthernetPort"), count(u"CIM_LANEndpoint"),
                count(row.version2 ? u"Msvm_EthernetSwitchPort" : u"Msvm_SwitchPort"),
                count(u"CIM_SettingData")}));

        // The management OS's adapter is the host's internal port (no synthetic one above).
        const sim::CimInstance* own = repo->InstancesOf(u"Msvm_InternalEthernetPort").at(0);
        EXPECT_EQ(u"00155D000001", own->Find(u"PermanentAddress")->text);
        EXPECT_EQ(u"Microsoft Internal Ethernet Port", own->Find(u"Description")->text);
        EXPECT_EQ(sim::CimValue::Kind::Null, systems[0]->Find(u"OnTimeInMilliseconds")->kind);
    }
}

}  // namespace
