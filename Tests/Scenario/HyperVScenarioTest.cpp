// The service's main job on a Hyper-V host, in both WMI models: the real executable, started by
// tarvik-sim, keeps the teaming driver told while tarvik-sim changes the topology under it. (What
// a pass traces of each change, TeamDiscovery's unit test pins.)
#include "ServiceMachine.h"

#include <algorithm>
#include <string>
#include <vector>

using test::ServiceMachine;

namespace {

// Each subscription traces its model's event query first (version 2's is pinned by the monitor's
// unit test).
const char kEventQueryV1[] =
    "SELECT * FROM __InstanceOperationEvent WITHIN 10 WHERE (TargetInstance ISA "
    "'Msvm_ExternalEthernetPort') OR (TargetInstance ISA 'Msvm_VmLANEndpoint') OR "
    "(TargetInstance ISA 'Msvm_SyntheticEthernetPort') OR (TargetInstance ISA "
    "'Msvm_ComputerSystem') OR (TargetInstance ISA 'Msvm_VLANEndpointSettingData')";
const char kPassEnd[] = "Exiting HyperVMonitor::CheckForTeamUpdates(), bSuccess=1";

// One team on an external switch shared with the host, with two VMs (one on a VLAN), and an
// internal switch.
const char kTopology[] = R"("hyperv": {
        "switches": [{"name": "External", "adapter": "{7D2E4B60-1A3C-4F8E-B002-00000000AAAA}",
                      "managementOsMac": "00155D0A0001"},
                     {"name": "Internal"}],
        "vms": [{"name": "web-01",
                 "adapters": [{"mac": "00155D0A0101", "switch": "External", "vlan": 10}]},
                {"name": "web-02", "adapters": [{"mac": "00155D0A0102", "switch": "External"}]}]})";

class HyperVScenario : public ::testing::TestWithParam<bool> {
protected:
    HyperVScenario()
        : m_machine(std::string(GetParam() ? R"("os": {"major": 10, "minor": 0}, )"
                                           : R"("os": {"major": 6, "minor": 1}, )") +
                        test::kOneTeam + kTopology,
                    test::kVmmsRegistry) {}

    size_t Count(const std::string& message, bool prefix = false) const {
        size_t n = 0;
        for (const std::string& line : m_machine.Trace()) {
            n += prefix ? line.rfind(message, 0) == 0 : line == message;
        }
        return n;
    }

    bool WaitForCount(const std::string& message, size_t n, bool prefix = false) const {
        return test::WaitUntil([&] { return Count(message, prefix) >= n; });
    }

    // The interface lists the driver was told, each as "MAC/VLAN ..." ("-" for no VLAN).
    std::vector<std::string> Lists() const {
        std::vector<std::string> lists;
        for (const sim::Json& record : m_machine.Records("driver-requests.jsonl")) {
            const sim::Json* list = record.Find("list");
            if (list == nullptr || list->IsNull()) {
                continue;
            }
            EXPECT_EQ(test::Field(record, "adapter").String(), test::kTeamA);
            std::string text;
            for (const sim::Json& entry : test::Field(*list, "entries").Items()) {
                int vlan = static_cast<int>(test::Field(entry, "vlanId").Number());
                text +=
                    (text.empty() ? "" : " ") + test::Field(entry, "mac").String() + "/" +
                    (test::Field(entry, "vlanValid").Number() != 0 ? std::to_string(vlan) : "-");
            }
            lists.push_back(text.empty() ? "(empty)" : text);
        }
        return lists;
    }

    // Makes a change once the service watches again, and waits for the pass it causes; the lists
    // the driver was told by that pass.
    std::vector<std::string> Change(const std::string& command) {
        size_t passes = Count(kPassEnd);
        EXPECT_TRUE(WaitForCount(m_eventQuery, passes, true)) << "no subscription";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // ExecNotificationQuery
        size_t before = Lists().size();
        EXPECT_EQ(m_machine.Sim(command), 0) << command;
        EXPECT_TRUE(WaitForCount(kPassEnd, passes + 1)) << "no pass after " << command;
        std::vector<std::string> lists = Lists();
        lists.erase(lists.begin(),
                    lists.begin() + static_cast<long>(std::min(before, lists.size())));
        return lists;
    }

    using Lines = std::vector<std::string>;
    ServiceMachine m_machine;
    // Matched as a prefix of the traced line.
    const std::string m_eventQuery =
        GetParam() ? "SELECT * FROM __InstanceOperationEvent WITHIN 10 WHERE (" : kEventQueryV1;
};

TEST_P(HyperVScenario, KeepsTheDriverToldWhileTheTopologyChanges) {
    ASSERT_TRUE(m_machine.InstallAndStart());
    ASSERT_TRUE(WaitForCount(kPassEnd, 1));
    EXPECT_EQ(Lists(), Lines({"00155D0A0101/10 00155D0A0102/-"}));

    // A VM on another switch changes nothing the driver holds.
    EXPECT_EQ(Change("add-vm lab-01 --mac 00155D0C0101 --switch Internal"), Lines());
    EXPECT_EQ(Change("set-vlan web-02 A1 20"), Lines({"00155D0A0101/10 00155D0A0102/20"}));
    EXPECT_EQ(Change("add-vm web-03 --mac 00155D0A0103 --switch External"),
              Lines({"00155D0A0101/10 00155D0A0102/20 00155D0A0103/-"}));
    EXPECT_EQ(Change("remove-vm web-01"), Lines({"00155D0A0102/20 00155D0A0103/-"}));
    EXPECT_EQ(Change("set-mac web-03 A1 00155D0A01FF"), Lines({"00155D0A0102/20 00155D0A01FF/-"}));

    // Turned off or saved, a VM's interfaces leave the list; started, they return; paused, they
    // stay. A change a VM's state does not allow is refused and changes nothing.
    EXPECT_EQ(Change("stop-vm web-02"), Lines({"00155D0A01FF/-"}));
    EXPECT_EQ(Change("start-vm web-02"), Lines({"00155D0A0102/20 00155D0A01FF/-"}));
    EXPECT_EQ(Change("pause-vm web-03"), Lines());
    EXPECT_EQ(Change("save-vm web-03"), Lines({"00155D0A0102/20"}));
    EXPECT_EQ(m_machine.Sim("resume-vm web-02"), 1);
    EXPECT_EQ(Change("start-vm web-03"), Lines({"00155D0A0102/20 00155D0A01FF/-"}));

    // WMI stops: the broken subscription is left, and the next connection starts WMI again, as
    // the service control manager starts it on demand. Disabled, it stays away until enabled.
    size_t subscriptions = Count(m_eventQuery, true);
    ASSERT_EQ(m_machine.Sim("wmi stop"), 0);
    ASSERT_TRUE(WaitForCount(m_eventQuery, subscriptions + 1, true));
    auto winmgmtStart = [](DWORD start) {
        ASSERT_EQ(test::SetDword(TEXT("SYSTEM\\CurrentControlSet\\Services\\Winmgmt"),
                                 TEXT("Start"), start),
                  ERROR_SUCCESS);
    };
    winmgmtStart(SERVICE_DISABLED);
    ASSERT_EQ(m_machine.Sim("wmi stop"), 0);
    ASSERT_TRUE(WaitForCount("ERROR:  Unable to connect the WMI namespace", 1));
    winmgmtStart(SERVICE_AUTO_START);
    ASSERT_TRUE(WaitForCount(m_eventQuery, subscriptions + 2, true));
    EXPECT_EQ(Change("clear-vlan web-02 A1"), Lines({"00155D0A0102/- 00155D0A01FF/-"}));

    // An unbound team is told once, with no VMs, and then forgotten.
    EXPECT_EQ(Change("unbind-team " + std::string(test::kTeamA)), Lines({"(empty)"}));
    EXPECT_EQ(Change("set-vlan web-02 A1 30"), Lines());

    // A stop during the event wait ends the service (within the wait's slice:
    // HyperVMonitorLoop.ABurstOfEventsGivesOnePassAndAStopWaitsForTheSlice).
    ASSERT_EQ(m_machine.Sim("stop"), 0);
    EXPECT_EQ(m_machine.Reports().back().state, SERVICE_STOPPED);

    // The worker held nothing at the end: the machine's destructor reads the leak ledger.
    EXPECT_EQ(m_machine.Records("com-ledger.jsonl").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Models, HyperVScenario, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Version2" : "Version1";
                         });

}  // namespace
