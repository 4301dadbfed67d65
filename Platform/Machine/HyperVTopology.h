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
    // The management OS shares the switch: a synthetic port of the host's own computer system.
    std::optional<std::u16string> managementOsMac;
};

struct HyperVAdapter {
    std::u16string id;          // the port's id in settings InstanceIDs; unique within its VM
    std::u16string mac;         // twelve hexadecimal digits, upper case
    std::u16string switchName;  // the switch it is connected to; empty: not connected
    std::optional<int> vlan;    // access VLAN id 0..4094; none: no VLAN settings
};

struct HyperVVm {
    std::u16string name;  // ElementName
    std::u16string id;    // Name: a GUID without braces; default made from the name
    std::vector<HyperVAdapter> adapters;
};

struct HyperVTopology {
    enum class Model { Auto, V1, V2 };

    Model model = Model::Auto;  // Auto: v2 on Windows 8 / Server 2012 and later (OS 6.2+)
    std::u16string hostName = u"TARVIK-HOST";
    bool wmiRunning = true;      // false: the provider is unreachable
    unsigned wmiGeneration = 0;  // counts WMI restarts; older connections stay broken
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

// Changes made by tarvik-sim and tests. Each returns "" or a one-line error naming what is
// wrong, and leaves the topology as it was on error. VM and switch names and adapter ids match
// in any letter case.
//
// Adds `vm`; an id left empty is made from the name, an adapter's from its place ("A1", ...).
std::string AddVm(HyperVTopology& topology, HyperVVm vm);
std::string RemoveVm(HyperVTopology& topology, const std::u16string& vmName);
// Connects the adapter to a switch, or moves it to another.
std::string ConnectAdapter(HyperVTopology& topology, const std::u16string& vmName,
                           const std::u16string& adapterId, const std::u16string& switchName);
std::string DisconnectAdapter(HyperVTopology& topology, const std::u16string& vmName,
                              const std::u16string& adapterId);
// none: the adapter has no VLAN settings.
std::string SetVlan(HyperVTopology& topology, const std::u16string& vmName,
                    const std::u16string& adapterId, std::optional<int> vlan);
// Twelve hexadecimal digits in any letter case, kept upper case.
std::string SetMac(HyperVTopology& topology, const std::u16string& vmName,
                   const std::u16string& adapterId, const std::u16string& mac);
// Binds or unbinds an external switch's port from its adapter.
std::string SetSwitchBound(HyperVTopology& topology, const std::u16string& switchName, bool bound);
std::string StopWmi(HyperVTopology& topology);
// A restart: the generation moves on, so connections made before the stop stay broken.
std::string StartWmi(HyperVTopology& topology);

}  // namespace sim
