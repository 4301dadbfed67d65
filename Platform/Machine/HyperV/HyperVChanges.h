// Changes of a Hyper-V topology, as tarvik-sim and tests make them while a service runs.
#pragma once

#include <optional>
#include <string>

namespace sim {

struct HyperVTopology;
struct HyperVVm;

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
// What start-vm, stop-vm (turn off), save-vm, pause-vm and resume-vm ask of a VM.
enum class VmPowerAction { Start, TurnOff, Save, Pause, Resume };
// Moves the VM to the state the action leads to, at `nowMs` on the machine's clock (which its
// OnTimeInMilliseconds counts from); a VM in a state the action does not start from is an error.
std::string ChangeVmState(HyperVTopology& topology, const std::u16string& vmName,
                          VmPowerAction action, long long nowMs);
std::string StopWmi(HyperVTopology& topology);
// A restart: the generation moves on, so connections made before the stop stay broken.
std::string StartWmi(HyperVTopology& topology);

}  // namespace sim
