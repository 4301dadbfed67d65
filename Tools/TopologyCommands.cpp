#include "TopologyCommands.h"

#include "Machine/Clock/Clock.h"
#include "Machine/Wmi/Cim.h"
#include "Machine/HyperV/HyperVChanges.h"
#include "Machine/HyperV/HyperVTopology.h"
#include "Machine/Machine.h"
#include "Machine/Settings/Settings.h"
#include "Machine/Wmi/Wmi.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>

namespace topology {

namespace {

using sim::HyperVTopology;
using Change = std::function<std::string(HyperVTopology&)>;

struct Command {
    const char* verb;
    size_t minWords, maxWords;  // with the verb
    const char* help;
    // The change the words ask for; sets `*error` (and returns null) when they do not fit.
    std::function<Change(const std::vector<std::string>& w, std::string* error)> make;
};

std::u16string U(const std::string& utf8) {
    return sim::Utf8ToUtf16(utf8);
}

// A VLAN id argument: 0..4094.
bool ParseVlan(const std::string& text, int* vlan) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != text.npos) {
        return false;
    }
    *vlan = std::stoi(text);
    return *vlan <= 4094;
}

// The switch a team's adapter (named by its GUID) is the external port of; else `name` itself.
std::u16string SwitchOfTeam(const HyperVTopology& t, const std::u16string& name) {
    for (const sim::HyperVSwitch& candidate : t.switches) {
        if (!candidate.adapter.empty() && sim::CimNamesEqual(candidate.adapter, name)) {
            return candidate.name;
        }
    }
    return name;
}

Change AddVm(const std::vector<std::string>& w, std::string* error) {
    sim::HyperVVm vm;
    vm.name = U(w[1]);
    sim::HyperVAdapter adapter;
    bool hasAdapter = false;
    for (size_t i = 2; i < w.size(); i += 2) {
        if (i + 1 >= w.size()) {
            *error = "option " + w[i] + " needs a value";
            return nullptr;
        }
        const std::string& value = w[i + 1];
        int vlan = 0;
        if (w[i] == "--id") {
            vm.id = U(value);
        } else if (w[i] == "--mac") {
            adapter.mac = U(value);
            hasAdapter = true;
        } else if (w[i] == "--switch") {
            adapter.switchName = U(value);
        } else if (w[i] == "--vlan" && ParseVlan(value, &vlan)) {
            adapter.vlan = vlan;
        } else if (w[i] == "--vlan") {
            *error = "--vlan: expected a VLAN id from 0 to 4094, found \"" + value + "\"";
            return nullptr;
        } else {
            *error = "unknown option " + w[i];
            return nullptr;
        }
    }
    if (!hasAdapter && (!adapter.switchName.empty() || adapter.vlan)) {
        *error = "--switch and --vlan describe the VM's adapter: give its --mac too";
        return nullptr;
    }
    if (hasAdapter) {
        vm.adapters.push_back(adapter);
    }
    return [vm](HyperVTopology& t) { return sim::AddVm(t, vm); };
}

// A power state change of the VM the words name, made at the machine clock's time.
Change Power(const std::vector<std::string>& w, sim::VmPowerAction action) {
    return [name = U(w[1]), action](HyperVTopology& t) {
        long long nowMs = sim::Machine::Get().Clock().Now() / sim::Clock::kUnitsPerMs;
        return sim::ChangeVmState(t, name, action, nowMs);
    };
}

const Command kCommands[] = {
    {"add-vm", 2, 10,
     "tarvik-sim [-m MACHINE] add-vm NAME [--id GUID] [--mac MAC [--switch SWITCH] [--vlan N]]\n"
     "Adds a virtual machine; with --mac, one network adapter (id A1), connected to SWITCH\n"
     "and on access VLAN N when given.\n",
     AddVm},
    {"remove-vm", 2, 2,
     "tarvik-sim [-m MACHINE] remove-vm NAME\nRemoves a virtual machine and its adapters.\n",
     [](const std::vector<std::string>& w, std::string*) -> Change {
         return [name = U(w[1])](HyperVTopology& t) { return sim::RemoveVm(t, name); };
     }},
    {"start-vm", 2, 2,
     "tarvik-sim [-m MACHINE] start-vm NAME\n"
     "Starts a VM that is off, or restores a saved one: its network adapters appear on their\n"
     "switches.\n",
     [](const std::vector<std::string>& w, std::string*) {
         return Power(w, sim::VmPowerAction::Start);
     }},
    {"stop-vm", 2, 2,
     "tarvik-sim [-m MACHINE] stop-vm NAME\n"
     "Turns off a running or paused VM: its network adapters leave their switches.\n",
     [](const std::vector<std::string>& w, std::string*) {
         return Power(w, sim::VmPowerAction::TurnOff);
     }},
    {"save-vm", 2, 2,
     "tarvik-sim [-m MACHINE] save-vm NAME\n"
     "Saves a running or paused VM: its network adapters leave their switches, as when off.\n",
     [](const std::vector<std::string>& w, std::string*) {
         return Power(w, sim::VmPowerAction::Save);
     }},
    {"pause-vm", 2, 2,
     "tarvik-sim [-m MACHINE] pause-vm NAME\n"
     "Pauses a running VM: its network adapters stay; its on time stands still.\n",
     [](const std::vector<std::string>& w, std::string*) {
         return Power(w, sim::VmPowerAction::Pause);
     }},
    {"resume-vm", 2, 2, "tarvik-sim [-m MACHINE] resume-vm NAME\nResumes a paused VM.\n",
     [](const std::vector<std::string>& w, std::string*) {
         return Power(w, sim::VmPowerAction::Resume);
     }},
    {"connect", 4, 4,
     "tarvik-sim [-m MACHINE] connect VM ADAPTER SWITCH\n"
     "Connects a VM's adapter (by id: A1, A2, ...) to a switch; a connected adapter moves.\n",
     [](const std::vector<std::string>& w, std::string*) -> Change {
         return [vm = U(w[1]), adapter = U(w[2]), to = U(w[3])](HyperVTopology& t) {
             return sim::ConnectAdapter(t, vm, adapter, to);
         };
     }},
    {"disconnect", 3, 3,
     "tarvik-sim [-m MACHINE] disconnect VM ADAPTER\nDisconnects a VM's adapter from its switch.\n",
     [](const std::vector<std::string>& w, std::string*) -> Change {
         return [vm = U(w[1]), adapter = U(w[2])](HyperVTopology& t) {
             return sim::DisconnectAdapter(t, vm, adapter);
         };
     }},
    {"set-vlan", 4, 4,
     "tarvik-sim [-m MACHINE] set-vlan VM ADAPTER N\nPuts a VM's adapter on access VLAN N "
     "(0 to 4094).\n",
     [](const std::vector<std::string>& w, std::string* error) -> Change {
         int vlan = 0;
         if (!ParseVlan(w[3], &vlan)) {
             *error = "expected a VLAN id from 0 to 4094, found \"" + w[3] + "\"";
             return nullptr;
         }
         return [vm = U(w[1]), adapter = U(w[2]), vlan](HyperVTopology& t) {
             return sim::SetVlan(t, vm, adapter, vlan);
         };
     }},
    {"clear-vlan", 3, 3,
     "tarvik-sim [-m MACHINE] clear-vlan VM ADAPTER\nRemoves a VM adapter's VLAN settings.\n",
     [](const std::vector<std::string>& w, std::string*) -> Change {
         return [vm = U(w[1]), adapter = U(w[2])](HyperVTopology& t) {
             return sim::SetVlan(t, vm, adapter, std::nullopt);
         };
     }},
    {"set-mac", 4, 4,
     "tarvik-sim [-m MACHINE] set-mac VM ADAPTER MAC\n"
     "Gives a VM's adapter another MAC address (twelve hexadecimal digits).\n",
     [](const std::vector<std::string>& w, std::string*) -> Change {
         return [vm = U(w[1]), adapter = U(w[2]), mac = U(w[3])](HyperVTopology& t) {
             return sim::SetMac(t, vm, adapter, mac);
         };
     }},
    {"unbind-team", 2, 2,
     "tarvik-sim [-m MACHINE] unbind-team ADAPTER-GUID|SWITCH\n"
     "Unbinds a team's adapter from the external switch it serves (the external port's\n"
     "IsBound becomes false); the switch and its VMs stay.\n",
     [](const std::vector<std::string>& w, std::string*) -> Change {
         return [name = U(w[1])](HyperVTopology& t) {
             return sim::SetSwitchBound(t, SwitchOfTeam(t, name), false);
         };
     }},
    {"bind-team", 2, 2,
     "tarvik-sim [-m MACHINE] bind-team ADAPTER-GUID|SWITCH\n"
     "Binds a team's adapter to its external switch again.\n",
     [](const std::vector<std::string>& w, std::string*) -> Change {
         return [name = U(w[1])](HyperVTopology& t) {
             return sim::SetSwitchBound(t, SwitchOfTeam(t, name), true);
         };
     }},
    {"wmi", 2, 2,
     "tarvik-sim [-m MACHINE] wmi stop|start\n"
     "Stops WMI (every connection, query and subscription made before fails from then on;\n"
     "the next connection starts it again, as Windows does, unless the registry's\n"
     "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Winmgmt \"Start\" is 4, disabled) or starts it.\n",
     [](const std::vector<std::string>& w, std::string* error) -> Change {
         if (w[1] == "stop") {
             return [](HyperVTopology& t) { return sim::StopWmi(t); };
         }
         if (w[1] == "start") {
             return [](HyperVTopology& t) { return sim::StartWmi(t); };
         }
         *error = "expected wmi stop or wmi start";
         return nullptr;
     }},
};

const Command* Find(const std::string& verb) {
    for (const Command& command : kCommands) {
        if (verb == command.verb) {
            return &command;
        }
    }
    return nullptr;
}

}  // namespace

const char* HelpOf(const std::string& verb) {
    if (verb == "topology") {
        return "tarvik-sim [-m MACHINE] topology\n"
               "Prints the machine's live Hyper-V topology in hyperv.json's form.\n";
    }
    const Command* command = Find(verb);
    return command != nullptr ? command->help : nullptr;
}

const char* Usage() {
    return "  add-vm NAME [--mac MAC [--switch S] [--vlan N]]   remove-vm NAME\n"
           "  start-vm|stop-vm|save-vm|pause-vm|resume-vm NAME\n"
           "  connect VM ADAPTER SWITCH   disconnect VM ADAPTER   set-mac VM ADAPTER MAC\n"
           "  set-vlan VM ADAPTER N   clear-vlan VM ADAPTER   bind-team|unbind-team TEAM\n"
           "  wmi stop|start   topology   change the Hyper-V host while the service runs\n";
}

std::string Run(const std::vector<std::string>& words, bool* usage) {
    *usage = false;
    const char* help = words.empty() ? nullptr : HelpOf(words[0]);
    if (help == nullptr) {
        *usage = true;
        return "no Hyper-V command " + std::string(words.empty() ? "" : words[0]);
    }
    const Command* command = Find(words[0]);
    size_t minWords = command != nullptr ? command->minWords : 1;
    size_t maxWords = command != nullptr ? command->maxWords : 1;
    if (words.size() < minWords || words.size() > maxWords) {
        // The synopsis, the first line of the help without "tarvik-sim [-m MACHINE] ".
        std::string synopsis(help, std::strchr(help, '\n'));
        synopsis.erase(0, synopsis.find(words[0]));
        *usage = true;
        return words[0] + ": expected \"" + synopsis + "\"";
    }
    if (command == nullptr) {  // topology
        std::shared_ptr<const HyperVTopology> now = sim::Machine::Get().Wmi().Topology();
        if (now == nullptr) {
            return "this machine has no Hyper-V (no \"hyperv\" in machine.json)";
        }
        std::fputs(sim::WriteTopology(*now).c_str(), stdout);
        return "";
    }
    std::string error;
    Change change = command->make(words, &error);
    if (!change) {
        *usage = true;
        return words[0] + ": " + error;
    }
    error = sim::Machine::Get().Wmi().Change(change);
    return error.empty() ? "" : words[0] + ": " + error;
}

}  // namespace topology
