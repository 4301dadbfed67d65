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
        if (m_bVersion2) {
            ComRef<FakeObject> first = Object(TEXT("Msvm_LANEndpoint"));
            first->SetString(TEXT("MacAddress"), TEXT("0015E0000001"));
            Link(port, TEXT("Msvm_LANEndpoint"), first);
            ComRef<FakeObject> second = Object(TEXT("Msvm_LANEndpoint"));
            second->SetString(TEXT("MacAddress"), TEXT("0015E0000002"));
            Link(first, TEXT("Msvm_LANEndpoint"), second);
            ComRef<FakeObject> switchPort = Object(TEXT("Msvm_EthernetSwitchPort"));
            Link(second, TEXT("MSVM_EthernetSwitchPort"), switchPort);
            m_switch = Object(TEXT("Msvm_VirtualEthernetSwitch"));
            Link(switchPort, TEXT("Msvm_VirtualEthernetSwitch"), m_switch);
            Link(m_switch, TEXT("MSVM_EthernetSwitchPort"), switchPort);
        } else {
            ComRef<FakeObject> endpoint = Object(TEXT("Msvm_SwitchLANEndpoint"));
            Link(port, TEXT("Msvm_SwitchLANEndpoint"), endpoint);
            ComRef<FakeObject> switchPort = Object(TEXT("Msvm_SwitchPort"));
            Link(endpoint, TEXT("Msvm_SwitchPort"), switchPort);
            m_switch = Object(TEXT("Msvm_VirtualSwitch"));
            Link(switchPort, TEXT("Msvm_VirtualSwitch"), m_switch);
            Link(m_switch, TEXT("Msvm_SwitchPort"), switchPort);
        }
        return port;
    }

    // A VM interface on the last switch; its computer system is returned. The host's own
    // interface is one whose description names the hosting computer system.
    ComRef<FakeObject> AddVm(const WCHAR* name, const WCHAR* mac, Vlan vlan,
                             const WCHAR* description = TEXT("Microsoft Virtual Machine")) {
        ComRef<FakeObject> system = Object(TEXT("Msvm_ComputerSystem"));
        system->SetString(TEXT("ElementName"), name).SetString(TEXT("Description"), description);
        ComRef<FakeObject> synthetic = Object(TEXT("Msvm_SyntheticEthernetPort"));
        Link(synthetic, TEXT("Msvm_ComputerSystem"), system);
        if (m_bVersion2) {
            ComRef<FakeObject> switchPort = Object(TEXT("Msvm_EthernetSwitchPort"));
            Link(m_switch, TEXT("MSVM_EthernetSwitchPort"), switchPort);
            ComRef<FakeObject> switchSide = Object(TEXT("Msvm_LANEndpoint"));
            switchSide->SetString(TEXT("MacAddress"), TEXT("0015E0FFFFFF"));
            Link(switchPort, TEXT("Msvm_LANEndpoint"), switchSide);
            ComRef<FakeObject> vmSide = Object(TEXT("Msvm_LANEndpoint"));
            vmSide->SetString(TEXT("MacAddress"), mac);
            Link(switchSide, TEXT("Msvm_LANEndpoint"), vmSide);
            Link(vmSide, TEXT("Msvm_SyntheticEthernetPort"), synthetic);
            AddVlanV2(synthetic, vlan);
        } else {
            ComRef<FakeObject> switchPort = Object(TEXT("Msvm_SwitchPort"));
            Link(m_switch, TEXT("Msvm_SwitchPort"), switchPort);
            ComRef<FakeObject> endpoint = Object(TEXT("Msvm_VmLANEndpoint"));
            endpoint->SetString(TEXT("MacAddress"), mac);
            Link(switchPort, TEXT("Msvm_VmLANEndpoint"), endpoint);
            Link(endpoint, TEXT("Msvm_SyntheticEthernetPort"), synthetic);
            ComRef<FakeObject> vlanEndpoint = Object(TEXT("Msvm_VLANEndpoint"));
            Link(switchPort, TEXT("Msvm_VLANEndpoint"), vlanEndpoint);
            if (vlan.kind == Vlan::kLookupFails) {
                vlanEndpoint->Fail(TEXT("__PATH"), WBEM_E_FAILED);
            } else if (vlan.kind != Vlan::kNone) {
                ComRef<FakeObject> settings = Object(TEXT("Msvm_VLANEndpointSettingData"));
                SetVlan(settings, TEXT("AccessVLAN"), vlan);
                Link(vlanEndpoint, TEXT("Msvm_VLANEndpointSettingData"), settings);
            }
        }
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
        ComRef<FakeObject> portSettings = Object(TEXT("Msvm_SyntheticEthernetPortSettingData"));
        portSettings->SetString(TEXT("InstanceId"), (id + TEXT("\\PORT")).c_str());
        Link(synthetic, TEXT("MSVM_SyntheticEthernetPortSettingData"), portSettings);
        if (vlan.kind == Vlan::kLookupFails) {
            portSettings->Fail(TEXT("__PATH"), WBEM_E_FAILED);
            return;
        }
        ComRef<FakeObject> system = Object(TEXT("Msvm_VirtualSystemSettingData"));
        Link(portSettings, TEXT("MSVM_VirtualSystemSettingData"), system);
        ComRef<FakeObject> mine = Object(TEXT("Msvm_EthernetPortAllocationSettingData"));
        mine->SetString(TEXT("InstanceId"), (id + TEXT("\\PORT\\C")).c_str());
        Link(system, TEXT("MSVM_EthernetPortAllocationSettingData"), mine);
        ComRef<FakeObject> other = Object(TEXT("Msvm_EthernetPortAllocationSettingData"));
        other->SetString(TEXT("InstanceId"), (id + TEXT("\\OTHER\\C")).c_str());
        Link(system, TEXT("MSVM_EthernetPortAllocationSettingData"), other);
        ComRef<FakeObject> otherVlan = Object(TEXT("Msvm_EthernetSwitchPortVlanSettingData"));
        otherVlan->SetInt(TEXT("AccessVLANId"), 999);
        Link(other, TEXT("Msvm_EthernetSwitchPortVlanSettingData"), otherVlan);
        if (vlan.kind != Vlan::kNone) {
            ComRef<FakeObject> settings = Object(TEXT("Msvm_EthernetSwitchPortVlanSettingData"));
            SetVlan(settings, TEXT("AccessVLANId"), vlan);
            Link(mine, TEXT("Msvm_EthernetSwitchPortVlanSettingData"), settings);
        }
    }

    bool m_bVersion2;
    int m_objects = 0;
    int m_vms = 0;
    ComRef<FakeObject> m_switch;
    std::map<WString, FakeAnswer> m_answers;
};

}  // namespace test
