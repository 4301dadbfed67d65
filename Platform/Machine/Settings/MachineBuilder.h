// The machine builder: what machine.json declares in a few lines (network adapters, adapter
// teams) written once into the machine's registry as Windows lays it out (Devices.h). A machine
// is built when it is made (by tarvik-sim new, by a test), never when a process starts on it;
// from then on the registry alone says which devices exist, and can be edited like any other.
#pragma once

#include "Machine/Registry/RegFile.h"
#include "Machine/Settings/Settings.h"

#include <string>

namespace sim {

// Writes the adapters and teams of `settings` into `tree`. Building again gives the same
// registry: an adapter keeps its driver key, a member's binding list is written whole.
void ExpandDevices(const MachineSettings& settings, RegKey& tree);

// Builds the machine in `dir` from its machine.json (none: nothing to build) into its
// registry.reg, under the machine's lock. Throws SettingsError for a bad machine.json; returns
// the Win32 error of writing the registry.
DWORD BuildMachine(const std::string& dir);

}  // namespace sim
