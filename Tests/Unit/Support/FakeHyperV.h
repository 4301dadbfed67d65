// A Hyper-V switch topology for the WMI doubles: external ports, their switches and the VM
// interfaces on them, answered as "ASSOCIATORS OF {path} WHERE  ResultClass=Class" queries along
// the associations of the version-1 or version-2 model. Linux only, with FakeWbem.h.
#pragma once

#include "Support/FakeWbem.h"

#include <map>
#include <string>

namespace test {

class FakeHyperV {
public:
    // The VLAN settings of one VM interface.
    struct Vlan {
        enum Kind { kNone, kNumber, kNull, kText, kLookupFails } kind;
        LONG number;
        const WCHAR* text;
    };
    static Vlan NoVlan() { return {Vlan::kNone, 0, nullptr}; }
    static Vlan Number(LONG number) { return {Vlan::kNumber, number, nullptr}; }
    static Vlan Null() { return {Vlan::kNull, 0, nullptr}; }
    static Vlan Text(const WCHAR* text) { return {Vlan::kText, 0, text}; }
    // The walk to the settings cannot read a path on its way.
    static Vlan LookupFails() { return {Vlan::kLookupFails, 0, nullptr}; }

    explicit FakeHyperV(bool bVersion2) : m_bVersion2(bVersion2) {}

    static WString Associators(const WString& path, const WString& resultClass) {
        return TEXT("ASSOCIATORS OF {") + path + TEXT("} WHERE  ResultClass=") + resultClass;
    }
    static WString PathOf(FakeObject* object) {
        VARIANT value;
        VariantInit(&value);
        object->Get(TEXT("__PATH"), 0, &value, nullptr, nullptr);
        WString path = V_VT(&value) == VT_BSTR ? WString(V_BSTR(&value)) : WString();
        VariantClear(&value);
        return path;
    }

    // An external port for `deviceId` on a switch of its own, which the VMs added next join.
    ComRef<FakeObject> AddSwitch(const WCHAR* deviceId, const WCHAR* name) {
        ComRef<FakeObject> port = Object(TEXT("Msvm_ExternalEthernetPort"));
        port->SetString(TEXT("DeviceID"), deviceId).SetString(TEXT("ElementName"), name);
        ComRef<FakeObject> switchPort;
        if (m_bVersion2) {
            ComRef<FakeObject> first = Step(port, TEXT("Msvm_LANEndpoint"));
            first->SetString(TEXT("MacAddress"), TEXT("0015E0000001"));
            ComRef<FakeObject> second = Step(first, TEXT("Msvm_LANEndpoint"));
            second->SetString(TEXT("MacAddress"), TEXT("0015E0000002"));
            switchPort = Step(second, TEXT("MSVM_EthernetSwitchPort"));
            m_switch = Step(switchPort, TEXT("Msvm_VirtualEthernetSwitch"));
        } else {
            switchPort = Step(Step(port, TEXT("Msvm_SwitchLANEndpoint")), TEXT("Msvm_SwitchPort"));
            m_switch = Step(switchPort, TEXT("Msvm_VirtualSwitch"));
        }
        Link(m_switch, SwitchPortClass(), switchPort);
        return port;
    }

    // A VM interface on the last switch; its computer system is returned. The host's own
    // interface is one whose description names the hosting computer system.
    ComRef<FakeObject> AddVm(const WCHAR* name, const WCHAR* mac, Vlan vlan,
                             const WCHAR* description = TEXT("Microsoft Virtual Machine")) {
        ComRef<FakeObject> switchPort = Step(m_switch, SwitchPortClass());
        ComRef<FakeObject> synthetic;
        if (m_bVersion2) {
            ComRef<FakeObject> switchSide = Step(switchPort, TEXT("Msvm_LANEndpoint"));
            switchSide->SetString(TEXT("MacAddress"), TEXT("0015E0FFFFFF"));
            ComRef<FakeObject> vmSide = Step(switchSide, TEXT("Msvm_LANEndpoint"));
            vmSide->SetString(TEXT("MacAddress"), mac);
            synthetic = Step(vmSide, TEXT("Msvm_SyntheticEthernetPort"));
            AddVlanV2(synthetic, vlan);
        } else {
            ComRef<FakeObject> endpoint = Step(switchPort, TEXT("Msvm_VmLANEndpoint"));
            endpoint->SetString(TEXT("MacAddress"), mac);
            synthetic = Step(endpoint, TEXT("Msvm_SyntheticEthernetPort"));
            ComRef<FakeObject> vlanEndpoint = Step(switchPort, TEXT("Msvm_VLANEndpoint"));
            if (vlan.kind == Vlan::kLookupFails) {
                vlanEndpoint->Fail(TEXT("__PATH"), WBEM_E_FAILED);
            } else if (vlan.kind != Vlan::kNone) {
                SetVlan(Step(vlanEndpoint, TEXT("Msvm_VLANEndpointSettingData")),
                        TEXT("AccessVLAN"), vlan);
            }
        }
        ComRef<FakeObject> system = Step(synthetic, TEXT("Msvm_ComputerSystem"));
        system->SetString(TEXT("ElementName"), name).SetString(TEXT("Description"), description);
        return system;
    }

    // An answer of its own for one query (a failure, say).
    void Override(const WString& query, FakeAnswer answer) { m_answers[query] = answer; }

    void AnswerTo(FakeServices* services) const {
        for (const auto& entry : m_answers) {
            services->AnswerQuery(entry.first, entry.second);
        }
    }

private:
    ComRef<FakeObject> Object(const WCHAR* className) {
        ComRef<FakeObject> object = FakeObject::Make();
        WString path = TEXT("\\\\HOST\\root\\virtualization:") + WString(className) +
                       TEXT(".Name=\"") + Decimal(++m_objects) + TEXT("\"");
        object->SetString(TEXT("__PATH"), path.c_str());
        return object;
    }
    void Link(const ComRef<FakeObject>& from, const WCHAR* resultClass,
              const ComRef<FakeObject>& to) {
        m_answers[Associators(PathOf(from.Get()), resultClass)].objects.push_back(to);
    }
    // A new object that `from` is associated with through `resultClass`.
    ComRef<FakeObject> Step(const ComRef<FakeObject>& from, const WCHAR* resultClass) {
        ComRef<FakeObject> to = Object(resultClass);
        Link(from, resultClass, to);
        return to;
    }
    const WCHAR* SwitchPortClass() const {
        return m_bVersion2 ? TEXT("MSVM_EthernetSwitchPort") : TEXT("Msvm_SwitchPort");
    }
    static WString Decimal(int n) {
        std::string digits = std::to_string(n);
        return WString(digits.begin(), digits.end());
    }
    static void SetVlan(const ComRef<FakeObject>& settings, const WCHAR* property, Vlan vlan) {
        if (vlan.kind == Vlan::kNumber) {
            settings->SetInt(property, vlan.number);
        } else if (vlan.kind == Vlan::kNull) {
            settings->SetNull(property);
        } else if (vlan.kind == Vlan::kText) {
            settings->SetString(property, vlan.text);
        }
    }
    // The VM's settings hold the allocations of each of its ports; only the one whose id extends
    // this port's settings id leads to this port's VLAN, the other one leads to VLAN 999.
    void AddVlanV2(const ComRef<FakeObject>& synthetic, Vlan vlan) {
        WString id = TEXT("Microsoft:VM") + Decimal(++m_vms);
        ComRef<FakeObject> portSettings =
            Step(synthetic, TEXT("MSVM_SyntheticEthernetPortSettingData"));
        portSettings->SetString(TEXT("InstanceId"), (id + TEXT("\\PORT")).c_str());
        if (vlan.kind == Vlan::kLookupFails) {
            portSettings->Fail(TEXT("__PATH"), WBEM_E_FAILED);
            return;
        }
        ComRef<FakeObject> system = Step(portSettings, TEXT("MSVM_VirtualSystemSettingData"));
        const WCHAR kAllocation[] = TEXT("MSVM_EthernetPortAllocationSettingData");
        const WCHAR kVlanSettings[] = TEXT("Msvm_EthernetSwitchPortVlanSettingData");
        ComRef<FakeObject> mine = Step(system, kAllocation);
        mine->SetString(TEXT("InstanceId"), (id + TEXT("\\PORT\\C")).c_str());
        ComRef<FakeObject> other = Step(system, kAllocation);
        other->SetString(TEXT("InstanceId"), (id + TEXT("\\OTHER\\C")).c_str());
        Step(other, kVlanSettings)->SetInt(TEXT("AccessVLANId"), 999);
        if (vlan.kind != Vlan::kNone) {
            SetVlan(Step(mine, kVlanSettings), TEXT("AccessVLANId"), vlan);
        }
    }

    bool m_bVersion2;
    int m_objects = 0;
    int m_vms = 0;
    ComRef<FakeObject> m_switch;
    std::map<WString, FakeAnswer> m_answers;
};

}  // namespace test
