#include "Machine/HyperV/HyperVTopology.h"

#include "Machine/HyperV/HyperVRules.h"
#include "Machine/Settings/Json.h"
#include "Machine/Machine.h"
#include "Machine/Registry/RegFile.h"
#include "Machine/Settings/Settings.h"
#include "Machine/Settings/SettingsReader.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <iterator>
#include <utility>

namespace sim {

namespace {

// "hyperv.vms[2].adapters[0].switch", and the line of that member (or of its entry, when the
// member was defaulted) in `root`, the topology's object; 0 without one.
std::string FaultPath(const TopologyFault& f, const std::string& path, const Json* root,
                      int* line) {
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
    if (std::optional<TopologyFault> fault = FindFault(t)) {
        int line = 0;
        std::string entry = FaultPath(*fault, path, root, &line);
        throw TopologyError(file + (line > 0 ? ":" + std::to_string(line) : "") + ": " + entry +
                            ": " + fault->what);
    }
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

// Up to 2^53 ms, the whole numbers a JSON number holds exactly.
constexpr double kMaxMs = 9007199254740992.0;

const HyperVVmState kStates[] = {HyperVVmState::Running, HyperVVmState::Off, HyperVVmState::Saved,
                                 HyperVVmState::Paused};

void ReadVm(SettingsReader& r, HyperVVm& vm) {
    ReadName(r, "a VM", vm.name);
    ReadId(r, "vm", vm.name, vm.id);
    std::string state = VmStateName(vm.state);
    r.Text("state", state);
    auto known = std::find_if(std::begin(kStates), std::end(kStates),
                              [&](HyperVVmState s) { return state == VmStateName(s); });
    if (known == std::end(kStates)) {
        r.Fail("state", "expected \"running\", \"off\", \"saved\" or \"paused\"");
    }
    vm.state = *known;
    r.Unsigned("onSince", vm.onSince, kMaxMs);
    r.Unsigned("onTime", vm.onTime, kMaxMs);
    if (vm.state != HyperVVmState::Running && r.Self().Find("onSince") != nullptr) {
        r.Fail("onSince", "only a running VM's on time counts from a moment");
    }
    if (vm.state != HyperVVmState::Paused && r.Self().Find("onTime") != nullptr) {
        r.Fail("onTime", "only a paused VM holds its on time");
    }
    r.Array("adapters", [&](SettingsReader& adapter) {
        vm.adapters.emplace_back();
        ReadAdapter(adapter, vm.adapters.back(), vm.adapters.size() - 1);
    });
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

using TopologyWriter = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

void Member(TopologyWriter& w, const char* key, const std::string& utf8) {
    w.Key(key);
    w.String(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size()));
}

void Member(TopologyWriter& w, const char* key, const std::u16string& text) {
    Member(w, key, Utf16ToUtf8(text));
}

void WriteSwitch(TopologyWriter& w, const HyperVSwitch& s) {
    w.StartObject();
    Member(w, "name", s.name);
    Member(w, "id", s.id);
    if (!s.adapter.empty()) {
        Member(w, "adapter", s.adapter);
        Member(w, "adapterName", s.adapterName);
        w.Key("bound");
        w.Bool(s.bound);
    }
    if (s.managementOsMac) {
        Member(w, "managementOsMac", *s.managementOsMac);
    }
    w.EndObject();
}

void WriteVm(TopologyWriter& w, const HyperVVm& vm) {
    w.StartObject();
    Member(w, "name", vm.name);
    Member(w, "id", vm.id);
    Member(w, "state", std::string(VmStateName(vm.state)));
    if (vm.state == HyperVVmState::Running || vm.state == HyperVVmState::Paused) {
        bool running = vm.state == HyperVVmState::Running;
        w.Key(running ? "onSince" : "onTime");
        w.Int64(running ? vm.onSince : vm.onTime);
    }
    w.Key("adapters");
    w.StartArray();
    for (const HyperVAdapter& a : vm.adapters) {
        w.StartObject();
        Member(w, "id", a.id);
        Member(w, "mac", a.mac);
        if (!a.switchName.empty()) {
            Member(w, "switch", a.switchName);
        }
        if (a.vlan) {
            w.Key("vlan");
            w.Int(*a.vlan);
        }
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
}

}  // namespace

// ---- The topology ----

long long HyperVVm::OnTimeMs(long long nowMs) const {
    switch (state) {
        case HyperVVmState::Running:
            return std::max(0LL, nowMs - onSince);  // a clock restarted since: from 0 again
        case HyperVVmState::Paused:
            return onTime;
        default:
            return 0;
    }
}

const char* VmStateName(HyperVVmState state) {
    switch (state) {
        case HyperVVmState::Off:
            return "off";
        case HyperVVmState::Saved:
            return "saved";
        case HyperVVmState::Paused:
            return "paused";
        default:
            return "running";
    }
}

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
    return a.name == b.name && a.id == b.id && a.adapters == b.adapters && a.state == b.state &&
           a.onSince == b.onSince && a.onTime == b.onTime;
}

bool operator==(const HyperVTopology& a, const HyperVTopology& b) {
    return a.model == b.model && a.hostName == b.hostName && a.wmiRunning == b.wmiRunning &&
           a.wmiGeneration == b.wmiGeneration &&
           a.vmSwitchPortsWhileOff == b.vmSwitchPortsWhileOff &&
           a.countersRaiseEvents == b.countersRaiseEvents && a.switches == b.switches &&
           a.vms == b.vms;
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
        r.Boolean("vmSwitchPortsWhileOff", t.vmSwitchPortsWhileOff);
        r.Boolean("countersRaiseEvents", t.countersRaiseEvents);
        r.Array("switches", [&](SettingsReader& item) {
            t.switches.emplace_back();
            ReadSwitch(item, t.switches.back());
        });
        r.Array("vms", [&](SettingsReader& item) {
            t.vms.emplace_back();
            ReadVm(item, t.vms.back());
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
    Json root = ParseSettingsFile(text, file);
    return ReadTopology(root, file, "");
}

void CheckTopology(const HyperVTopology& topology, const std::string& file) {
    CheckAt(topology, file, "", nullptr);
}

std::string WriteTopology(const HyperVTopology& t) {
    rapidjson::StringBuffer buffer;
    TopologyWriter w(buffer);
    w.SetIndent(' ', 2);
    w.StartObject();
    Member(w, "model", std::string(ModelName(t.model)));
    Member(w, "host", t.hostName);
    w.Key("wmi");
    w.StartObject();
    w.Key("running");
    w.Bool(t.wmiRunning);
    w.Key("generation");
    w.Uint(t.wmiGeneration);
    w.EndObject();
    w.Key("vmSwitchPortsWhileOff");
    w.Bool(t.vmSwitchPortsWhileOff);
    w.Key("countersRaiseEvents");
    w.Bool(t.countersRaiseEvents);
    w.Key("switches");
    w.StartArray();
    for (const HyperVSwitch& s : t.switches) {
        WriteSwitch(w, s);
    }
    w.EndArray();
    w.Key("vms");
    w.StartArray();
    for (const HyperVVm& vm : t.vms) {
        WriteVm(w, vm);
    }
    w.EndArray();
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

}  // namespace sim
