#include "Machine/HyperV/HyperVChanges.h"

#include "Machine/HyperV/HyperVRules.h"
#include "Machine/Registry/RegKey.h"

#include <functional>
#include <utility>

namespace sim {

namespace {

// Takes `next`, a changed copy of `t`, only when it is sound.
std::string Take(HyperVTopology& t, HyperVTopology next) {
    std::string fault = FirstFault(next);
    if (fault.empty()) {
        t = std::move(next);
    }
    return fault;
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

std::string ChangeVmState(HyperVTopology& t, const std::u16string& vmName, VmPowerAction action,
                          long long nowMs) {
    using State = HyperVVmState;
    struct Rule {
        State from1, from2;  // the states the action starts from
        State to;
        const char* refusal;
    };
    static const Rule kRules[] = {
        {State::Off, State::Saved, State::Running, "only a VM that is off or saved can be started"},
        {State::Running, State::Paused, State::Off,
         "only a running or paused VM can be turned off"},
        {State::Running, State::Paused, State::Saved, "only a running or paused VM can be saved"},
        {State::Running, State::Running, State::Paused, "only a running VM can be paused"},
        {State::Paused, State::Paused, State::Running, "only a paused VM can be resumed"},
    };
    HyperVVm* vm = t.FindVm(vmName);
    if (vm == nullptr) {
        return "no VM named " + Quoted(vmName);
    }
    const Rule& rule = kRules[static_cast<int>(action)];
    if (vm->state != rule.from1 && vm->state != rule.from2) {
        return VmText(*vm) + " is " + VmStateName(vm->state) + ": " + rule.refusal;
    }
    // Started or restored, the on time counts from now; paused, it stands still.
    switch (rule.to) {
        case State::Running:
            vm->onSince = action == VmPowerAction::Resume ? nowMs - vm->onTime : nowMs;
            vm->onTime = 0;
            break;
        case State::Paused:
            vm->onTime = vm->OnTimeMs(nowMs);
            vm->onSince = 0;
            break;
        default:
            vm->onSince = vm->onTime = 0;
    }
    vm->state = rule.to;
    return "";
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
