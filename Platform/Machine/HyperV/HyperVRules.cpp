#include "Machine/HyperV/HyperVRules.h"

#include "Machine/Registry/RegKey.h"
#include "Machine/Settings/SettingsReader.h"

#include <cstdio>
#include <map>

namespace sim {

namespace {

std::string AdapterText(const HyperVVm& vm, const HyperVAdapter& adapter) {
    return VmText(vm) + ", adapter " + Quoted(adapter.id);
}

}  // namespace

const char kMacText[] = "expected twelve hexadecimal digits";
const char kVlanText[] = "expected a VLAN from 0 to 4094";
const char kIdText[] =
    "expected a GUID without braces, such as 00000000-0000-0000-0000-000000000000";
const char kAdapterText[] = "expected a GUID such as {00000000-0000-0000-0000-000000000000}";

std::string Quoted(const std::u16string& text) {
    return "\"" + Utf16ToUtf8(text) + "\"";
}

bool IsMac(const std::u16string& mac) {
    if (mac.size() != 12) {
        return false;
    }
    for (char16_t c : mac) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'))) {
            return false;
        }
    }
    return true;
}

bool IsBareGuid(const std::u16string& id) {
    return IsGuidText(u"{" + id + u"}");
}

// A GUID-form text made from a name, the same for every spelling of it, so that a topology
// without ids gets the same ones every time it is read. Kinds are hashed apart so that a VM and
// a switch of one name still differ.
std::u16string NameGuid(const char* kind, const std::u16string& name) {
    std::string bytes = std::string(kind) + ":" + Utf16ToUtf8(RegUpcase(name));
    auto fnv = [&](unsigned long long hash) {
        for (unsigned char c : bytes) {
            hash = (hash ^ c) * 0x100000001B3ULL;
        }
        return hash;
    };
    unsigned long long high = fnv(0xCBF29CE484222325ULL);
    unsigned long long low = fnv(high ^ 0x9E3779B97F4A7C15ULL);
    char text[40];
    std::snprintf(text, sizeof(text), "%08llX-%04llX-%04llX-%04llX-%012llX", high >> 32,
                  (high >> 16) & 0xFFFF, high & 0xFFFF, low >> 48, low & 0xFFFFFFFFFFFFULL);
    return Utf8ToUtf16(text);
}

std::u16string DefaultAdapterId(size_t index) {
    return Utf8ToUtf16("A" + std::to_string(index + 1));
}

std::string SwitchText(const HyperVSwitch& s) {
    return "switch " + Quoted(s.name);
}
std::string VmText(const HyperVVm& vm) {
    return "VM " + Quoted(vm.name);
}

// The first fault of the topology, in file order; none when it can be taken.
std::optional<TopologyFault> FindFault(const HyperVTopology& t) {
    if (t.hostName.empty()) {
        return TopologyFault{-1, -1, -1, "host", "the host needs a name"};
    }
    std::map<std::u16string, std::string> names, ids, macs;
    auto claim = [](std::map<std::u16string, std::string>& taken, const std::u16string& key,
                    const std::string& owner) -> std::string {
        auto found = taken.emplace(key, owner);
        return found.second ? "" : found.first->second;
    };
    for (size_t i = 0; i < t.switches.size(); ++i) {
        const HyperVSwitch& s = t.switches[i];
        auto fault = [&](const char* member, const std::string& what) {
            return TopologyFault{static_cast<int>(i), -1, -1, member, what};
        };
        if (s.name.empty()) {
            return fault("name", "a switch needs a \"name\"");
        }
        if (std::string other = claim(names, RegUpcase(s.name), SwitchText(s)); !other.empty()) {
            return fault("name", "the name of " + other + " too");
        }
        if (!IsBareGuid(s.id)) {
            return fault("id", kIdText);
        }
        if (std::string other = claim(ids, RegUpcase(s.id), SwitchText(s)); !other.empty()) {
            return fault("id", Quoted(s.id) + " is the GUID of " + other + " too");
        }
        if (!s.adapter.empty() && !IsGuidText(s.adapter)) {
            return fault("adapter", kAdapterText);
        }
        if (s.managementOsMac) {
            if (!IsMac(*s.managementOsMac)) {
                return fault("managementOsMac", kMacText);
            }
            std::string owner = "the management OS on " + SwitchText(s);
            if (std::string other = claim(macs, RegUpcase(*s.managementOsMac), owner);
                !other.empty()) {
                return fault("managementOsMac",
                             Utf16ToUtf8(*s.managementOsMac) + " is the MAC of " + other + " too");
            }
        }
    }
    std::map<std::u16string, std::string> vmNames;
    for (size_t i = 0; i < t.vms.size(); ++i) {
        const HyperVVm& vm = t.vms[i];
        auto vmFault = [&](const char* member, const std::string& what) {
            return TopologyFault{-1, static_cast<int>(i), -1, member, what};
        };
        if (vm.name.empty()) {
            return vmFault("name", "a VM needs a \"name\"");
        }
        if (std::string other = claim(vmNames, RegUpcase(vm.name), VmText(vm)); !other.empty()) {
            return vmFault("name", "the name of " + other + " too");
        }
        if (!IsBareGuid(vm.id)) {
            return vmFault("id", kIdText);
        }
        if (std::string other = claim(ids, RegUpcase(vm.id), VmText(vm)); !other.empty()) {
            return vmFault("id", Quoted(vm.id) + " is the GUID of " + other + " too");
        }
        std::map<std::u16string, std::string> adapterIds;
        for (size_t j = 0; j < vm.adapters.size(); ++j) {
            const HyperVAdapter& a = vm.adapters[j];
            auto fault = [&](const char* member, const std::string& what) {
                return TopologyFault{-1, static_cast<int>(i), static_cast<int>(j), member, what};
            };
            if (a.id.empty()) {
                return fault("id", "an adapter needs an \"id\"");
            }
            if (!claim(adapterIds, RegUpcase(a.id), Quoted(a.id)).empty()) {
                return fault("id", "another adapter of this VM has the id " + Quoted(a.id));
            }
            if (!IsMac(a.mac)) {
                return fault("mac", kMacText);
            }
            if (std::string other = claim(macs, RegUpcase(a.mac), AdapterText(vm, a));
                !other.empty()) {
                return fault("mac", Utf16ToUtf8(a.mac) + " is the MAC of " + other + " too");
            }
            if (!a.switchName.empty() && t.FindSwitch(a.switchName) == nullptr) {
                return fault("switch", "no switch named " + Quoted(a.switchName));
            }
            if (a.vlan && (*a.vlan < 0 || *a.vlan > 4094)) {
                return fault("vlan", kVlanText);
            }
        }
    }
    return std::nullopt;
}

std::string FirstFault(const HyperVTopology& next) {
    if (std::optional<TopologyFault> fault = FindFault(next)) {
        std::string entry =
            fault->switchIndex >= 0 ? SwitchText(next.switches[fault->switchIndex])
            : fault->adapterIndex >= 0
                ? AdapterText(next.vms[fault->vmIndex],
                              next.vms[fault->vmIndex].adapters[fault->adapterIndex])
            : fault->vmIndex >= 0 ? VmText(next.vms[fault->vmIndex])
                                  : "the host";
        return entry + ": " + fault->member + ": " + fault->what;
    }
    return "";
}

}  // namespace sim
