// The Hyper-V monitor's worker on the virtual clock, on a Windows 10 Hyper-V host: when it gives
// up, its event subscription, how fast a stop is seen, one update pass per burst of events, and
// the pauses that keep a failing namespace from spinning. Traces: HyperVMonitorLoopTest.txt.
#include "HyperVMonitor.h"

#include "Machine/HyperV/HyperVChanges.h"
#include "Machine/HyperV/HyperVTopology.h"
#include "Machine/Wmi/Wmi.h"
#include "Support/MachineTest.h"
#include "Support/TraceFiles.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using test::Count;
using test::WString;

const char kRegistry[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\vmms]
"Type"=dword:00000010
"Start"=dword:00000002
"ErrorControl"=dword:00000001
"ImagePath"="C:\\Windows\\system32\\vmms.exe"
)";

// A Windows 10 host on the virtual clock: one team on an external switch with one VM.
const char kHost[] = R"({"clock": {"mode": "virtual", "startTick": 1000},
  "os": {"major": 10, "productType": 1},
  "adapters": [{"guid": "{A0000000-0000-0000-0000-000000000000}", "name": "Team A"},
               {"guid": "{B0000000-0000-0000-0000-000000000000}", "name": "Member B"}],
  "teams": [{"adapter": "{A0000000-0000-0000-0000-000000000000}",
             "members": ["{B0000000-0000-0000-0000-000000000000}"]}],
  "hyperv": {"switches": [{"name": "Team", "adapter": "{A0000000-0000-0000-0000-000000000000}"}],
             "vms": [{"name": "VM One", "adapters": [{"mac": "00155D000001", "switch": "Team",
                                                      "vlan": 10}]}]}})";

const char kEventQuery[] =
    "SELECT * FROM __InstanceOperationEvent WITHIN 10 WHERE (TargetInstance ISA "
    "'Msvm_ExternalEthernetPort') OR (TargetInstance ISA 'Msvm_VLANEndpoint') OR "
    "(TargetInstance ISA 'Msvm_SyntheticEthernetPort') OR (TargetInstance ISA "
    "'Msvm_ComputerSystem') OR (TargetInstance ISA 'Msvm_EthernetSwitchPortVlanSettingData')";
const char kConnected[] = "Exiting HyperVMonitor::InitializeWMI() bSuccess=1";

// The monitor with its real worker; its state read as the service host would.
class WatchedMonitor : public HyperVMonitor {
public:
    using GenericMonitor::GetState;
};

// Error lines carry this file's source name and the line of their call.
size_t CountErrors(const std::vector<std::string>& lines, const std::string& text) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.compare(0, 19, "Src\\HyperVMonitor (") == 0 && line.size() > text.size() &&
               line.compare(line.size() - text.size() - 3, std::string::npos, "): " + text) == 0;
    });
}

// Moves VM One to another VLAN: an instance operation event for the subscription.
void MoveVm(int vlan) {
    ASSERT_EQ("", sim::Machine::Get().Wmi().Change([vlan](sim::HyperVTopology& t) {
        return sim::SetVlan(t, u"VM One", u"A1", vlan);
    }));
}

class HyperVMonitorLoop : public test::MachineTest {
protected:
    static void SetUpTestSuite() { OpenMachine(kHost, kRegistry); }

    void SetUp() override {
        AttachClock();
        m_monitor.reset(new WatchedMonitor);
        MachineTest::SetUp();
    }
    void TearDown() override {
        m_monitor.reset();
        Sleep(100);  // time moves only once an ending worker thread has gone
        MachineTest::TearDown();
    }

    // Starts the worker; back once it subscribed (or tried to).
    void Start() {
        ASSERT_TRUE(m_monitor->StartMonitor());
        ASSERT_TRUE(WaitUntil([this] { return Subscriptions() == 1; }, 1000));
    }

    bool WorkerEnded(DWORD dwMaxMs) {
        return WaitUntil([this] { return m_monitor->GetState() == MONITOR_STOPPED; }, dwMaxMs);
    }
    // Each subscription traces its query first.
    size_t Subscriptions() const { return Count(ThreadMessages(true), kEventQuery); }
    // Machine time a stop request takes to be honoured.
    DWORD StopTakes() {
        DWORD dwStart = GetTickCount();
        EXPECT_TRUE(m_monitor->WaitForStop());
        return GetTickCount() - dwStart;
    }

    std::unique_ptr<WatchedMonitor> m_monitor;
};

TEST_F(HyperVMonitorLoop, WorkerEndsWithoutHyperVOrWmi) {
    // No thread at all.
    sim::Machine::Get().Faults().Add("CreateThread", ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_FALSE(m_monitor->StartMonitor());
    EXPECT_FALSE(m_monitor->IsRunning());
    std::vector<std::string> messages = NewMessages(kWithoutScopes);
    EXPECT_EQ(1u, Count(messages, "ERROR:  Unable to  spawn the thread - error=8"));
    EXPECT_EQ(1u, Count(messages, "ERROR:  Unable to create the thread - error=8"));
    MarkTrace();

    // No Hyper-V management service: no connection is even tried.
    sim::Machine::Get().Faults().Add("OpenServiceW", ERROR_SERVICE_DOES_NOT_EXIST, 1);
    ASSERT_TRUE(m_monitor->StartMonitor());
    ASSERT_TRUE(WorkerEnded(1000));
    EXPECT_FALSE(m_monitor->IsRunning());
    EXPECT_EQ(test::Expected(__FILE__, "no Hyper-V"), ThreadMessages(true));

    // No connection to be had: the worker gives up at once.
    struct {
        const char* fault;
        HRESULT error;
        const char* line;
    } connections[] = {
        {"CoCreateInstance", REGDB_E_CLASSNOTREG, "ERROR:  Unable to do CoCreateInstance."},
        {"IWbemLocator::ConnectServer", WBEM_E_INVALID_NAMESPACE,
         "ERROR:  Unable to connect the WMI namespace"},
        {"CoSetProxyBlanket", E_ACCESSDENIED, "ERROR:  Unable to set proxy blanket"},
    };
    for (const auto& c : connections) {
        SCOPED_TRACE(c.fault);
        Sleep(100);
        sim::Machine::Get().Faults().Add(c.fault, static_cast<DWORD>(c.error), 1);
        MarkTrace();
        ASSERT_TRUE(m_monitor->StartMonitor());
        ASSERT_TRUE(WorkerEnded(1000));
        std::vector<std::string> lines = ThreadMessages(true);
        EXPECT_EQ(1u, Count(lines, c.line));
        EXPECT_EQ(1u, CountErrors(lines, "ERROR:  Unable to initialize WMI!"));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ("Exiting HyperVMonitor::DoMonitor()", lines.back());
        sim::Machine::Get().Faults().Clear();
    }
}

TEST_F(HyperVMonitorLoop, TimeoutZeroEndsAfterTheInitialPass) {
    const WCHAR kServiceKey[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\TALM\\Service");
    test::SetDword(kServiceKey, TEXT("HVMonTimeout"), 0);
    // The first pass's query cannot start: it counts as done, with its error line.
    sim::Machine::Get().Faults().Add("IWbemServices::ExecQuery:Msvm_ExternalEthernetPort",
                                     static_cast<DWORD>(WBEM_E_OUT_OF_MEMORY), 1);
    ASSERT_TRUE(m_monitor->StartMonitor());
    ASSERT_TRUE(WorkerEnded(1000));
    test::SetString(kServiceKey, TEXT("HVMonTimeout"), nullptr);

    std::vector<std::string> lines = ThreadMessages(true);
    auto at = lines.begin();
    for (const std::string& line : test::Expected(__FILE__, "timeout 0, in this order")) {
        at = std::find(at, lines.end(), line);
        ASSERT_NE(lines.end(), at) << "missing or out of order: " << line;
    }
    EXPECT_EQ(1u, Count(lines, kConnected));
    EXPECT_EQ(1u, CountErrors(lines, "ERROR:  Unable to intialize team array!"));
    EXPECT_EQ(0u, Subscriptions());
}

TEST_F(HyperVMonitorLoop, StopDuringTheInitialPassStillWatchesOnce) {
    // The team's report keeps failing, so the initial pass repeats until the stop.
    sim::Machine::Get().Faults().Add("CreateFileW", ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(m_monitor->StartMonitor());
    // A worker that never waits holds the virtual clock: wait for its first pass in real time.
    while (Count(ThreadMessages(true),
                 "Exiting HyperVMonitor::CheckForTeamUpdates(), bSuccess=1") == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(m_monitor->WaitForStop());
    std::vector<std::string> lines = ThreadMessages(true);
    EXPECT_EQ(1u, Subscriptions());
    EXPECT_EQ(1u, Count(lines, "Exiting HyperVMonitor::WaitForChangeEvent()"));
    EXPECT_EQ("Exiting HyperVMonitor::DoMonitor()", lines.back());
}

TEST_F(HyperVMonitorLoop, ABurstOfEventsGivesOnePassAndAStopWaitsForTheSlice) {
    Start();
    DWORD dwFirst = GetTickCount();
    // 12 s into the wait: seen at the subscription's second polling tick, 20 s after it.
    Sleep(12000);
    MoveVm(11);
    MoveVm(12);
    MoveVm(13);
    ASSERT_TRUE(WaitUntil([this] { return Subscriptions() == 2; }, 10000));
    DWORD dwSecond = GetTickCount() - dwFirst;
    EXPECT_LE(19900u, dwSecond);
    EXPECT_GE(20100u, dwSecond);

    // 7 s into the fresh wait: its second slice ends 3 s later.
    Sleep(7000);
    DWORD dwStop = StopTakes();
    EXPECT_LE(2900u, dwStop);
    EXPECT_GE(3100u, dwStop);
    std::vector<std::string> lines = ThreadMessages(true);
    EXPECT_EQ(2u, Subscriptions());
    EXPECT_EQ(3u, Count(lines, kConnected));
    EXPECT_EQ(1u, Count(lines, "Found change in hyper-v"));
    EXPECT_EQ(2u, Count(lines, "Entering HyperVMonitor::CheckForTeamUpdates()"));
    EXPECT_EQ(2u, Count(lines, "Exiting HyperVMonitor::WaitForChangeEvent()"));
}

// A namespace that keeps failing is tried again after a pause of 5 to 6 s, and a stop is seen at
// once. Over 20 s, `line` (plain or as an error) is counted.
TEST_F(HyperVMonitorLoop, FailingNamespaceIsPaced) {
    struct {
        const char *what, *fault;
        HRESULT error;
        bool bUnreachable;  // from the subscription on, with a change to be seen
        const char* line;
        size_t min, max;
        size_t subscriptions;  // 0: one per counted line
        size_t changes;
    } cases[] = {
        // The change is found at the subscription's first tick, 10 s in.
        {"unreachable", "CoCreateInstance", REGDB_E_CLASSNOTREG, true,
         "ERROR:  Unable to initialize WMI!", 2, 3, 1, 1},
        // ... and then left, so that every pause is followed by a fresh subscription.
        {"enumerator fails at once", "IEnumWbemClassObject::Next", WBEM_E_FAILED, false,
         "Entering GenericMonitor::CheckForStopCommand() for 5 seconds", 3, 5, 0, 0},
        {"subscription refused", "IWbemServices::ExecNotificationQuery", WBEM_E_INVALID_CLASS,
         false, "ERROR:  Unable to execute query - hres=80041010", 3, 5, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_monitor.reset(new WatchedMonitor);
        MarkTrace();
        if (!c.bUnreachable) {
            sim::Machine::Get().Faults().Add(c.fault, static_cast<DWORD>(c.error));
        }
        Start();
        if (c.bUnreachable) {
            sim::Machine::Get().Faults().Add(c.fault, static_cast<DWORD>(c.error));
            MoveVm(20);
        }
        Sleep(20000);
        std::vector<std::string> lines = ThreadMessages(true);
        size_t counted = Count(lines, c.line) + CountErrors(lines, c.line);
        EXPECT_LE(c.min, counted);
        EXPECT_GE(c.max, counted);
        EXPECT_EQ(c.subscriptions == 0 ? counted : c.subscriptions, Subscriptions());
        EXPECT_EQ(c.changes, Count(lines, "Found change in hyper-v"));
        EXPECT_GE(200u, StopTakes());
        sim::Machine::Get().Faults().Clear();
    }
}

}  // namespace
