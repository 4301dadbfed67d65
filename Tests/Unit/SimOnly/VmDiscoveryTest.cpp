// VM discovery over a Hyper-V topology of WMI doubles: both association chains with their exact
// queries, the VLAN walks, the host skipped, failures that cut the walk short, and the property
// reads with their conversions.
#include "Support/FakeHyperV.h"
#include "Support/FakeWbem.h"
#include "Support/IdleHyperVMonitor.h"
#include "Support/TestMachine.h"
#include "Support/TraceTest.h"

#include "Machine/ComRuntime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

using test::ComRef;
using test::FakeHyperV;
using test::FakeObject;
using test::FakeServices;
using test::WString;

typedef std::tuple<std::string, std::string, int> Record;  // name, MAC, VLAN id

std::string Narrow(const WString& text) {
    return std::string(text.begin(), text.end());
}

std::vector<Record> RecordsOf(const CZelPointerArray<VirtualMachine*>& vms) {
    std::vector<Record> records;
    for (const VirtualMachine* vm : vms) {
        records.emplace_back(Narrow(vm->m_strSystemName), Narrow(vm->m_strMAC), vm->m_nVlanID);
    }
    return records;
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
}

// One machine per suite: the trace file stays where the suite opened it.
class VmDiscovery : public test::TraceTest {
protected:
    static void OpenMachine(const char* json) {
        s_machine = new test::TestMachine(json);
        TraceTest::SetUpTestSuite();
    }
    static void TearDownTestSuite() {
        delete s_machine;
        s_machine = NULL;
    }

    void SetUp() override {
        m_before = sim::LeakLedger::Get().Snapshot();
        TraceTest::SetUp();
    }
    void TearDown() override {
        m_vms.RemoveAll();
        m_services = ComRef<FakeServices>();
        test::ExpectLedgerUnchanged(m_before);
    }

    // Walks from `port`; the classes it asked for are kept. Only the association form is answered.
    bool Walk(const ComRef<FakeObject>& port, const FakeHyperV& topology) {
        m_services = FakeServices::Make();
        topology.AnswerTo(m_services.Get());
        m_monitor.Connect(m_services.Get());
        m_vms.RemoveAll();
        m_vms.push_back(new VirtualMachine);  // left from an earlier walk
        CZelString path(FakeHyperV::PathOf(port.Get()).c_str());
        bool bSuccess = m_monitor.PopulateVirtualMachines(path, &m_vms);
        m_monitor.Connect(NULL);
        m_classes.clear();
        for (const FakeServices::Call& call : m_services->Calls()) {
            EXPECT_EQ("ExecQuery", call.what);
            EXPECT_EQ(WString(TEXT("WQL")), call.language);
            EXPECT_EQ(0x30, call.flags);
            size_t close = call.text.find(TEXT("} WHERE  ResultClass="));
            m_classes.insert(close == WString::npos ? "?" : Narrow(call.text.substr(close + 21)));
        }
        return bSuccess;
    }

    static test::TestMachine* s_machine;
    test::OpenHyperVMonitor m_monitor;
    ComRef<FakeServices> m_services;
    CZelPointerArray<VirtualMachine*> m_vms;
    std::set<std::string> m_classes;
    sim::LedgerSnapshot m_before;
};

test::TestMachine* VmDiscovery::s_machine = NULL;

class VmDiscoveryVersion2 : public VmDiscovery {
protected:
    static void SetUpTestSuite() { OpenMachine(R"({"os": {"major": 10, "productType": 3}})"); }
};

class VmDiscoveryVersion1 : public VmDiscovery {
protected:
    static void SetUpTestSuite() {
        OpenMachine(R"({"os": {"major": 6, "minor": 1, "build": 7601, "productType": 3}})");
    }
};

TEST_F(VmDiscoveryVersion2, EveryVmOfTheSwitchWithItsOwnPortsVlan) {
    FakeHyperV topology(true);
    ComRef<FakeObject> port = topology.AddSwitch(TEXT("Microsoft:{A}"), TEXT("Team"));
    topology.AddVm(TEXT("VM One"), TEXT("00155D000001"), FakeHyperV::Number(10));
    topology.AddVm(TEXT("Host"), TEXT("00155D0000FF"), FakeHyperV::Number(5),
                   TEXT("MICROSOFT HOSTING computer system"));
    topology.AddVm(TEXT("VM Two"), TEXT("00155D000002"), FakeHyperV::NoVlan());
    topology.AddVm(TEXT("VM Three"), TEXT("00155D000003"), FakeHyperV::Null());
    topology.AddVm(TEXT("VM Four"), TEXT("00155D000004"), FakeHyperV::Text(TEXT("42")));

    EXPECT_TRUE(Walk(port, topology));
    // The other port's allocation (VLAN 999) is never followed; the host makes no record.
    EXPECT_EQ(std::vector<Record>(
                  {Record("VM One", "00155D000001", 10), Record("VM Two", "00155D000002", -1),
                   Record("VM Three", "00155D000003", 0), Record("VM Four", "00155D000004", 42)}),
              RecordsOf(m_vms));
    EXPECT_EQ(
        std::set<std::string>(
            {"Msvm_LANEndpoint", "MSVM_EthernetSwitchPort", "Msvm_VirtualEthernetSwitch",
             "Msvm_SyntheticEthernetPort", "Msvm_ComputerSystem",
             "MSVM_SyntheticEthernetPortSettingData", "MSVM_VirtualSystemSettingData",
             "MSVM_EthernetPortAllocationSettingData", "Msvm_EthernetSwitchPortVlanSettingData"}),
        m_classes);
    EXPECT_EQ(FakeHyperV::Associators(FakeHyperV::PathOf(port.Get()), TEXT("Msvm_LANEndpoint")),
              m_services->Queries().front());

    std::vector<std::string> lines = NewMessages(kWithoutScopes);
    EXPECT_EQ(5u, Count(lines, "Not a match ...."));
    EXPECT_EQ(1u, Count(lines, "Retrieved 10 for AccessVLAN"));
    EXPECT_EQ(0u, Count(lines, "Retrieved 999 for AccessVLAN"));
    EXPECT_EQ(1u, Count(lines, "Exiting HyperVMonitor::PopulateVirtualMachines() - bSuccess=1"));
}

TEST_F(VmDiscoveryVersion2, FailuresCutTheWalkShort) {
    FakeHyperV topology(true);
    ComRef<FakeObject> port = topology.AddSwitch(TEXT("Microsoft:{A}"), TEXT("Team"));
    topology.AddVm(TEXT("Alpha"), TEXT("00155D00000A"), FakeHyperV::Number(5));
    topology.AddVm(TEXT("Beta"), TEXT("00155D00000B"), FakeHyperV::LookupFails());
    topology.AddVm(TEXT("Gamma"), TEXT("00155D00000C"), FakeHyperV::Number(6))
        ->Fail(TEXT("ElementName"), WBEM_E_NOT_FOUND);
    topology.AddVm(TEXT("Delta"), TEXT("00155D00000D"), FakeHyperV::Number(7));

    // A failed VLAN walk only leaves -1; an unreadable name loses the VM and every port after.
    EXPECT_FALSE(Walk(port, topology));
    EXPECT_EQ(std::vector<Record>(
                  {Record("Alpha", "00155D00000A", 5), Record("Beta", "00155D00000B", -1)}),
              RecordsOf(m_vms));
    std::vector<std::string> lines = NewMessages(kWithoutScopes);
    EXPECT_EQ(2u, Count(lines, "Src\\HyperVMonitor (1199): ERROR:  Unable to retrieve property."));
    EXPECT_EQ(1u, Count(lines, "Exiting HyperVMonitor::PopulateVirtualMachines() - bSuccess=0"));

    // A step whose query fails is simply absent; without a connection nothing is asked.
    FakeHyperV failing(true);
    port = failing.AddSwitch(TEXT("Microsoft:{A}"), TEXT("Team"));
    failing.AddVm(TEXT("Alpha"), TEXT("00155D00000A"), FakeHyperV::Number(5));
    test::FakeAnswer invalid;
    invalid.hr = WBEM_E_INVALID_QUERY;
    failing.Override(
        FakeHyperV::Associators(FakeHyperV::PathOf(port.Get()), TEXT("Msvm_LANEndpoint")), invalid);
    MarkTrace();
    EXPECT_TRUE(Walk(port, failing));
    EXPECT_TRUE(m_vms.empty());
    EXPECT_EQ(1u, Count(NewMessages(kWithoutScopes), "ERROR:  Unable to execute query"));

    MarkTrace();
    CZelString path(TEXT("\\\\HOST\\root\\virtualization:Msvm_ExternalEthernetPort.Name=\"1\""));
    EXPECT_TRUE(m_monitor.PopulateVirtualMachines(path, &m_vms));
    EXPECT_EQ(std::vector<std::string>({"Entering HyperVMonitor::PopulateVirtualMachines()",
                                        "Entering HyperVMonitor::GetAssociators()",
                                        "ERROR:  The virtualization namespace is invalid!",
                                        "Exiting HyperVMonitor::GetAssociators(), Success=1",
                                        "Exiting HyperVMonitor::PopulateVirtualMachines() - "
                                        "bSuccess=1"}),
              NewMessages(kWithoutScopes));
}

TEST_F(VmDiscoveryVersion2, PropertyReadsAndTheirConversions) {
    ComRef<FakeObject> object = FakeObject::Make();
    WString longText(1100, TEXT('x'));
    object->SetString(TEXT("Text"), TEXT("Orvex"))
        .SetString(TEXT("Long"), longText.c_str())
        .SetString(TEXT("Decimal"), TEXT("42"))
        .SetString(TEXT("Word"), TEXT("abc"))
        .SetInt(TEXT("Small"), 4094)
        .SetInt(TEXT("Large"), 40000)
        .SetNull(TEXT("Null"))
        .Fail(TEXT("Broken"), WBEM_E_FAILED);

    struct {
        const WCHAR* name;
        bool bSuccess;
        int nValue;
    } ints[] = {
        {TEXT("Decimal"), true, 42},   {TEXT("Word"), true, 0}, {TEXT("Small"), true, 4094},
        {TEXT("Large"), true, -25536}, {TEXT("Null"), true, 0}, {TEXT("Broken"), false, 0},
        {TEXT("Missing"), false, 0},
    };
    for (const auto& c : ints) {
        SCOPED_TRACE(Narrow(c.name));
        int nValue = 77;
        EXPECT_EQ(c.bSuccess,
                  m_monitor.GetPropertyInt(object.Get(), SysAllocString(c.name), &nValue));
        EXPECT_EQ(c.nValue, nValue);
    }

    struct {
        const WCHAR* name;
        bool bSuccess;
        WString value;
    } strings[] = {
        {TEXT("Text"), true, TEXT("Orvex")},
        {TEXT("Null"), true, TEXT("before")},
        {TEXT("Broken"), false, TEXT("before")},
        {TEXT("Long"), true, WString()},
    };
    for (const auto& c : strings) {
        SCOPED_TRACE(Narrow(c.name));
        CZelString value(TEXT("before"));
        EXPECT_EQ(c.bSuccess,
                  m_monitor.GetPropertyString(object.Get(), SysAllocString(c.name), &value));
        EXPECT_EQ(c.value, WString(value.c_str()));
    }
    CZelString value(TEXT("before"));
    EXPECT_FALSE(m_monitor.GetPropertyString(NULL, SysAllocString(TEXT("Text")), &value));

    std::vector<std::string> lines = NewMessages(kWithoutScopes);
    EXPECT_EQ(2u, Count(lines, "Src\\HyperVMonitor (1257): ERR:  Unable to retrieve property."));
    EXPECT_EQ(1u, Count(lines, "Src\\HyperVMonitor (1199): ERROR:  Unable to retrieve property."));
    EXPECT_EQ(2u, Count(lines, "ERROR:  L_PROP_ELEMENT_NAME is empty or NULL"));
    EXPECT_EQ(1u, Count(lines, "INVALID pObj!"));
    EXPECT_EQ(1u, Count(lines,
                        "Src\\HyperVMonitor (1213): ZelSafeCopy ERROR: strDestination "
                        "size 0, or too small"));
}

TEST_F(VmDiscoveryVersion1, EveryVmWithTheVlanOfItsSwitchPort) {
    FakeHyperV topology(false);
    ComRef<FakeObject> port = topology.AddSwitch(TEXT("Microsoft:{A}"), TEXT("Team"));
    topology.AddVm(TEXT("Alpha"), TEXT("00155D00000A"), FakeHyperV::Number(3));
    topology.AddVm(TEXT("Host"), TEXT("00155D0000FF"), FakeHyperV::Number(4),
                   TEXT("Microsoft Hosting Computer System"));
    topology.AddVm(TEXT("Beta"), TEXT("00155D00000B"), FakeHyperV::NoVlan());
    topology.AddVm(TEXT("Gamma"), TEXT("00155D00000C"), FakeHyperV::Text(TEXT("7")));

    EXPECT_TRUE(Walk(port, topology));
    EXPECT_EQ(
        std::vector<Record>({Record("Alpha", "00155D00000A", 3), Record("Beta", "00155D00000B", -1),
                             Record("Gamma", "00155D00000C", 7)}),
        RecordsOf(m_vms));
    EXPECT_EQ(std::set<std::string>({"Msvm_SwitchLANEndpoint", "Msvm_SwitchPort",
                                     "Msvm_VirtualSwitch", "Msvm_VmLANEndpoint",
                                     "Msvm_SyntheticEthernetPort", "Msvm_ComputerSystem",
                                     "Msvm_VLANEndpoint", "Msvm_VLANEndpointSettingData"}),
              m_classes);
    std::vector<std::string> lines = NewMessages(kWithoutScopes);
    EXPECT_EQ(1u, Count(lines, "Retrieved 3 for VlanID"));
    // Beta's port, and the external port's own port of the switch.
    EXPECT_EQ(2u, Count(lines, "Retrieved -1 for VlanID"));

    // A VLAN walk that fails loses that port's VMs and those of the ports after it.
    FakeHyperV failing(false);
    port = failing.AddSwitch(TEXT("Microsoft:{A}"), TEXT("Team"));
    failing.AddVm(TEXT("Alpha"), TEXT("00155D00000A"), FakeHyperV::Number(3));
    failing.AddVm(TEXT("Beta"), TEXT("00155D00000B"), FakeHyperV::LookupFails());
    failing.AddVm(TEXT("Gamma"), TEXT("00155D00000C"), FakeHyperV::Number(5));
    EXPECT_FALSE(Walk(port, failing));
    EXPECT_EQ(std::vector<Record>({Record("Alpha", "00155D00000A", 3)}), RecordsOf(m_vms));
}

}  // namespace
