#include "Machine/HyperVTopology.h"

#include "Machine/Json.h"
#include "Machine/Machine.h"
#include "Machine/RegFile.h"
#include "Machine/Settings.h"
#include "Machine/SettingsReader.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

namespace sim {

namespace {

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

// A fault of one entry: a switch, a VM, or an adapter of a VM, at one of its members.
struct Fault {
    int switchIndex = -1;
    int vmIndex = -1;
    int adapterIndex = -1;
    std::string member;
    std::string what;
};

std::string SwitchText(const HyperVSwitch& s) {
    return "switch " + Quoted(s.name);
}
std::string VmText(const HyperVVm& vm) {
    return "VM " + Quoted(vm.name);
}
std::string AdapterText(const HyperVVm& vm, const HyperVAdapter& adapter) {
    return VmText(vm) + ", adapter " + Quoted(adapter.id);
}

// The first fault of the topology, in file order; none when it can be taken.
std::optional<Fault> FindFault(const HyperVTopology& t) {
    if (t.hostName.empty()) {
        return Fault{-1, -1, -1, "host", "the host needs a name"};
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
            return Fault{static_cast<int>(i), -1, -1, member, what};
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
            return Fault{-1, static_cast<int>(i), -1, member, what};
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
                return Fault{-1, static_cast<int>(i), static_cast<int>(j), member, what};
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

// "hyperv.vms[2].adapters[0].switch", and the line of that member (or of its entry, when the
// member was defaulted) in `root`, the topology's object; 0 without one.
std::string FaultPath(const Fault& f, const std::string& path, const Json* root, int* line) {
    std::string entry = path.empty() ? "" : path + ".";
    const Json* at = root;
    auto item = [&](const char* list, int index) {
        entry += std::string(list) + "[" + std::to_string(index) + "]";
        const Json* items = at ? at->Find(list) : nullptr;
        at = items && items->IsArray() && static_cast<size_t>(index) < items->Items().size()
                 ? &items->Items()[index]
                 : nullptr;
    };
    if (f.switchIndex >= 0) {
        item("switches", f.switchIndex);
    } else if (f.vmIndex >= 0) {
        item("vms", f.vmIndex);
        if (f.adapterIndex >= 0) {
            entry += ".";
            item("adapters", f.adapterIndex);
        }
    }
    entry += (f.switchIndex >= 0 || f.vmIndex >= 0 ? "." : "") + f.member;
    const Json* member = at && at->IsObject() ? at->Find(f.member) : nullptr;
    *line = member ? member->Line() : at ? at->Line() : 0;
    return entry;
}

void CheckAt(const HyperVTopology& t, const std::string& file, const std::string& path,
             const Json* root) {
    if (std::optional<Fault> fault = FindFault(t)) {
        int line = 0;
        std::string entry = FaultPath(*fault, path, root, &line);
        throw TopologyError(file + (line > 0 ? ":" + std::to_string(line) : "") + ": " + entry +
                            ": " + fault->what);
    }
}

// Takes `next`, a changed copy of `t`, only when it is sound.
std::string Take(HyperVTopology& t, HyperVTopology next) {
    if (std::optional<Fault> fault = FindFault(next)) {
        std::string entry =
            fault->switchIndex >= 0 ? SwitchText(next.switches[fault->switchIndex])
            : fault->adapterIndex >= 0
                ? AdapterText(next.vms[fault->vmIndex],
                              next.vms[fault->vmIndex].adapters[fault->adapterIndex])
            : fault->vmIndex >= 0 ? VmText(next.vms[fault->vmIndex])
                                  : "the host";
        return entry + ": " + fault->member + ": " + fault->what;
    }
    t = std::move(next);
    return "";
}

// Text members must be UTF-8 that survives the trip through UTF-16 and back.
void ReadText(SettingsReader& r, const std::string& key, std::u16string& out) {
    if (const Json* v = r.Get(key, Json::Kind::String)) {
        out = Utf8ToUtf16(v->String());
        if (Utf16ToUtf8(out) != v->String()) {
            r.Fail(key, "expected UTF-8 text");
        }
    }
}

void ReadMac(SettingsReader& r, const std::string& key, std::u16string& out) {
    ReadText(r, key, out);
    if (!IsMac(out)) {
        r.Fail(key, kMacText);
    }
    out = RegUpcase(out);
}

void ReadId(SettingsReader& r, const char* kind, const std::u16string& name, std::u16string& id) {
    if (r.Self().Find("id") == nullptr) {
        id = NameGuid(kind, name);
        return;
    }
    ReadText(r, "id", id);
    if (!IsBareGuid(id)) {
        r.Fail("id", kIdText);
    }
    id = RegUpcase(id);
}

void ReadName(SettingsReader& r, const char* what, std::u16string& name) {
    ReadText(r, "name", name);
    if (name.empty()) {
        const Json* given = r.Self().Find("name");
        r.Fail(given ? *given : r.Self(), std::string(what) + " needs a \"name\"");
    }
}

void ReadSwitch(SettingsReader& r, HyperVSwitch& s) {
    ReadName(r, "a switch", s.name);
    ReadId(r, "switch", s.name, s.id);
    ReadText(r, "adapter", s.adapter);
    if (r.Self().Find("adapter") != nullptr && !IsGuidText(s.adapter)) {
        r.Fail("adapter", kAdapterText);
    }
    if (s.adapter.empty()) {
        for (const char* key : {"adapterName", "bound"}) {
            if (r.Self().Find(key) != nullptr) {
                r.Fail(key, "an internal switch (no \"adapter\") has no external port");
            }
        }
    }
    s.adapterName = s.adapter;
    ReadText(r, "adapterName", s.adapterName);
    r.Boolean("bound", s.bound);
    if (r.Self().Find("managementOsMac") != nullptr) {
        s.managementOsMac.emplace();
        ReadMac(r, "managementOsMac", *s.managementOsMac);
    }
}

void ReadAdapter(SettingsReader& r, HyperVAdapter& a, size_t index) {
    a.id = DefaultAdapterId(index);
    ReadText(r, "id", a.id);
    if (a.id.empty()) {
        r.Fail("id", "expected a non-empty id");
    }
    if (r.Self().Find("mac") == nullptr) {
        r.Fail(r.Self(), "an adapter needs a \"mac\"");
    }
    ReadMac(r, "mac", a.mac);
    ReadText(r, "switch", a.switchName);
    if (r.Self().Find("switch") != nullptr && a.switchName.empty()) {
        r.Fail("switch", "expected a switch's name (leave \"switch\" out: not connected)");
    }
    if (r.Self().Find("vlan") != nullptr) {
        a.vlan = 0;
        r.Unsigned("vlan", *a.vlan, 4094);
    }
}

const char* ModelName(HyperVTopology::Model model) {
    switch (model) {
        case HyperVTopology::Model::V1:
            return "v1";
        case HyperVTopology::Model::V2:
            return "v2";
        default:
            return "auto";
    }
}

using Members = std::vector<std::pair<std::string, std::string>>;

// One object per line and member, indented by two spaces per level.
std::string Pretty(const Members& members, const std::string& indent) {
    std::string out = "{\n";
    for (size_t i = 0; i < members.size(); ++i) {
        out += indent + "  " + JsonLine::Quote(members[i].first) + ": " + members[i].second +
               (i + 1 < members.size() ? ",\n" : "\n");
    }
    return out + indent + "}";
}

std::string PrettyList(const std::vector<std::string>& items, const std::string& indent) {
    if (items.empty()) {
        return "[]";
    }
    std::string out = "[\n";
    for (size_t i = 0; i < items.size(); ++i) {
        out += indent + "  " + items[i] + (i + 1 < items.size() ? ",\n" : "\n");
    }
    return out + indent + "]";
}

std::string Text(const std::u16string& text) {
    return JsonLine::Quote(Utf16ToUtf8(text));
}

HyperVAdapter* FindAdapter(HyperVVm& vm, const std::u16string& id) {
    for (HyperVAdapter& adapter : vm.adapters) {
        if (RegNamesEqual(adapter.id, id)) {
            return &adapter;
        }
    }
    return nullptr;
}

// Finds a VM's adapter for a change, or says which of the two is missing.
std::string LocateAdapter(HyperVTopology& t, const std::u16string& vmName,
                          const std::u16string& adapterId, size_t* vmIndex, size_t* index) {
    HyperVVm* vm = t.FindVm(vmName);
    if (vm == nullptr) {
        return "no VM named " + Quoted(vmName);
    }
    HyperVAdapter* adapter = FindAdapter(*vm, adapterId);
    if (adapter == nullptr) {
        return VmText(*vm) + " has no adapter " + Quoted(adapterId);
    }
    *vmIndex = static_cast<size_t>(vm - t.vms.data());
    *index = static_cast<size_t>(adapter - vm->adapters.data());
    return "";
}

// Runs `change` on the adapter named, in a copy taken when sound.
std::string ChangeAdapter(HyperVTopology& t, const std::u16string& vmName,
                          const std::u16string& adapterId,
                          const std::function<std::string(HyperVAdapter&)>& change) {
    size_t vm = 0, index = 0;
    std::string error = LocateAdapter(t, vmName, adapterId, &vm, &index);
    if (!error.empty()) {
        return error;
    }
    HyperVTopology next = t;
    error = change(next.vms[vm].adapters[index]);
    if (!error.empty()) {
        return error;
    }
    return Take(t, std::move(next));
}

}  // namespace

// ---- The topology ----

const HyperVSwitch* HyperVTopology::FindSwitch(const std::u16string& name) const {
    for (const HyperVSwitch& s : switches) {
        if (RegNamesEqual(s.name, name)) {
            return &s;
        }
    }
    return nullptr;
}

HyperVVm* HyperVTopology::FindVm(const std::u16string& name) {
    return const_cast<HyperVVm*>(static_cast<const HyperVTopology*>(this)->FindVm(name));
}

const HyperVVm* HyperVTopology::FindVm(const std::u16string& name) const {
    for (const HyperVVm& vm : vms) {
        if (RegNamesEqual(vm.name, name)) {
            return &vm;
        }
    }
    return nullptr;
}

bool operator==(const HyperVSwitch& a, const HyperVSwitch& b) {
    return a.name == b.name && a.id == b.id && a.adapter == b.adapter &&
           a.adapterName == b.adapterName && a.bound == b.bound &&
           a.managementOsMac == b.managementOsMac;
}

bool operator==(const HyperVAdapter& a, const HyperVAdapter& b) {
    return a.id == b.id && a.mac == b.mac && a.switchName == b.switchName && a.vlan == b.vlan;
}

bool operator==(const HyperVVm& a, const HyperVVm& b) {
    return a.name == b.name && a.id == b.id && a.adapters == b.adapters;
}

bool operator==(const HyperVTopology& a, const HyperVTopology& b) {
    return a.model == b.model && a.hostName == b.hostName && a.wmiRunning == b.wmiRunning &&
           a.wmiGeneration == b.wmiGeneration && a.switches == b.switches && a.vms == b.vms;
}

HyperVTopology ReadTopology(const Json& object, const std::string& file, const std::string& path) {
    HyperVTopology t;
    {
        SettingsReader r(file, path, object);
        std::string model = "auto";
        r.Text("model", model);
        if (model == "v1") {
            t.model = HyperVTopology::Model::V1;
        } else if (model == "v2") {
            t.model = HyperVTopology::Model::V2;
        } else if (model != "auto") {
            r.Fail("model", "expected \"auto\", \"v1\" or \"v2\"");
        }
        ReadText(r, "host", t.hostName);
        if (t.hostName.empty()) {
            r.Fail("host", "the host needs a name");
        }
        r.Object("wmi", [&](SettingsReader& wmi) {
            wmi.Boolean("running", t.wmiRunning);
            wmi.Unsigned("generation", t.wmiGeneration, 0xFFFFFFFF);
        });
        r.Array("switches", [&](SettingsReader& item) {
            t.switches.emplace_back();
            ReadSwitch(item, t.switches.back());
        });
        r.Array("vms", [&](SettingsReader& item) {
            t.vms.emplace_back();
            HyperVVm& vm = t.vms.back();
            ReadName(item, "a VM", vm.name);
            ReadId(item, "vm", vm.name, vm.id);
            item.Array("adapters", [&](SettingsReader& adapter) {
                vm.adapters.emplace_back();
                ReadAdapter(adapter, vm.adapters.back(), vm.adapters.size() - 1);
            });
        });
    }
    CheckAt(t, file, path, &object);
    // Connected as the switch spells its name, whatever case the adapter wrote.
    for (HyperVVm& vm : t.vms) {
        for (HyperVAdapter& adapter : vm.adapters) {
            if (const HyperVSwitch* s = t.FindSwitch(adapter.switchName)) {
                adapter.switchName = s->name;
            }
        }
    }
    return t;
}

HyperVTopology ParseTopology(const std::string& text, const std::string& file) {
    Json root;
    try {
        root = Json::Parse(text);
    } catch (const JsonError& e) {
        throw SettingsError(file, e.Line(), "", e.what());
    }
    return ReadTopology(root, file, "");
}

void CheckTopology(const HyperVTopology& topology, const std::string& file) {
    CheckAt(topology, file, "", nullptr);
}

std::string WriteTopology(const HyperVTopology& t) {
    const std::string in1 = "  ", in2 = "    ", in3 = "      ", in4 = "        ";
    std::vector<std::string> switches;
    for (const HyperVSwitch& s : t.switches) {
        Members members = {{"name", Text(s.name)}, {"id", Text(s.id)}};
        if (!s.adapter.empty()) {
            members.push_back({"adapter", Text(s.adapter)});
            members.push_back({"adapterName", Text(s.adapterName)});
            members.push_back({"bound", s.bound ? "true" : "false"});
        }
        if (s.managementOsMac) {
            members.push_back({"managementOsMac", Text(*s.managementOsMac)});
        }
        switches.push_back(Pretty(members, in2));
    }
    std::vector<std::string> vms;
    for (const HyperVVm& vm : t.vms) {
        std::vector<std::string> adapters;
        for (const HyperVAdapter& a : vm.adapters) {
            Members members = {{"id", Text(a.id)}, {"mac", Text(a.mac)}};
            if (!a.switchName.empty()) {
                members.push_back({"switch", Text(a.switchName)});
            }
            if (a.vlan) {
                members.push_back({"vlan", std::to_string(*a.vlan)});
            }
            adapters.push_back(Pretty(members, in4));
        }
        vms.push_back(Pretty(
            {{"name", Text(vm.name)}, {"id", Text(vm.id)}, {"adapters", PrettyList(adapters, in3)}},
            in2));
    }
    Members wmi = {{"running", t.wmiRunning ? "true" : "false"},
                   {"generation", std::to_string(t.wmiGeneration)}};
    return Pretty({{"model", JsonLine::Quote(ModelName(t.model))},
                   {"host", Text(t.hostName)},
                   {"wmi", Pretty(wmi, in1)},
                   {"switches", PrettyList(switches, in1)},
                   {"vms", PrettyList(vms, in1)}},
                  "") +
           "\n";
}

// ---- Changes ----

std::string AddVm(HyperVTopology& t, HyperVVm vm) {
    if (vm.name.empty()) {
        return "a VM needs a name";
    }
    if (const HyperVVm* other = t.FindVm(vm.name)) {
        return "there is a VM named " + Quoted(other->name) + " already";
    }
    if (vm.id.empty()) {
        vm.id = NameGuid("vm", vm.name);
    }
    for (size_t i = 0; i < vm.adapters.size(); ++i) {
        HyperVAdapter& adapter = vm.adapters[i];
        if (adapter.id.empty()) {
            adapter.id = DefaultAdapterId(i);
        }
        adapter.mac = RegUpcase(adapter.mac);
        if (const HyperVSwitch* s = t.FindSwitch(adapter.switchName)) {
            adapter.switchName = s->name;
        }
    }
    HyperVTopology next = t;
    next.vms.push_back(std::move(vm));
    return Take(t, std::move(next));
}

std::string RemoveVm(HyperVTopology& t, const std::u16string& vmName) {
    HyperVVm* vm = t.FindVm(vmName);
    if (vm == nullptr) {
        return "no VM named " + Quoted(vmName);
    }
    t.vms.erase(t.vms.begin() + (vm - t.vms.data()));
    return "";
}

std::string ConnectAdapter(HyperVTopology& t, const std::u16string& vmName,
                           const std::u16string& adapterId, const std::u16string& switchName) {
    const HyperVSwitch* target = t.FindSwitch(switchName);
    std::u16string name = target ? target->name : u"";
    return ChangeAdapter(t, vmName, adapterId, [&](HyperVAdapter& adapter) -> std::string {
        if (target == nullptr) {
            return "no switch named " + Quoted(switchName);
        }
        adapter.switchName = name;
        return "";
    });
}

std::string DisconnectAdapter(HyperVTopology& t, const std::u16string& vmName,
                              const std::u16string& adapterId) {
    return ChangeAdapter(t, vmName, adapterId, [&](HyperVAdapter& adapter) -> std::string {
        if (adapter.switchName.empty()) {
            return "adapter " + Quoted(adapter.id) + " of VM " + Quoted(vmName) +
                   " is not connected";
        }
        adapter.switchName.clear();
        return "";
    });
}

std::string SetVlan(HyperVTopology& t, const std::u16string& vmName,
                    const std::u16string& adapterId, std::optional<int> vlan) {
    return ChangeAdapter(t, vmName, adapterId, [&](HyperVAdapter& adapter) -> std::string {
        if (vlan && (*vlan < 0 || *vlan > 4094)) {
            return "VLAN " + std::to_string(*vlan) + " is out of range: " + kVlanText;
        }
        adapter.vlan = vlan;
        return "";
    });
}

std::string SetMac(HyperVTopology& t, const std::u16string& vmName, const std::u16string& adapterId,
                   const std::u16string& mac) {
    return ChangeAdapter(t, vmName, adapterId, [&](HyperVAdapter& adapter) -> std::string {
        if (!IsMac(mac)) {
            return Quoted(mac) + " is not a MAC address: " + kMacText;
        }
        adapter.mac = RegUpcase(mac);
        return "";
    });
}

std::string SetSwitchBound(HyperVTopology& t, const std::u16string& switchName, bool bound) {
    for (HyperVSwitch& s : t.switches) {
        if (RegNamesEqual(s.name, switchName)) {
            if (s.adapter.empty()) {
                return SwitchText(s) + " is internal: it has no external port to bind";
            }
            s.bound = bound;
            return "";
        }
    }
    return "no switch named " + Quoted(switchName);
}

std::string StopWmi(HyperVTopology& t) {
    t.wmiRunning = false;
    return "";
}

std::string StartWmi(HyperVTopology& t) {
    if (!t.wmiRunning) {
        t.wmiRunning = true;
        ++t.wmiGeneration;
    }
    return "";
}

}  // namespace sim
