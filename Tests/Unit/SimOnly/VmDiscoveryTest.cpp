// VM discovery on a Hyper-V host of each model: both association chains with their exact
// queries, the VLAN walks, the host skipped, failures that cut the walk short, and the property
// reads with their conversions (their traces in VmDiscoveryTest.txt).
#include "Support/IdleHyperVMonitor.h"
#include "Support/MachineTest.h"
#include "Support/Narrow.h"
#include "Support/WmiValues.h"

#include <set>
#include <tuple>

namespace {

using test::Count;
using test::FakeServicesProxy;
using test::Narrow;
using test::WString;

// One team switch shared by the host, VM One (whose second adapter is on another switch, on
// VLAN 999), VM Two (no VLAN) and VM Three; the same host in either model.
const std::string kHyperV = R"("hyperv": {
  "switches": [{"name": "Team", "adapter": "{A0000000-0000-0000-0000-000000000000}",
                "managementOsMac": "00155D0000FF"}, {"name": "Lab"}],
  "vms": [
    {"name": "VM One", "adapters": [{"mac": "00155D000001", "switch": "Team", "vlan": 10},
                                    {"mac": "00155D000011", "switch": "Lab", "vlan": 999}]},
    {"name": "VM Two", "adapters": [{"mac": "00155D000002", "switch": "Team"}]},
    {"name": "VM Three", "adapters": [{"mac": "00155D000003", "switch": "Team", "vlan": 30}]}]})";

typedef std::tuple<std::string, std::string, int> Record;  // name, MAC, VLAN id
typedef std::vector<Record> Records;
const Record kOne("VM One", "00155D000001", 10), kTwo("VM Two", "00155D000002", -1),
    kThree("VM Three", "00155D000003", 30);

class VmDiscovery : public test::MachineTest {
protected:
    static void OpenHost(const char* os) {
        OpenMachine(std::string("{\"os\": ") + os + ", " + kHyperV + "}");
    }
    void TearDown() override {
        m_vms.RemoveAll();
        m_monitor.Connect(NULL);
        MachineTest::TearDown();
    }

    // Walks from the team's external port (the connection carrying its blanket) through a proxy
    // that keeps the queries; the classes they asked for are kept.
    bool Walk() {
        EXPECT_TRUE(m_monitor.InitializeWMI());
        EXPECT_EQ(test::CallLevelBlanket(), test::BlanketOf(m_monitor.Services()));
        m_port = PortPath();
        CZelString path(m_port.c_str());
        sim::ComHold<FakeServicesProxy> proxy = FakeServicesProxy::Make(m_monitor.Services());
        m_monitor.Connect(proxy.Get());
        m_vms.RemoveAll();
        m_vms.push_back(new VirtualMachine);  // left from an earlier walk
        bool bSuccess = m_monitor.PopulateVirtualMachines(path, &m_vms);
        m_monitor.Connect(NULL);
        m_queries = proxy.Get()->Queries();
        m_classes.clear();
        for (const FakeServicesProxy::Query& query : m_queries) {
            EXPECT_EQ(WString(TEXT("WQL")), query.language);
            EXPECT_EQ(0x30, query.flags);
            size_t close = query.text.find(TEXT("} WHERE  ResultClass="));
            m_classes.insert(close == WString::npos ? "?" : Narrow(query.text.substr(close + 21)));
        }
        return bSuccess;
    }
    // The only external port's path, as WMI gives it.
    WString PortPath() {
        CZelComPtr<IEnumWbemClassObject> pEnum;
        CZelComPtr<IWbemClassObject> pPort;
        ULONG uReturned = 0;
        CZelBstr query(TEXT("SELECT * FROM Msvm_ExternalEthernetPort"));
        m_monitor.Services()->ExecQuery(CZelBstr(TEXT("WQL")).Get(), query.Get(), 0, NULL,
                                        pEnum.Receive());
        if (pEnum.Get() == NULL ||
            pEnum->Next(WBEM_INFINITE, 1, pPort.Receive(), &uReturned) != S_OK) {
            ADD_FAILURE() << "no external port";
            return WString();
        }
        CZelString path;
        m_monitor.GetPropertyString(pPort.Get(), TEXT("__PATH"), &path);
        return WString(path.c_str());
    }
    Records RecordsOf() const {
        Records records;
        for (const VirtualMachine* vm : m_vms) {
            records.emplace_back(Narrow(vm->m_strSystemName), Narrow(vm->m_strMAC), vm->m_nVlanID);
        }
        return records;
    }

    test::OpenHyperVMonitor m_monitor;
    CZelPointerArray<VirtualMachine*> m_vms;
    WString m_port;
    std::vector<FakeServicesProxy::Query> m_queries;
    std::set<std::string> m_classes;
};

class VmDiscoveryVersion2 : public VmDiscovery {
protected:
    static void SetUpTestSuite() { OpenHost(R"({"major": 10, "productType": 3})"); }
};

class VmDiscoveryVersion1 : public VmDiscovery {
protected:
    static void SetUpTestSuite() {
        OpenHost(R"({"major": 6, "minor": 1, "build": 7601, "productType": 3})");
    }
};

TEST_F(VmDiscoveryVersion2, EveryVmOfTheSwitchWithItsOwnPortsVlan) {
    EXPECT_TRUE(Walk());
    // VM One's other allocation (VLAN 999) is never followed; the host makes no record.
    EXPECT_EQ(Records({kOne, kTwo, kThree}), RecordsOf());
    EXPECT_EQ(
        std::set<std::string>(
            {"Msvm_LANEndpoint", "MSVM_EthernetSwitchPort", "Msvm_VirtualEthernetSwitch",
             "Msvm_SyntheticEthernetPort", "Msvm_ComputerSystem",
             "MSVM_SyntheticEthernetPortSettingData", "MSVM_VirtualSystemSettingData",
             "MSVM_EthernetPortAllocationSettingData", "Msvm_EthernetSwitchPortVlanSettingData"}),
        m_classes);
    EXPECT_EQ(TEXT("ASSOCIATORS OF {") + m_port + TEXT("} WHERE  ResultClass=Msvm_LANEndpoint"),
              m_queries.front().text);

    std::vector<std::string> lines = NewMessages(kWithoutScopes);
    EXPECT_EQ(1u, Count(lines, "Not a match ...."));
    EXPECT_EQ(1u, Count(lines, "Retrieved 10 for AccessVLAN"));
}

// Process-wide security can be set once: the fixture's monitor did. A monitor whose COM cannot
// be initialised is built all the same.
TEST_F(VmDiscoveryVersion2, ALaterMonitorTracesSecuritySetAlreadyOrNoCom) {
    MarkTrace();
    { test::IdleHyperVMonitor second; }
    sim::Machine::Get().Faults().Add("CoInitializeEx", static_cast<DWORD>(E_OUTOFMEMORY), 1);
    { test::IdleHyperVMonitor third; }
    std::vector<std::string> lines = NewMessages(kWithoutScopes);
    EXPECT_EQ(1u, Count(lines, "ERROR:  Unable to initialize security"));
    EXPECT_EQ(1u, Count(lines, "ERROR:  Unable to initialize COM!"));
}

TEST_F(VmDiscoveryVersion2, FailuresCutTheWalkShort) {
    const HRESULT kProvider = WBEM_E_FAILED, kNoMemory = WBEM_E_OUT_OF_MEMORY;
    struct {
        const char* fault;
        HRESULT error;
        unsigned call;
        bool bSuccess;
        Records records;
        const char* line;  // traced once; null: no error line
    } cases[] = {
        // An unreadable name loses the VM and every port after it.
        {"IWbemClassObject::Get:ElementName", kProvider, 2, false, Records{kOne},
         "Src\\HyperVMonitor (1199): ERROR:  Unable to retrieve property."},
        // A failed VLAN walk only leaves -1. A query that cannot start fails at ExecQuery; the
        // provider's own failure comes through Next, which the walk takes for an empty answer.
        {"IWbemServices::ExecQuery:Msvm_VirtualSystemSettingData", kNoMemory, 1, true,
         Records{Record("VM One", "00155D000001", -1), kTwo, kThree},
         "ERROR:  Unable to execute query"},
        {"IWbemServices::ExecQuery:Msvm_VirtualSystemSettingData", kProvider, 1, true,
         Records{Record("VM One", "00155D000001", -1), kTwo, kThree}, nullptr},
        // A step whose query fails is simply absent.
        {"IWbemServices::ExecQuery:Msvm_LANEndpoint", kNoMemory, 1, true, Records{},
         "ERROR:  Unable to execute query"},
        {"IWbemServices::ExecQuery:Msvm_LANEndpoint", kProvider, 1, true, Records{}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        SCOPED_TRACE(c.error);
        MarkTrace();
        sim::Machine::Get().Faults().Add(c.fault, static_cast<DWORD>(c.error), c.call);
        EXPECT_EQ(c.bSuccess, Walk());
        sim::Machine::Get().Faults().Clear();
        EXPECT_EQ(c.records, RecordsOf());
        std::vector<std::string> lines = NewMessages(kWithoutScopes);
        EXPECT_EQ(c.line != nullptr ? 1u : 0u,
                  Count(lines, c.line != nullptr ? c.line : "ERROR:  Unable to execute query"));
    }

    // Without a connection nothing is asked.
    MarkTrace();
    m_monitor.Connect(NULL);
    CZelString path(TEXT("\\\\HOST\\root\\virtualization:Msvm_ExternalEthernetPort.Name=\"1\""));
    EXPECT_TRUE(m_monitor.PopulateVirtualMachines(path, &m_vms));
    EXPECT_EQ(test::Expected(__FILE__, "no connection"), NewMessages(kWithoutScopes));
    // Nor by an update pass, which completes a first pass all the same.
    EXPECT_FALSE(m_monitor.CheckForTeamUpdates());
    EXPECT_TRUE(m_monitor.TeamsInitialized());
}

TEST_F(VmDiscoveryVersion2, PropertyReadsAndTheirConversions) {
    // Values no provider gives for these properties: a number as text, a null, a 32-bit value.
    sim::ComHold<sim::WbemValueObject> held(new sim::WbemValueObject(u"Msvm_Test"));
    sim::WbemValueObject* object = held.Get();
    WString longText(1100, TEXT('x'));
    using test::Value;
    object->Put(u"Text", Value(VT_BSTR, 0, TEXT("Orvex")), CIM_STRING);
    object->Put(u"Long", Value(VT_BSTR, 0, longText.c_str()), CIM_STRING);
    object->Put(u"Decimal", Value(VT_BSTR, 0, TEXT("42")), CIM_STRING);
    object->Put(u"Word", Value(VT_BSTR, 0, TEXT("abc")), CIM_STRING);
    object->Put(u"Small", Value(VT_I4, 4094), CIM_SINT32);
    object->Put(u"Large", Value(VT_I4, 40000), CIM_SINT32);
    object->Put(u"Null", Value(VT_NULL), CIM_SINT32);
    object->Put(u"Broken", Value(VT_I4, 1), CIM_SINT32);
    sim::Machine::Get().Faults().Add("IWbemClassObject::Get:Broken", WBEM_E_FAILED);

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
        EXPECT_EQ(c.bSuccess, m_monitor.GetPropertyInt(object, c.name, &nValue));
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
        EXPECT_EQ(c.bSuccess, m_monitor.GetPropertyString(object, c.name, &value));
        EXPECT_EQ(c.value, WString(value.c_str()));
    }
    CZelString value(TEXT("before"));
    EXPECT_FALSE(m_monitor.GetPropertyString(NULL, TEXT("Text"), &value));

    EXPECT_EQ(test::Expected(__FILE__, "property reads"), NewMessages(kWithoutScopes));
}

TEST_F(VmDiscoveryVersion1, EveryVmWithTheVlanOfItsSwitchPort) {
    EXPECT_TRUE(Walk());
    EXPECT_EQ(Records({kOne, kTwo, kThree}), RecordsOf());
    EXPECT_EQ(std::set<std::string>({"Msvm_SwitchLANEndpoint", "Msvm_SwitchPort",
                                     "Msvm_VirtualSwitch", "Msvm_VmLANEndpoint",
                                     "Msvm_SyntheticEthernetPort", "Msvm_ComputerSystem",
                                     "Msvm_VLANEndpoint", "Msvm_VLANEndpointSettingData"}),
              m_classes);
    std::vector<std::string> lines = NewMessages(kWithoutScopes);
    EXPECT_EQ(1u, Count(lines, "Retrieved 10 for VlanID"));
    // VM Two's port, the host's and the external port's own port of the switch.
    EXPECT_EQ(3u, Count(lines, "Retrieved -1 for VlanID"));

    // A VLAN walk that fails (its first step cannot read the path of VM Two's VLAN endpoint, the
    // 15th path read of a walk) loses that port's VMs and those of the ports after it.
    sim::Machine::Get().Faults().Add("IWbemClassObject::Get:__PATH",
                                     static_cast<DWORD>(WBEM_E_FAILED), 15);
    MarkTrace();
    EXPECT_FALSE(Walk());
    EXPECT_EQ(1u, Count(NewMessages(kWithoutScopes),
                        "Exiting HyperVMonitor::GetVlanID(), Success=0, nVlanID=-1"));
    EXPECT_EQ(Records({kOne}), RecordsOf());
}

}  // namespace
