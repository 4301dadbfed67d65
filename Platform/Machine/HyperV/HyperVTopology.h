// The Hyper-V host a machine simulates: virtual switches (an external one names the network
// adapter its external port is bound to), virtual machines with their network adapters, and
// whether WMI is running. Declared under "hyperv" in machine.json; once a change has been made
// (by tarvik-sim or a test) the live topology is hyperv.json in the machine directory, written
// atomically, so that every process of the machine sees a change at its next WMI call.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

class Json;

struct HyperVSwitch {
    std::u16string name;         // ElementName; unique on the host (any letter case)
    std::u16string id;           // Name: a GUID without braces; default made from the name
    std::u16string adapter;      // external: the bound adapter's "{GUID}"; empty: internal
    std::u16string adapterName;  // the external port's ElementName; default: the adapter's name
                                 // in machine.json's adapters[], else the GUID
    bool bound = true;           // the external port's IsBound
    // The management OS shares the switch: the host's internal Ethernet port with this MAC.
    std::optional<std::u16string> managementOsMac;
};

struct HyperVAdapter {
    std::u16string id;          // the port's id in settings InstanceIDs; unique within its VM
    std::u16string mac;         // twelve hexadecimal digits, upper case
    std::u16string switchName;  // the switch it is connected to; empty: not connected
    std::optional<int> vlan;    // access VLAN id 0..4094; none: no VLAN settings
};

// A VM's power state (Msvm_ComputerSystem.EnabledState).
enum class HyperVVmState { Running, Off, Saved, Paused };

struct HyperVVm {
    std::u16string name;  // ElementName
    std::u16string id;    // Name: a GUID without braces; default made from the name
    std::vector<HyperVAdapter> adapters;
    HyperVVmState state = HyperVVmState::Running;
    // OnTimeInMilliseconds, on the machine's clock (ms since it started): a running VM's counts
    // from `onSince`, its last start moved on by the time it spent paused since; a paused VM's
    // is held in `onTime`.
    long long onSince = 0;
    long long onTime = 0;

    // Whether the VM is instantiated (running or paused): only then do its devices (synthetic
    // ports, their LAN endpoints and connections) exist; saving or turning it off destroys them.
    bool Instantiated() const {
        return state == HyperVVmState::Running || state == HyperVVmState::Paused;
    }
    // Its OnTimeInMilliseconds at `nowMs` on the machine's clock; 0 while off or saved.
    long long OnTimeMs(long long nowMs) const;
};

// "running", "off", "saved", "paused": the state's name in machine.json and messages.
const char* VmStateName(HyperVVmState state);

struct HyperVTopology {
    enum class Model { Auto, V1, V2 };

    Model model = Model::Auto;  // Auto: v2 on Windows 8 / Server 2012 and later (OS 6.2+)
    std::u16string hostName = u"TARVIK-HOST";
    bool wmiRunning = true;      // false: the provider is unreachable
    unsigned wmiGeneration = 0;  // counts WMI restarts; older connections stay broken
    // Version 2: a VM's switch ports (with their endpoints) stay while it is off or saved;
    // false: they are allocated when it starts and released when it stops.
    bool vmSwitchPortsWhileOff = false;
    // Whether WMI's event poll reports a modification of every running VM's Msvm_ComputerSystem
    // at each tick, as the self-changing OnTimeInMilliseconds would make a poll on Windows do.
    bool countersRaiseEvents = false;
    std::vector<HyperVSwitch> switches;
    std::vector<HyperVVm> vms;

    const HyperVSwitch* FindSwitch(const std::u16string& name) const;
    HyperVVm* FindVm(const std::u16string& name);
    const HyperVVm* FindVm(const std::u16string& name) const;
};

bool operator==(const HyperVSwitch& a, const HyperVSwitch& b);
bool operator==(const HyperVAdapter& a, const HyperVAdapter& b);
bool operator==(const HyperVVm& a, const HyperVVm& b);
bool operator==(const HyperVTopology& a, const HyperVTopology& b);
inline bool operator!=(const HyperVTopology& a, const HyperVTopology& b) {
    return !(a == b);
}

// A topology that cannot be taken, named by file, line, entry and fault.
class TopologyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads and checks a topology: switches named on adapters exist, MACs are twelve hex digits,
// names and GUIDs appear once, VLANs are 0..4094. Throws TopologyError (or the settings
// reader's SettingsError) naming `file`, the line and the entry ("hyperv.vms[2].adapters[0].mac").
HyperVTopology ReadTopology(const Json& object, const std::string& file, const std::string& path);
HyperVTopology ParseTopology(const std::string& text, const std::string& file);
// The hyperv.json form, which ParseTopology reads back to the same topology.
std::string WriteTopology(const HyperVTopology& topology);
// Checks the relations between entries; throws TopologyError naming `file` and the entry.
void CheckTopology(const HyperVTopology& topology, const std::string& file);

}  // namespace sim
