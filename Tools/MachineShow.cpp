// tarvik-sim show: each team of the machine, the VM interfaces on its switch, and beside them the
// interface list the teaming driver last received for it, so that an operator sees at a glance
// where the driver and the Hyper-V host disagree.
#include "Machine/Devices/Devices.h"
#include "Machine/HyperV/HyperVTopology.h"
#include "Machine/Settings/Json.h"
#include "Machine/Machine.h"
#include "Machine/Registry/RegKey.h"
#include "Machine/Registry/RegistryStore.h"
#include "Machine/Utf.h"
#include "Machine/Wmi/Wmi.h"
#include "SimTool.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace simtool {

namespace {

struct Interface {
    std::string vm;   // empty for an entry only the driver holds
    std::string mac;  // upper case
    int vlan = -1;    // -1: none
};

// One VM interface as the topology has it and as the driver holds it (matched by MAC).
struct Row {
    std::optional<Interface> now, told;

    // What is wrong, in words; empty when the two agree.
    std::string Difference() const {
        if (!told) {
            return "the driver does not have it";
        }
        if (!now) {
            return "no longer there";
        }
        return now->vlan != told->vlan ? "the VLAN differs" : "";
    }
};

struct TeamView {
    std::string guid, name;
    std::string switchName;  // empty: no switch
    bool bound = false;
    bool told = false;      // the driver received a list for it
    long long refused = 0;  // the Win32 error the last list met; 0: taken
    std::vector<Row> rows;

    size_t Differences() const {
        size_t n = 0;
        for (const Row& row : rows) {
            n += !row.Difference().empty();
        }
        return n;
    }
    std::string Closing() const {
        size_t n = Differences();
        return n == 0 ? "in step" : std::to_string(n) + (n == 1 ? " difference" : " differences");
    }
};

std::string Upper(std::string text) {
    for (char& c : text) {
        c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return text;
}

std::string VlanText(int vlan) {
    return vlan < 0 ? "-" : std::to_string(vlan);
}

// The VM interfaces a bound team's switch carries, in the topology's order: those of the VMs
// that are running or paused.
std::vector<Interface> InterfacesOn(const sim::HyperVTopology& topology, const std::u16string& sw) {
    std::vector<Interface> interfaces;
    for (const sim::HyperVVm& vm : topology.vms) {
        for (const sim::HyperVAdapter& adapter : vm.adapters) {
            if (vm.Instantiated() && !adapter.switchName.empty() &&
                sim::RegNamesEqual(adapter.switchName, sw)) {
                interfaces.push_back({sim::Utf16ToUtf8(vm.name),
                                      Upper(sim::Utf16ToUtf8(adapter.mac)),
                                      adapter.vlan.value_or(-1)});
            }
        }
    }
    return interfaces;
}

// The entries of the last interface list driver-requests.jsonl shows for the team, and the error
// that request met; none when the driver was never told of it. A malformed record stops with
// exit code 3.
std::optional<std::vector<Interface>> LastList(const std::vector<std::string>& records,
                                               const std::string& guid, long long* error) {
    for (size_t i = records.size(); i-- > 0;) {
        sim::Json record;
        try {
            record = sim::Json::Parse(records[i]);
        } catch (const sim::JsonError& e) {
            sim::Machine::Stop(sim::Machine::Get().PathOf("driver-requests.jsonl") + ":" +
                               std::to_string(i + 1) + ": " + e.what());
        }
        const sim::Json* adapter = record.Find("adapter");
        const sim::Json* list = record.Find("list");
        if (adapter == nullptr || !adapter->IsString() || Upper(adapter->String()) != Upper(guid) ||
            list == nullptr || !list->IsObject()) {
            continue;
        }
        const sim::Json* failed = record.Find("error");
        *error = failed != nullptr ? static_cast<long long>(failed->Number()) : 0;
        std::vector<Interface> told;
        const sim::Json* entries = list->Find("entries");
        for (const sim::Json& entry : entries ? entries->Items() : std::vector<sim::Json>()) {
            const sim::Json* mac = entry.Find("mac");
            const sim::Json* valid = entry.Find("vlanValid");
            const sim::Json* vlan = entry.Find("vlanId");
            bool hasVlan = valid && vlan && valid->Number() != 0;
            told.push_back({"", Upper(mac ? mac->String() : ""),
                            hasVlan ? static_cast<int>(vlan->Number()) : -1});
        }
        return told;
    }
    return std::nullopt;
}

// Pairs each interface with the driver's entry of the same MAC; the driver's leftovers follow.
std::vector<Row> Match(const std::vector<Interface>& now, std::vector<Interface> told) {
    std::vector<Row> rows;
    for (const Interface& interface : now) {
        Row row{interface, std::nullopt};
        for (auto entry = told.begin(); entry != told.end(); ++entry) {
            if (entry->mac == interface.mac) {
                row.told = *entry;
                told.erase(entry);
                break;
            }
        }
        rows.push_back(row);
    }
    for (const Interface& entry : told) {
        rows.push_back({std::nullopt, entry});
    }
    return rows;
}

std::vector<TeamView> Teams() {
    std::vector<TeamView> teams;
    sim::Machine::Get().Registry().Read([&](const sim::RegKey& tree) {
        for (const sim::TeamAdapterDevice& device : sim::ListTeamAdapters(tree)) {
            std::u16string name;
            const sim::RegKey* key = sim::DeviceKey(tree, device.instanceId);
            if (key != nullptr) {
                sim::ReadString(*key, u"FriendlyName", &name);
            }
            TeamView team;
            team.guid = sim::Utf16ToUtf8(device.guid);
            team.name = sim::Utf16ToUtf8(name);
            teams.push_back(team);
        }
    });
    std::shared_ptr<const sim::HyperVTopology> topology = sim::Machine::Get().Wmi().Topology();
    std::vector<std::string> records = sim::Machine::Get().Records("driver-requests.jsonl");
    for (TeamView& team : teams) {
        std::vector<Interface> now;
        for (const sim::HyperVSwitch& sw :
             topology ? topology->switches : std::vector<sim::HyperVSwitch>()) {
            if (sim::RegNamesEqual(sw.adapter, sim::Utf8ToUtf16(team.guid))) {
                team.switchName = sim::Utf16ToUtf8(sw.name);
                team.bound = sw.bound;
                now = sw.bound ? InterfacesOn(*topology, sw.name) : now;
            }
        }
        std::optional<std::vector<Interface>> told = LastList(records, team.guid, &team.refused);
        team.told = told.has_value();
        team.rows = Match(now, told.value_or(std::vector<Interface>()));
    }
    return teams;
}

// One line of the table, without trailing blanks.
void PrintRow(const char* mark, const std::string& vm, const std::string& mac,
              const std::string& vlan, const std::string& toldMac, const std::string& toldVlan,
              const std::string& difference) {
    char line[256];
    std::snprintf(line, sizeof(line), "%s %-16s %-12s %-5s| %-12s %-5s%s%s", mark, vm.c_str(),
                  mac.c_str(), vlan.c_str(), toldMac.c_str(), toldVlan.c_str(),
                  difference.empty() ? "" : " <- ", difference.c_str());
    std::string text = line;
    text.erase(text.find_last_not_of(' ') + 1);
    std::printf("%s\n", text.c_str());
}

void PrintText(const std::vector<TeamView>& teams) {
    if (teams.empty()) {
        std::printf("no teams: the teaming protocol's configuration names no team adapter\n");
    }
    for (const TeamView& team : teams) {
        std::string where = team.switchName.empty() ? "no switch"
                            : team.bound            ? "switch \"" + team.switchName + "\""
                                                    : "unbound from \"" + team.switchName + "\"";
        std::string note;
        if (!team.told) {
            note = "; the driver was never told of it";
        } else if (team.refused != 0) {
            note = "; the last list failed with error " + std::to_string(team.refused);
        }
        std::printf("team %s \"%s\": %s%s\n", team.guid.c_str(), team.name.c_str(), where.c_str(),
                    note.c_str());
        if (!team.rows.empty()) {
            PrintRow(" ", "VM", "MAC", "VLAN", "DRIVER", "VLAN", "");
        }
        for (const Row& row : team.rows) {
            std::string mark = row.Difference();
            PrintRow(mark.empty() ? " " : "!", row.now ? row.now->vm : "",
                     row.now ? row.now->mac : "", row.now ? VlanText(row.now->vlan) : "",
                     row.told ? row.told->mac : "-", row.told ? VlanText(row.told->vlan) : "",
                     mark);
        }
        std::printf("  %s\n", team.Closing().c_str());
    }
}

std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '\n'                 ? std::string("\\n")
                  : (c == '"' || c == '\\') ? std::string("\\") + c
                                            : std::string(1, c);
    }
    return quoted + "\"";
}

void PrintDot(const std::vector<TeamView>& teams) {
    std::printf("digraph machine {\n  rankdir=LR;\n  node [fontname=\"Helvetica\"];\n");
    for (size_t t = 0; t < teams.size(); ++t) {
        const TeamView& team = teams[t];
        std::string id = "t" + std::to_string(t);
        std::printf("  %s [shape=box, label=%s%s];\n", id.c_str(),
                    Quoted(team.name + "\n" + team.guid + "\n" + team.Closing()).c_str(),
                    team.Differences() ? ", color=red" : "");
        std::string from = id;
        if (!team.switchName.empty()) {
            from = id + "s";
            std::printf("  %s [shape=ellipse, label=%s];\n  %s -> %s%s;\n", from.c_str(),
                        Quoted(team.switchName).c_str(), id.c_str(), from.c_str(),
                        team.bound ? "" : " [style=dotted, label=\"unbound\"]");
        }
        for (size_t r = 0; r < team.rows.size(); ++r) {
            const Row& row = team.rows[r];
            const Interface& shown = row.now ? *row.now : *row.told;
            std::string mark = row.Difference();
            std::string label = (row.now ? shown.vm : "(gone)") + "\n" + shown.mac + "\nVLAN " +
                                VlanText(shown.vlan);
            if (row.now && row.told && mark.size()) {
                label += " (driver: " + VlanText(row.told->vlan) + ")";
            }
            std::string node = id + "i" + std::to_string(r);
            const char* red = mark.empty() ? "" : ", color=red, style=dashed";
            std::printf("  %s [shape=note, label=%s%s];\n  %s -> %s [label=%s%s];\n", node.c_str(),
                        Quoted(label).c_str(), red, row.now ? from.c_str() : id.c_str(),
                        node.c_str(), Quoted(mark).c_str(), red);
        }
    }
    std::printf("}\n");
}

}  // namespace

const char kShowHelp[] =
    "tarvik-sim [-m MACHINE] show [--dot]\n"
    "Prints each team (its adapter's GUID and name), its switch, the VM interfaces on it\n"
    "(name, MAC, VLAN) and beside them the interface list the teaming driver last received\n"
    "for the team (driver-requests.jsonl), marking each difference with '!', and a closing\n"
    "line: \"in step\" or the number of differences. --dot writes a Graphviz digraph instead;\n"
    "differences are red and dashed. Differences are not an error: exit code 0.\n";

int CommandShow(const std::vector<std::string>& arguments) {
    bool dot = arguments.size() == 1 && arguments[0] == "--dot";
    if (!arguments.empty() && !dot) {
        return Fail("usage: tarvik-sim [-m MACHINE] show [--dot]", kUsageError);
    }
    std::vector<TeamView> teams = Teams();
    dot ? PrintDot(teams) : PrintText(teams);
    return kSucceeded;
}

}  // namespace simtool
