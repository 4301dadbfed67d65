// Team discovery on a built machine (network devices, the teaming protocol's configuration, the
// teaming driver, the Hyper-V host): which adapters count as teams, and what an update pass
// reports to the driver as teams appear, change and vanish (traces: TeamDiscoveryTest.txt).
#include "Support/FailingAllocation.h"
#include "Support/IdleHyperVMonitor.h"
#include "Support/MachineTest.h"
#include "Support/Narrow.h"
#include "Support/TraceFiles.h"

#include "Machine/HyperV/HyperVChanges.h"
#include "Machine/HyperV/HyperVTopology.h"
#include "Machine/Wmi/Wmi.h"

#include <algorithm>
#include <functional>

namespace {

using test::Count;
using test::FakeServicesProxy;
using test::Narrow;
using test::WString;

// A: a team's virtual adapter (member B). C: a team's adapter of another maker's text (member
// D, whose maker text is in capitals). E: an adapter of ours in no team. A's switch has two VMs;
// C's port and that of an adapter that is no network device here are bound too.
const char kMachine[] = R"({
  "adapters": [
    {"guid": "{A0000000-0000-0000-0000-000000000000}", "name": "Team A", "instanceId": "ROOT\\NET\\0000"},
    {"guid": "{B0000000-0000-0000-0000-000000000000}", "name": "Member B", "instanceId": "PCI\\VEN_8086\\1"},
    {"guid": "{C0000000-0000-0000-0000-000000000000}", "name": "Team C", "mfg": "Orvex Inc", "instanceId": "ROOT\\NET\\0001"},
    {"guid": "{D0000000-0000-0000-0000-000000000000}", "name": "Member D", "mfg": "ORVEX", "instanceId": "PCI\\VEN_8086\\2"},
    {"guid": "{E0000000-0000-0000-0000-000000000000}", "name": "Loose E", "instanceId": "PCI\\VEN_8086\\3"}],
  "teams": [
    {"adapter": "{A0000000-0000-0000-0000-000000000000}", "members": ["{B0000000-0000-0000-0000-000000000000}"]},
    {"adapter": "{C0000000-0000-0000-0000-000000000000}", "members": ["{D0000000-0000-0000-0000-000000000000}"]}],
  "hyperv": {
    "switches": [{"name": "Team A switch", "adapter": "{A0000000-0000-0000-0000-000000000000}"},
                 {"name": "Team C switch", "adapter": "{C0000000-0000-0000-0000-000000000000}"},
                 {"name": "Gone", "adapter": "{F0000000-0000-0000-0000-000000000000}"}],
    "vms": [{"name": "VM One", "adapters": [{"mac": "00155D000001", "switch": "Team A switch", "vlan": 10}]},
            {"name": "VM Two", "adapters": [{"mac": "00155D000002", "switch": "Team A switch"}]}]}})";

const WCHAR kPortQuery[] =
    TEXT("SELECT * FROM Msvm_ExternalEthernetPort WHERE  IsBound=true AND LinkTechnology=2");
const char kTeamA[] = "ROOT#NET#0000#{AD498944-762F-11D0-8DCB-00C04FC3358C}";
const WCHAR kGuidA[] = TEXT("{A0000000-0000-0000-0000-000000000000}");

// A change of the host's topology, made when called.
std::function<void()> Change(std::string (*change)(sim::HyperVTopology&)) {
    return [change] { ASSERT_EQ("", sim::Machine::Get().Wmi().Change(change)); };
}

class TeamDiscovery : public test::MachineTest {
protected:
    static void SetUpTestSuite() { OpenMachine(kMachine); }
    void TearDown() override {
        m_monitor.Connect(NULL);
        m_proxy = sim::ComHold<FakeServicesProxy>();
        MachineTest::TearDown();
    }

    // One pass on the host's namespace, through a proxy that keeps the queries. The driver's
    // lists and the trace the pass left are kept.
    bool Pass() {
        if (m_proxy.Get() == nullptr) {
            EXPECT_TRUE(m_monitor.InitializeWMI());
            m_proxy = FakeServicesProxy::Make(m_monitor.Services());
            m_monitor.Connect(m_proxy.Get());
        }
        MarkTrace();
        size_t start = sim::Machine::Get().Records("driver-requests.jsonl").size();
        bool bSuccess = m_monitor.CheckForTeamUpdates();
        m_lines = NewMessages(kWithoutScopes | kWithoutRegistry);
        m_lists.clear();
        for (const sim::Json& record : test::Records("driver-requests.jsonl", start)) {
            if (record.Find("list") != nullptr) {
                m_lists.push_back(test::Fields(record, {"list.count", "list.entries.0.vlanId"}));
            }
        }
        return bSuccess;
    }

    test::OpenHyperVMonitor m_monitor;
    sim::ComHold<FakeServicesProxy> m_proxy;
    std::vector<std::string> m_lines;
    // Each list the pass sent: "VM count|first VLAN id" (65535: none).
    std::vector<std::string> m_lists;
};

TEST_F(TeamDiscovery, WhichAdaptersAreTeams) {
    // Each decision with its trace, by the GUID and the fault.
    struct {
        const WCHAR* guid;
        bool bTeam;
        const char* name;             // what the argument becomes; null: as it was
        const char* fault = nullptr;  // fails its first call with ERROR_ACCESS_DENIED
    } cases[] = {
        {kGuidA, true, kTeamA},
        {TEXT("{D0000000-0000-0000-0000-000000000000}"), true,
         "PCI#VEN_8086#2#{AD498944-762F-11D0-8DCB-00C04FC3358C}"},
        {TEXT("{C0000000-0000-0000-0000-000000000000}"), false, nullptr},  // another maker's
        {TEXT("{E0000000-0000-0000-0000-000000000000}"), false, nullptr},  // in no team
        {TEXT("{F0000000-0000-0000-0000-000000000000}"), false, nullptr},  // no such device
        // The device matches in any case, but the binding list names it only as written.
        {TEXT("{a0000000-0000-0000-0000-000000000000}"), false, nullptr},
        // Team A again, with one device call failing.
        {kGuidA, false, nullptr, "SetupDiGetClassDevsW"},
        {kGuidA, true, kTeamA, "SetupDiOpenDevRegKey"},
        {kGuidA, true, "#{AD498944-762F-11D0-8DCB-00C04FC3358C}", "SetupDiGetDeviceInstanceIdW"},
        {kGuidA, false, nullptr, "SetupDiGetDeviceRegistryPropertyW"},
        {kGuidA, true, kTeamA, "SetupDiDestroyDeviceInfoList"},
    };
    for (const auto& c : cases) {
        const std::string name = Narrow(c.guid) + (c.fault ? std::string(" ") + c.fault : "");
        SCOPED_TRACE(name);
        if (c.fault != nullptr) {
            sim::Machine::Get().Faults().Add(c.fault, ERROR_ACCESS_DENIED, 1);
        }
        MarkTrace();
        CZelString guid(c.guid);
        EXPECT_EQ(c.bTeam, m_monitor.IsOrvexTeam(guid));
        EXPECT_EQ(c.name != nullptr ? c.name : Narrow(c.guid), Narrow(guid));
        EXPECT_EQ(test::Expected(__FILE__, name), NewMessages(kWithoutScopes | kWithoutRegistry));
    }

    // A binding list of our own: the GUID alone matches in any case, inside an entry only as
    // written. The member's own key is found in any case.
    const WCHAR kList[] = TEXT("\\DEVICE\\{1abc0000-0000}\0{ABCDEF00-0000}\0");
    test::SetRaw(TEXT("SYSTEM\\CurrentControlSet\\Services\\oBRXProtocol\\Parameters\\Adapters\\"
                      "{90000000-0000-0000-0000-000000000000}"),
                 TEXT("MiniportBindingList"), REG_MULTI_SZ, kList, sizeof kList);
    struct {
        const WCHAR* guid;
        bool bInstance;
    } bindings[] = {
        {TEXT("{1abc0000-0000}"), true},  {TEXT("{1ABC0000-0000}"), false},
        {TEXT("{abcdef00-0000}"), true},  {TEXT("{ABCDEF00-0000}"), true},
        {TEXT("{22220000-0000}"), false},
    };
    for (const auto& c : bindings) {
        SCOPED_TRACE(Narrow(c.guid));
        EXPECT_EQ(c.bInstance, m_monitor.IsTeamInstance(c.guid));
    }
    EXPECT_TRUE(m_monitor.IsBoundToTeam(TEXT("{b0000000-0000-0000-0000-000000000000}")));
    EXPECT_FALSE(m_monitor.IsBoundToTeam(TEXT("{A0000000-0000-0000-0000-000000000000}")));
}

TEST_F(TeamDiscovery, ReportsTeamsAsTheyAppearChangeAndVanish) {
    const std::string team = std::string("GUID=") + kTeamA + ", Name=Team A";
    const std::string added = "Adapter is newly bound " + team;
    const std::string changed = "Current and previous settings do not match for " + team;
    const std::string removed = "Adapter is no longer bound - " + team;

    // The first report fails: the team is not remembered and is added again next time.
    sim::Machine::Get().Faults().Add("CreateFileW", ERROR_FILE_NOT_FOUND, 1);
    EXPECT_TRUE(Pass());
    EXPECT_EQ(1u, Count(m_lines, added));
    // What the pass found and what it had before, as it dumps them.
    const std::vector<std::string> dumped =
        test::Expected(__FILE__, "the teams dumped by the first pass");
    EXPECT_NE(m_lines.end(),
              std::search(m_lines.begin(), m_lines.end(), dumped.begin(), dumped.end()));
    EXPECT_FALSE(m_monitor.TeamsInitialized());
    EXPECT_TRUE(m_monitor.PreviousTeams().empty());
    std::vector<FakeServicesProxy::Query> queries = m_proxy.Get()->Queries();
    ASSERT_FALSE(queries.empty());
    EXPECT_EQ(WString(kPortQuery), queries[0].text);

    // What a pass traced of the team, then its counts: nothing, or one of these.
    enum Traced { kNothing, kAdded, kRemoved, kChanged };
    const std::vector<std::string> lines[] = {
        {},
        {added, "Detected the following changes:  Added:1, Removed:0, Changed:0"},
        {removed, "Detected the following changes:  Added:0, Removed:1, Changed:0"},
        {changed, "Detected the following changes:  Added:0, Removed:0, Changed:1"},
    };
    const auto moveVm =
        Change([](sim::HyperVTopology& t) { return sim::SetVlan(t, u"VM One", u"A1", 11); });
    const auto moveVm12 =
        Change([](sim::HyperVTopology& t) { return sim::SetVlan(t, u"VM One", u"A1", 12); });
    const auto lowerIdentity = [this] {
        ASSERT_EQ(1u, m_monitor.PreviousTeams().size());
        m_monitor.PreviousTeams()[0]->m_strGUID.MakeLower();
    };
    const auto unbind = Change(
        [](sim::HyperVTopology& t) { return sim::SetSwitchBound(t, u"Team A switch", false); });
    const auto bind = Change(
        [](sim::HyperVTopology& t) { return sim::SetSwitchBound(t, u"Team A switch", true); });
    const char* const kPortQueryFails = "IWbemServices::ExecQuery:Msvm_ExternalEthernetPort";
    const char* const kNoDeviceId = "IWbemClassObject::Get:DeviceID";
    const char* const kNoSystem = "IWbemServices::ExecQuery:Msvm_ComputerSystem";
    struct {
        const char* what;
        std::function<void()> arrange;  // null: nothing
        const char* fault;              // for this pass; null: none
        bool bSuccess;
        Traced traced;
        const char* list;  // the one list sent (see m_lists); null: none
        size_t previous;   // teams remembered after the pass
        HRESULT error = WBEM_E_INVALID_CLASS;
    } steps[] = {
        {"the report is made", nullptr, nullptr, true, kAdded, "2|10", 1},
        {"nothing changed", nullptr, nullptr, true, kNothing, nullptr, 1},
        // A port that cannot be read is skipped; a VM walk that fails keeps the VMs it found.
        {"the port's DeviceID is unreadable", nullptr, kNoDeviceId, true, kRemoved, "0|(none)", 0},
        {"readable again", nullptr, nullptr, true, kAdded, "2|10", 1},
        {"a VM's system cannot be had", nullptr, kNoSystem, true, kChanged, "1|65535", 1},
        {"found again", nullptr, nullptr, true, kChanged, "2|10", 1},
        {"a VM moved to VLAN 11", moveVm, nullptr, true, kChanged, "2|11", 1},
        {"identity in other case", lowerIdentity, nullptr, true, kChanged, "2|11", 1},
        // A refused report of a change or a removal is not made again.
        {"VLAN 12, its report fails", moveVm12, "CreateFileW", true, kChanged, nullptr, 1},
        {"unbound, its report fails", unbind, "CreateFileW", true, kRemoved, nullptr, 0},
        {"still unbound", nullptr, nullptr, true, kNothing, nullptr, 0},
        // Once initialised, an added team is remembered even when its report failed.
        {"bound again, its report fails", bind, "CreateFileW", true, kAdded, nullptr, 1},
        {"the failed report is not made again", nullptr, nullptr, true, kNothing, nullptr, 1},
        // A failed query after a team was known: the team is reported as gone. The provider's
        // failure reaches the pass through Next, as an empty answer; a query that cannot start
        // fails the pass with its error line.
        {"the provider fails the query", nullptr, kPortQueryFails, true, kRemoved, "0|(none)", 0},
        {"the port query works again", nullptr, nullptr, true, kAdded, "2|12", 1},
        {"the port query cannot start", nullptr, kPortQueryFails, false, kRemoved, "0|(none)", 0,
         WBEM_E_OUT_OF_MEMORY},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.arrange) {
            step.arrange();
        }
        if (step.fault != nullptr) {
            sim::Machine::Get().Faults().Add(step.fault, static_cast<DWORD>(step.error), 1);
        }
        EXPECT_EQ(step.bSuccess, Pass());
        std::vector<std::string> traced;
        for (const std::string& line : m_lines) {
            if (line == added || line == removed || line == changed ||
                line.rfind("Detected the following changes:  ", 0) == 0) {
                traced.push_back(line);
            }
        }
        EXPECT_EQ(lines[step.traced], traced);
        EXPECT_EQ(step.list ? std::vector<std::string>{step.list} : std::vector<std::string>(),
                  m_lists);
        EXPECT_EQ(step.previous, m_monitor.PreviousTeams().size());
        EXPECT_TRUE(m_monitor.TeamsInitialized());
    }
    EXPECT_EQ(1u, Count(m_lines, "ERROR:  Unable to execute query"));
}

// Each allocation of a pass failing in turn, the machine's WMI too: the pass ends, abandoned with
// its line where it ran out of memory, and nothing leaks (the fixture's ledger).
TEST_F(TeamDiscovery, AnAllocationThatFailsAbandonsThePass) {
    EXPECT_TRUE(Pass());
    MarkTrace();
    std::vector<long> results =
        test::OutcomesWithEachAllocationFailing([&] { return m_monitor.RunUpdatePass() ? 1 : 0; });
    EXPECT_EQ(1, results.back());
    EXPECT_EQ(0, std::count(results.begin(), results.end(), test::kThrewBadAlloc));
    EXPECT_LE(1u, Count(NewMessages(kWithoutScopes),
                        "ERROR:  Out of memory - the update pass was abandoned"));
}

}  // namespace
