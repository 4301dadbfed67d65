// What reading a Hyper-V topology and changing one both hold it to, and the words their
// messages share.
#pragma once

#include "Machine/HyperV/HyperVTopology.h"

#include <optional>
#include <string>

namespace sim {

extern const char kMacText[];
extern const char kVlanText[];
extern const char kIdText[];
extern const char kAdapterText[];

std::string Quoted(const std::u16string& text);  // "\"text\"", in UTF-8
std::string SwitchText(const HyperVSwitch& s);
std::string VmText(const HyperVVm& vm);

bool IsMac(const std::u16string& mac);
bool IsBareGuid(const std::u16string& id);  // a GUID without braces
// A GUID-form id made from a name (kind "vm" or "switch"), the same for every spelling of it.
std::u16string NameGuid(const char* kind, const std::u16string& name);
// "A1", "A2", ...: the id of an adapter by its place.
std::u16string DefaultAdapterId(size_t index);

// A fault of one entry: a switch, a VM, or an adapter of a VM, at one of its members.
struct TopologyFault {
    int switchIndex = -1;
    int vmIndex = -1;
    int adapterIndex = -1;
    std::string member;
    std::string what;
};

// The first fault of the topology, in file order; none when it can be taken.
std::optional<TopologyFault> FindFault(const HyperVTopology& topology);
// The topology's first fault as one line ("VM \"web\": mac: ..."); empty when it is sound.
std::string FirstFault(const HyperVTopology& topology);

}  // namespace sim
