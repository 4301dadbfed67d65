// The Hyper-V topology of the simulated machine: its file forms, their faults, the changes made
// while a service runs, and the live store several processes share.
#include "Machine/HyperVChanges.h"
#include "Machine/HyperVStore.h"
#include "Machine/Settings.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
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

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(HyperVTopology, MalformedTopologiesAreNamedByFileLineEntryAndFault) {
    struct Row {
        const char* file;  // machine.json: text is the whole of it; hyperv.json: likewise
        const char* text;
        const char* expected;
    } rows[] = {
        {"machine.json", "{\n\"hyperv\": {\n\"switches\": [{\"name\": \"S\", \"colour\": 1}]}}",
         "machine.json:3: setting \"hyperv.switches[0].colour\": unknown setting"},
        {"machine.json", "{\"hyperv\": []}",
         "machine.json:1: setting \"hyperv\": expected an object, found an array"},
        {"hyperv.json",
         "{\"vms\": [{\"name\": \"v\",\n\"adapters\": [{\"mac\": \"00-15-5D-01-02-03\"}]}]}",
         "hyperv.json:2: setting \"vms[0].adapters[0].mac\": expected twelve hexadecimal digits"},
        {"hyperv.json",
         "{\"vms\": [{\"name\": \"v\", \"adapters\": [{\"mac\": \"00155D010203\", \"vlan\": "
         "5000}]}]}",
         "hyperv.json:1: setting \"vms[0].adapters[0].vlan\": expected a whole number from 0 to "
         "4094"},
        {"machine.json",
         "{\"hyperv\": {\n"
         "  \"switches\": [{\"name\": \"Team A switch\"}],\n"
         "  \"vms\": [\n"
         "    {\"name\": \"web-01\", \"adapters\": [\n"
         "      {\"mac\": \"00155D010203\",\n"
         "       \"switch\": \"Nowhere\"}]}]}}",
         "machine.json:6: hyperv.vms[0].adapters[0].switch: no switch named \"Nowhere\""},
        {"hyperv.json", "{\"vms\": [{\"name\": \"web-01\"},\n{\"name\": \"WEB-01\"}]}",
         "hyperv.json:2: vms[1].name: the name of VM \"web-01\" too"},
        {"hyperv.json",
         "{\"switches\": [{\"name\": \"S\", \"id\": \"0a0b0c0d-0000-0000-0000-000000000001\"}],\n"
         "\"vms\": [{\"name\": \"v\", \"id\": \"0A0B0C0D-0000-0000-0000-000000000001\"}]}",
         "hyperv.json:2: vms[0].id: \"0A0B0C0D-0000-0000-0000-000000000001\" is the GUID of "
         "switch \"S\" too"},
        {"hyperv.json",
         "{\"switches\": [{\"name\": \"S\", \"managementOsMac\": \"00155d000001\"}],\n"
         "\"vms\": [{\"name\": \"v\", \"adapters\": [{\"mac\": \"00155D000001\"}]}]}",
         "hyperv.json:2: vms[0].adapters[0].mac: 00155D000001 is the MAC of the management OS "
         "on switch \"S\" too"},
        // The second adapter's default id is A2; the line is its entry's, the id being absent.
        {"hyperv.json",
         "{\"vms\": [{\"name\": \"v\", \"adapters\": [\n{\"id\": \"a2\", \"mac\": "
         "\"000000000001\"},\n{\"mac\": \"000000000002\"}]}]}",
         "hyperv.json:3: vms[0].adapters[1].id: another adapter of this VM has the id \"A2\""},
        {"hyperv.json", "{\"model\": \"v3\"}",
         "hyperv.json:1: setting \"model\": expected \"auto\", \"v1\" or \"v2\""},
        {"hyperv.json", "{\"switches\": [{\"name\": \"Internal\", \"bound\": false}]}",
         "hyperv.json:1: setting \"switches[0].bound\": an internal switch (no \"adapter\") has "
         "no external port"},
        {"hyperv.json", "{\"host\": \"\\u00e9\xff\"}",
         "hyperv.json:1: setting \"host\": expected UTF-8 text"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::string file = row.file;
        EXPECT_EQ(row.expected, ErrorOf([&] {
                      if (file == "machine.json") {
                          sim::ParseSettings(row.text, file);
                      } else {
                          sim::ParseTopology(row.text, file);
                      }
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

TEST(HyperVTopology, DefaultsAreDeterministicAndTheWrittenFormReadsBackEqual) {
    std::optional<HyperVTopology> read = sim::ParseSettings(kMachine, "machine.json").hyperv;
    ASSERT_TRUE(read.has_value());
    const HyperVTopology& t = *read;
    ASSERT_EQ(2u, t.switches.size());
    ASSERT_EQ(2u, t.vms.size());
    ASSERT_EQ(2u, t.vms[0].adapters.size());
    EXPECT_EQ(u"TARVIK-HOST", t.hostName);
    EXPECT_EQ(u"Orvex 10G Port 1", t.switches[0].adapterName);
    EXPECT_EQ(u"00155D000001", t.switches[0].managementOsMac.value_or(u""));
    EXPECT_EQ(u"A1", t.vms[0].adapters.at(0).id);
    EXPECT_EQ(u"A2", t.vms[0].adapters.at(1).id);
    EXPECT_EQ(u"00155D010101", t.vms[0].adapters.at(0).mac);
    EXPECT_EQ(u"AAAAAAAA-0000-0000-0000-00000000000A", t.vms[1].id);
    std::regex guid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    EXPECT_TRUE(std::regex_match(sim::Utf16ToUtf8(t.vms[0].id), guid));
    EXPECT_TRUE(std::regex_match(sim::Utf16ToUtf8(t.switches[1].id), guid));
    // A switch and a VM of one name differ; the same name in another case gives the same id.
    HyperVTopology other = sim::ParseTopology(
        R"({"switches": [{"name": "WEB-01"}], "vms": [{"name": "WEB-01"}]})", "hyperv.json");
    ASSERT_EQ(1u, other.vms.size());
    EXPECT_EQ(t.vms[0].id, other.vms[0].id);
    EXPECT_NE(other.switches.at(0).id, other.vms[0].id);

    std::string written = sim::WriteTopology(t);
    HyperVTopology again = sim::ParseTopology(written, "hyperv.json");
    EXPECT_TRUE(again == t) << written;
    EXPECT_EQ(written, sim::WriteTopology(again));
    EXPECT_EQ(0u, written.find("{\n  \"model\": \"v2\",\n  \"host\": \"TARVIK-HOST\",\n"))
        << written;
}

TEST(HyperVTopology, ChangeErrorsNameTheFaultAndLeaveTheTopologyAsItWas) {
    const HyperVTopology base = *sim::ParseSettings(kMachine, "machine.json").hyperv;
    sim::HyperVVm fresh{u"new", u"", {{u"", u"00155d020101", u"Nowhere", std::nullopt}}};
    sim::HyperVVm twin{u"new", u"", {{u"", u"00155d010101", u"", std::nullopt}}};
    struct Row {
        const char* expected;
        std::function<std::string(HyperVTopology&)> change;
    } rows[] = {
        {"there is a VM named \"web-01\" already",
         [](HyperVTopology& t) {
             return sim::AddVm(t, {u"WEB-01", u"", {}});
         }},
        {"VM \"new\", adapter \"A1\": switch: no switch named \"Nowhere\"",
         [&](HyperVTopology& t) { return sim::AddVm(t, fresh); }},
        {"VM \"new\", adapter \"A1\": mac: 00155D010101 is the MAC of VM \"web-01\", adapter "
         "\"A1\" too",
         [&](HyperVTopology& t) { return sim::AddVm(t, twin); }},
        {"no VM named \"ghost\"", [](HyperVTopology& t) { return sim::RemoveVm(t, u"ghost"); }},
        {"no switch named \"Nowhere\"",
         [](HyperVTopology& t) { return sim::ConnectAdapter(t, u"web-01", u"a2", u"Nowhere"); }},
        {"VM \"web-01\" has no adapter \"A9\"",
         [](HyperVTopology& t) { return sim::ConnectAdapter(t, u"web-01", u"A9", u"Internal"); }},
        {"adapter \"A2\" of VM \"web-01\" is not connected",
         [](HyperVTopology& t) { return sim::DisconnectAdapter(t, u"web-01", u"a2"); }},
        {"VLAN 4095 is out of range: expected a VLAN from 0 to 4094",
         [](HyperVTopology& t) { return sim::SetVlan(t, u"web-01", u"A1", 4095); }},
        {"\"00:15:5D:01:01:09\" is not a MAC address: expected twelve hexadecimal digits",
         [](HyperVTopology& t) { return sim::SetMac(t, u"web-01", u"A1", u"00:15:5D:01:01:09"); }},
        {"VM \"web-01\", adapter \"A2\": mac: 00155D000001 is the MAC of the management OS on "
         "switch \"Team A switch\" too",
         [](HyperVTopology& t) { return sim::SetMac(t, u"web-01", u"A2", u"00155d000001"); }},
        {"switch \"Internal\" is internal: it has no external port to bind",
         [](HyperVTopology& t) { return sim::SetSwitchBound(t, u"internal", false); }},
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
}

TEST(HyperVTopology, StoresOnOneMachineSeeEachOthersChanges) {
    test::TempDir dir;
    const HyperVTopology initial = *sim::ParseSettings(kMachine, "machine.json").hyperv;
    sim::HyperVStore one(dir.Path(), initial);
    sim::HyperVStore two(dir.Path(), initial);
    bool changed = false;
    EXPECT_TRUE(*two.Current(&changed) == initial);
    EXPECT_TRUE(changed);
    EXPECT_TRUE(two.Current(&changed) != nullptr);
    EXPECT_FALSE(changed);

    EXPECT_EQ("", one.Update([](HyperVTopology& t) {
        return sim::ConnectAdapter(t, u"web-01", u"A2", u"Internal");
    }));
    auto seen = two.Current(&changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(u"Internal", VmOf(*seen, u"web-01").adapters.at(1).switchName);
    two.Current(&changed);
    EXPECT_FALSE(changed);

    // Neither a refused change nor one that breaks the topology is written.
    std::string path = dir.Path() + "/hyperv.json";
    std::string before = ReadFile(path);
    EXPECT_EQ("refused", one.Update([](HyperVTopology& t) {
        t.vms.clear();
        return std::string("refused");
    }));
    std::string broken = one.Update([](HyperVTopology& t) {
        t.vms[0].adapters.at(0).switchName = u"Nowhere";
        return std::string();
    });
    EXPECT_EQ(path + ": vms[0].adapters[0].switch: no switch named \"Nowhere\"", broken);
    EXPECT_EQ(before, ReadFile(path));
    two.Current(&changed);
    EXPECT_FALSE(changed);

    // Changes from two stores at once are each a whole read-modify-write: none is lost.
    auto addVms = [](sim::HyperVStore* store, const char* prefix) {
        for (int i = 0; i < 20; ++i) {
            std::u16string name = sim::Utf8ToUtf16(prefix + std::to_string(i));
            EXPECT_EQ("", store->Update([&](HyperVTopology& t) {
                return sim::AddVm(t, {name, u"", {}});
            }));
        }
    };
    std::thread first(addVms, &one, "a-");
    std::thread second(addVms, &two, "b-");
    first.join();
    second.join();
    EXPECT_EQ(initial.vms.size() + 40, sim::HyperVStore(dir.Path(), initial).Current()->vms.size());

    // Removing the file goes back to machine.json's topology; a machine without one refuses.
    ASSERT_EQ(0, unlink(path.c_str()));
    EXPECT_TRUE(*one.Current(&changed) == initial);
    EXPECT_TRUE(changed);
    sim::HyperVStore none(dir.Path(), std::nullopt);
    EXPECT_EQ(nullptr, none.Current());
    EXPECT_EQ("this machine has no Hyper-V (no \"hyperv\" in machine.json)",
              none.Update([](HyperVTopology&) { return std::string(); }));
}

}  // namespace
