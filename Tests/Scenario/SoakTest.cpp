// A soak of the service's main job: the real executable runs as a service on a fast clock, tracing
// errors only, while random changes hit the Hyper-V host. Quiet looks count the teams whose list
// lacks a change that fell between an update pass and the next subscription; after a quiet spell
// and one last change the driver must hold, for every team, exactly the team's VM interfaces,
// byte for byte.
// TARVIK_SOAK_CHANGES: how many changes (default 500; Tools/soak.sh runs 10,000);
// TARVIK_SOAK_SEED: the seed (default random, named on failure).
#include "ServiceMachine.h"

#include "Machine/HyperV/HyperVChanges.h"
#include "Machine/Machine.h"
#include "Machine/Wmi/Wmi.h"

#include <random>

namespace {

using sim::HyperVTopology;
// Long enough, at 100 machine seconds a second, for a change the service sees to reach the
// driver: an event slice (5 s) and a pass.
const std::chrono::milliseconds kQuiet(150);
// The team on switch A, an internal switch, and the trace at errors only.
const std::string kSettings = std::string(test::kOneTeam) + R"("clock": {"scale": 100},
    "hyperv": {"switches": [{"name": "A", "adapter": "{7D2E4B60-1A3C-4F8E-B002-00000000AAAA}"},
                            {"name": "Internal"}]})";
const std::string kRegistry =
    std::string(test::kVmmsRegistry) +
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2]\n"
    "\"TRACE\"=dword:00000002\n";

// The team's list in hex, as the driver records its payload: marker 1, the count, then 260
// ten-byte entries: MAC, in use, VLAN valid, VLAN id little-endian (0xFFFF without one).
std::string Expected(const HyperVTopology& now) {
    const sim::HyperVSwitch* team = now.FindSwitch(u"A");
    std::string entries;
    for (const sim::HyperVVm& vm : now.vms) {  // each with one adapter
        const sim::HyperVAdapter& a = vm.adapters.at(0);
        int id = a.vlan.value_or(0xFFFF);
        char entry[32];
        std::snprintf(entry, sizeof(entry), "%s01%02X%02X%02X", sim::Utf16ToUtf8(a.mac).c_str(),
                      a.vlan.has_value(), id & 0xFF, id >> 8);
        entries += team->bound && a.switchName == team->name ? entry : "";
    }
    char head[32];
    std::snprintf(head, sizeof(head), "01000000%02zX000000", entries.size() / 20);
    return head + entries + std::string(5200 - entries.size(), '0');
}

// VMs come and go, adapters move between switches and VLANs, the team is bound and unbound, and
// now and then WMI stops (and soon starts again).
std::string RandomChange(HyperVTopology& t, std::mt19937& random, int serial) {
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    size_t kind = pick(40);
    std::u16string to = kind % 2 ? u"A" : u"Internal";
    std::optional<int> vlan = pick(2) ? std::optional<int>(pick(4095)) : std::nullopt;
    if (kind == 0 || (!t.wmiRunning && kind < 8)) {
        return t.wmiRunning ? sim::StopWmi(t) : sim::StartWmi(t);
    }
    char mac[16];
    std::snprintf(mac, sizeof(mac), "00155D%06X", serial);
    if (t.vms.empty() || (kind < 12 && t.vms.size() < 30)) {
        return sim::AddVm(t,
                          {sim::Utf8ToUtf16(mac), u"", {{u"", sim::Utf8ToUtf16(mac), to, vlan}}});
    }
    const std::u16string vm = t.vms[pick(t.vms.size())].name;
    return kind < 16   ? sim::RemoveVm(t, vm)
           : kind < 24 ? sim::ConnectAdapter(t, vm, u"A1", to)
           : kind < 34 ? sim::SetVlan(t, vm, u"A1", vlan)
                       : sim::SetSwitchBound(t, u"A", !t.FindSwitch(u"A")->bound);
}

TEST(Soak, TheDriverEndsInStepWithTheTeam) {
    const char* count = std::getenv("TARVIK_SOAK_CHANGES");
    const char* seeded = std::getenv("TARVIK_SOAK_SEED");
    const int changes = count ? std::atoi(count) : 500;
    const unsigned seed = seeded ? std::strtoul(seeded, nullptr, 10) : std::random_device()();
    SCOPED_TRACE("TARVIK_SOAK_SEED=" + std::to_string(seed));
    test::ServiceMachine machine(kSettings, kRegistry);
    ASSERT_TRUE(machine.InstallAndStart());
    sim::WmiService& wmi = sim::Machine::Get().Wmi();
    std::string told = Expected(*wmi.Topology());  // an empty list: no VMs yet
    size_t seen = 0, late = 0, looks = 0;
    auto inStep = [&] {
        std::vector<sim::Json> records = test::Records("driver-requests.jsonl", seen);
        for (const sim::Json& record : records) {
            const sim::Json* list = record.Find("list");
            told = list && !list->IsNull() ? test::Field(record, "payload").String() : told;
        }
        seen += records.size();
        return told == Expected(*wmi.Topology());
    };
    std::mt19937 random(seed);
    bool wmiStopped = false;  // since the last look
    for (int i = 0; i < changes; ++i) {
        EXPECT_EQ("", wmi.Change([&](HyperVTopology& t) { return RandomChange(t, random, i); }));
        wmiStopped = wmiStopped || !wmi.Topology()->wmiRunning;
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));
        if (random() % 10 == 0) {  // a quiet look: what the driver lacks now waits for an event
            std::this_thread::sleep_for(kQuiet);
            late += !wmiStopped && !inStep();
            looks += !wmiStopped;
            wmiStopped = !wmi.Topology()->wmiRunning;
        }
    }
    wmi.Change(sim::StartWmi);
    std::this_thread::sleep_for(5 * kQuiet);  // the service's pause, a new subscription, quiet
    EXPECT_EQ("", wmi.Change([](HyperVTopology& t) {
        sim::SetSwitchBound(t, u"A", true);
        return sim::AddVm(t, {u"last", u"", {{u"", u"00155D0AFFFF", u"A", 7}}});
    }));
    EXPECT_TRUE(test::WaitUntil(inStep));
    std::printf(
        "soak: %d changes, seed %u: at %zu of %zu quiet looks the team's list lacked a "
        "change that fell between an update pass and the next subscription\n",
        changes, seed, late, looks);
    EXPECT_EQ(machine.Sim("stop"), 0);
}

}  // namespace
