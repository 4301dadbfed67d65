// A soak of the service's main job: the real executable runs as a service on a fast clock, tracing
// errors only, while random changes hit the Hyper-V host. After a quiet spell and one last change
// the driver must hold, for every team, exactly the team's VM interfaces, byte for byte.
// TARVIK_SOAK_CHANGES: how many changes (default 500; Tools/soak.sh runs 10,000);
// TARVIK_SOAK_SEED: the seed (default random, named on failure).
#include "ServiceMachine.h"

#include "Machine/HyperV/HyperVChanges.h"
#include "Machine/HyperV/HyperVTopology.h"
#include "Machine/Machine.h"
#include "Machine/Wmi/Wmi.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <random>

namespace {

using sim::HyperVTopology;
using Change = std::function<std::string(HyperVTopology&)>;
using Lists = std::array<std::string, 2>;  // a packed list per team
// Long enough, at 100 machine seconds a second, for a change the service sees to reach the
// driver: an event slice (5 s) and a pass.
const std::chrono::milliseconds kQuiet(150);
const std::u16string kSwitches[] = {u"A", u"B", u"Internal"};

const std::string kTeams[] = {"{7D2E4B60-1A3C-4F8E-B002-00000000AAAA}",
                              "{7D2E4B60-1A3C-4F8E-B002-00000000BBBB}"};
// Two teams with one member between them, each on an external switch, and an internal switch.
const char kSettings[] = R"("clock": {"scale": 100}, "services": [{"name": "vmms"}],
    "adapters": [{"guid": "{3F1C0A10-5B2E-4C7D-9A01-0000000000A1}", "name": "Port"},
                 {"guid": "{7D2E4B60-1A3C-4F8E-B002-00000000AAAA}", "name": "Team A"},
                 {"guid": "{7D2E4B60-1A3C-4F8E-B002-00000000BBBB}", "name": "Team B"}],
    "teams": [{"adapter": "{7D2E4B60-1A3C-4F8E-B002-00000000AAAA}",
               "members": ["{3F1C0A10-5B2E-4C7D-9A01-0000000000A1}"]},
              {"adapter": "{7D2E4B60-1A3C-4F8E-B002-00000000BBBB}",
               "members": ["{3F1C0A10-5B2E-4C7D-9A01-0000000000A1}"]}],
    "hyperv": {"switches": [{"name": "A", "adapter": "{7D2E4B60-1A3C-4F8E-B002-00000000AAAA}"},
                            {"name": "B", "adapter": "{7D2E4B60-1A3C-4F8E-B002-00000000BBBB}"},
                            {"name": "Internal"}]})";
const std::string kRegistry =
    std::string(test::kVmmsRegistry) +
    "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2]\n"
    "\"TRACE\"=dword:00000002\n";

// The list team `t` should hold, packed as it travels: marker 1, the count, then 260 ten-byte
// entries: MAC, in use, VLAN valid, VLAN id little-endian (0xFFFF without one).
std::string Pack(const HyperVTopology& topology, int t) {
    const sim::HyperVSwitch* on = topology.FindSwitch(kSwitches[t]);
    std::string entries;
    for (const sim::HyperVVm& vm : topology.vms) {
        for (const sim::HyperVAdapter& adapter : vm.adapters) {
            if (on != nullptr && on->bound && adapter.switchName == on->name) {
                unsigned long long mac = std::stoull(sim::Utf16ToUtf8(adapter.mac), nullptr, 16);
                int id = adapter.vlan.value_or(0xFFFF);
                for (int bits : {40, 32, 24, 16, 8, 0}) {
                    entries += static_cast<char>(mac >> bits);
                }
                entries += {1, adapter.vlan.has_value(), static_cast<char>(id),
                            static_cast<char>(id >> 8)};
            }
        }
    }
    std::string bytes = {1, 0, 0, 0, static_cast<char>(entries.size() / 10), 0, 0, 0};
    return (bytes + entries).append(2608 - 8 - entries.size(), '\0');
}

Lists Expected(const HyperVTopology& now) {
    return {Pack(now, 0), Pack(now, 1)};
}

// Reads the records driver-requests.jsonl gained since `*offset` into the last payload each team
// received.
void ReadTold(const std::string& path, size_t* offset, Lists* told) {
    std::ifstream in(path);
    in.seekg(static_cast<std::streamoff>(*offset));
    for (std::string line; std::getline(in, line) && !in.eof(); *offset += line.size() + 1) {
        sim::Json record = sim::Json::Parse(line);
        const sim::Json* list = record.Find("list");
        auto team = std::find(kTeams, kTeams + 2, test::Field(record, "adapter").String());
        if (list != nullptr && !list->IsNull() && team != kTeams + 2) {
            std::string hex = test::Field(record, "payload").String();
            std::string& bytes = (*told)[team - kTeams] = "";
            for (size_t i = 0; i + 1 < hex.size(); i += 2) {
                bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
            }
        }
    }
}

// VMs come and go, adapters move between switches and VLANs, teams are bound and unbound, and
// now and then WMI stops (and soon starts again).
Change RandomChange(const HyperVTopology& now, std::mt19937& random, int serial, bool* wmi) {
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    size_t kind = pick(40);
    std::u16string to = kSwitches[kind % 3];
    std::optional<int> vlan = pick(2) ? std::optional<int>(pick(4095)) : std::nullopt;
    if (kind == 0 || (!*wmi && kind < 8)) {
        *wmi = !*wmi;
        return *wmi ? Change(sim::StartWmi) : Change(sim::StopWmi);
    }
    if (now.vms.empty() || (kind < 12 && now.vms.size() < 30)) {
        sim::HyperVVm vm{u"vm-" + sim::Utf8ToUtf16(std::to_string(serial)), u"", {}};
        for (int a = 0; a <= static_cast<int>(pick(2)); ++a) {
            char mac[32];
            std::snprintf(mac, sizeof(mac), "00155D%04X%02X", serial & 0xFFFF, a);
            vm.adapters.push_back({u"", sim::Utf8ToUtf16(mac), kind % 4 ? to : u"", vlan});
        }
        return [vm](HyperVTopology& t) { return sim::AddVm(t, vm); };
    }
    const sim::HyperVVm vm = now.vms[pick(now.vms.size())];
    const std::u16string id = vm.adapters[pick(vm.adapters.size())].id;
    if (kind < 16) {
        return [vm](HyperVTopology& t) { return sim::RemoveVm(t, vm.name); };
    }
    if (kind < 24) {
        return [=](HyperVTopology& t) {
            bool disconnected = kind % 4 == 0 && sim::DisconnectAdapter(t, vm.name, id).empty();
            return disconnected ? std::string() : sim::ConnectAdapter(t, vm.name, id, to);
        };
    }
    if (kind < 34) {
        return [=](HyperVTopology& t) { return sim::SetVlan(t, vm.name, id, vlan); };
    }
    return [sw = kSwitches[kind % 2]](HyperVTopology& t) {
        return sim::SetSwitchBound(t, sw, !t.FindSwitch(sw)->bound);
    };
}

TEST(Soak, TheDriverEndsInStepWithEveryTeam) {
    const char* count = std::getenv("TARVIK_SOAK_CHANGES");
    const char* seeded = std::getenv("TARVIK_SOAK_SEED");
    const int changes = count ? std::atoi(count) : 500;
    const unsigned seed = seeded ? std::strtoul(seeded, nullptr, 10) : std::random_device()();
    SCOPED_TRACE("TARVIK_SOAK_SEED=" + std::to_string(seed));
    test::ServiceMachine machine(kSettings, kRegistry);
    ASSERT_EQ(machine.Run("-i"), 0);
    ASSERT_EQ(machine.Sim("start"), 0);
    HyperVTopology now = *sim::Machine::Get().Wmi().Topology();  // as the last change left it
    auto apply = [&](const Change& change) {
        std::string error = sim::Machine::Get().Wmi().Change([&](HyperVTopology& t) {
            std::string failure = change(t);
            now = t;
            return failure;
        });
        ASSERT_EQ(error, "");
    };
    std::mt19937 random(seed);
    Lists told = Expected(now);  // empty lists: the host has no VMs yet
    size_t offset = 0, late = 0, looks = 0;
    bool wmi = true, wmiStopped = false;  // since the last look
    for (int i = 0; i < changes; ++i) {
        apply(RandomChange(now, random, i, &wmi));
        wmiStopped = wmiStopped || !wmi;
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));
        if (random() % 10 == 0) {  // a quiet look: what the driver lacks now waits for an event
            std::this_thread::sleep_for(kQuiet);
            ReadTold(machine.Machine().PathOf("driver-requests.jsonl"), &offset, &told);
            Lists expected = Expected(now);
            late += wmiStopped ? 0 : (told[0] != expected[0]) + (told[1] != expected[1]);
            looks += !wmiStopped;
            wmiStopped = !wmi;
        }
    }
    if (!wmi) {
        apply(sim::StartWmi);
    }
    std::this_thread::sleep_for(5 * kQuiet);  // the service's pause, a new subscription, quiet
    apply([](HyperVTopology& t) {
        sim::SetSwitchBound(t, u"A", true);
        return sim::AddVm(t, {u"last", u"", {{u"", u"00155D0AFFFF", u"A", 7}}});
    });
    EXPECT_TRUE(test::WaitUntil([&] {
        ReadTold(machine.Machine().PathOf("driver-requests.jsonl"), &offset, &told);
        return told == Expected(now);
    }));
    std::printf(
        "soak: %d changes, seed %u: %zu times, at %zu quiet looks, a team's list lacked a "
        "change that fell between an update pass and the next subscription\n",
        changes, seed, late, looks);
    EXPECT_EQ(machine.Sim("stop"), 0);
}

}  // namespace
