// The Hyper-V monitor's worker on the virtual clock, with WMI doubles for the virtualization
// namespace: when it gives up, the event subscription of each model, how fast a stop is seen,
// one update pass per event, and the pauses that keep a failing namespace from spinning.
#include "HyperVMonitor.h"
#include "ZelRegKey.h"

#include "Machine/Clock.h"
#include "Machine/ComRuntime.h"
#include "Machine/Faults.h"
#include "Machine/Machine.h"
#include "Support/FakeWbem.h"
#include "Support/TestMachine.h"
#include "Support/TraceFiles.h"
#include "Support/TraceTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using test::ComRef;
using test::FakeAnswer;
using test::FakeServices;
using test::WString;

const char kRegistry[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\vmms]
"Type"=dword:00000010
"Start"=dword:00000002
"ErrorControl"=dword:00000001
"ImagePath"="C:\\Windows\\system32\\vmms.exe"
)";

const WCHAR kV2[] = TEXT("root\\virtualization\\v2");
const WCHAR kPortQuery[] =
    TEXT("SELECT * FROM Msvm_ExternalEthernetPort WHERE  IsBound=true AND LinkTechnology=2");
const WCHAR kEventQueryV2[] = TEXT(
    "SELECT * FROM __InstanceOperationEvent WITHIN 10 WHERE (TargetInstance ISA "
    "'Msvm_ExternalEthernetPort') OR (TargetInstance ISA 'Msvm_VLANEndpoint') OR "
    "(TargetInstance ISA 'Msvm_SyntheticEthernetPort') OR (TargetInstance ISA "
    "'Msvm_ComputerSystem') OR (TargetInstance ISA 'Msvm_EthernetSwitchPortVlanSettingData')");
const WCHAR kEventQueryV1[] = TEXT(
    "SELECT * FROM __InstanceOperationEvent WITHIN 10 WHERE (TargetInstance ISA "
    "'Msvm_ExternalEthernetPort') OR (TargetInstance ISA 'Msvm_VmLANEndpoint') OR "
    "(TargetInstance ISA 'Msvm_SyntheticEthernetPort') OR (TargetInstance ISA "
    "'Msvm_ComputerSystem') OR (TargetInstance ISA 'Msvm_VLANEndpointSettingData')");

// The monitor with its real worker; its state read as the service host would.
class WatchedMonitor : public HyperVMonitor {
public:
    using GenericMonitor::GetState;
};

std::string Narrow(const WString& text) {
    return std::string(text.begin(), text.end());
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line);
}

// Error lines carry this file's source name and the line of their call.
size_t CountErrors(const std::vector<std::string>& lines, const std::string& text) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.compare(0, 19, "Src\\HyperVMonitor (") == 0 && line.size() > text.size() &&
               line.compare(line.size() - text.size() - 3, std::string::npos, "): " + text) == 0;
    });
}

// A subscription that waits: with one event due after `delayMs`, or none.
FakeAnswer Waiting(bool bEvent, DWORD delayMs = 0) {
    std::vector<ComRef<test::FakeObject>> events;
    if (bEvent) {
        events.push_back(test::FakeObject::Make());
    }
    return {S_OK, events, WBEM_S_TIMEDOUT, true, delayMs};
}

class HyperVMonitorLoop : public test::TraceTest {
protected:
    static void OpenMachine(const std::string& os) {
        s_machine = new test::TestMachine(
            R"({"clock": {"mode": "virtual", "startTick": 1000}, "os": )" + os + "}", kRegistry);
        TraceTest::SetUpTestSuite();
    }
    static void TearDownTestSuite() {
        delete s_machine;
        s_machine = NULL;
    }

    void SetUp() override {
        m_before = sim::LeakLedger::Get().Snapshot();
        m_attach.reset(new sim::Clock::Attachment(sim::Machine::Get().Clock()));
        m_services = FakeServices::Make();
        m_monitor.reset(new WatchedMonitor);
        TraceTest::SetUp();
    }
    void TearDown() override {
        m_monitor.reset();
        Sleep(100);  // time moves only once an ending worker thread has gone
        sim::Machine::Get().Faults().Clear();
        m_attach.reset();
        m_locator.reset();
        m_proxy = ComRef<test::FakeServicesProxy>();
        m_services = ComRef<FakeServices>();
        test::ExpectLedgerUnchanged(m_before);
    }

    // A locator whose namespace of this model answers the port query with no port.
    void Register(const WCHAR* pszNamespace) {
        m_locator.reset(new test::FakeLocatorClass);
        m_proxy = test::FakeServicesProxy::Make(m_services.Get());
        m_locator->AddNamespace(pszNamespace, m_proxy.Get());
        m_services->AnswerQuery(kPortQuery, FakeAnswer());
    }
    // Starts the worker on that namespace with `events` for its event query; back once it
    // subscribed.
    void Start(const WCHAR* pszNamespace, const WCHAR* pszEventQuery, const FakeAnswer& events) {
        Register(pszNamespace);
        m_services->AnswerQuery(pszEventQuery, events);
        ASSERT_TRUE(m_monitor->StartMonitor());
        ASSERT_TRUE(WaitUntil([this] { return Subscriptions() == 1; }, 1000));
    }

    // Polls every 100 ms of machine time; false when `done` is still false after dwMaxMs.
    static bool WaitUntil(const std::function<bool()>& done, DWORD dwMaxMs) {
        for (DWORD waited = 0; !done(); waited += 100) {
            if (waited >= dwMaxMs) {
                return false;
            }
            Sleep(100);
        }
        return true;
    }
    bool WorkerEnded(DWORD dwMaxMs) {
        return WaitUntil([this] { return m_monitor->GetState() == MONITOR_STOPPED; }, dwMaxMs);
    }
    size_t Subscriptions() const {
        size_t n = 0;
        for (const FakeServices::Call& call : m_services->Calls()) {
            n += call.what == "ExecNotificationQuery";
        }
        return n;
    }
    // Machine time a stop request takes to be honoured.
    DWORD StopTakes() {
        DWORD dwStart = GetTickCount();
        EXPECT_TRUE(m_monitor->WaitForStop());
        return GetTickCount() - dwStart;
    }

    // The worker's messages: those of threads other than this one.
    std::vector<std::string> WorkerLines() const {
        char self[16];
        snprintf(self, sizeof self, "\tTID:%x\t", static_cast<unsigned>(GetCurrentThreadId()));
        std::vector<std::string> lines;
        for (const std::string& line : NewLines(kWithoutScopes | kWithoutRegistry)) {
            if (line.find(self) == std::string::npos) {
                lines.push_back(test::MessageOf(line));
            }
        }
        return lines;
    }

    static test::TestMachine* s_machine;
    sim::LedgerSnapshot m_before;
    std::unique_ptr<sim::Clock::Attachment> m_attach;
    ComRef<FakeServices> m_services;
    ComRef<test::FakeServicesProxy> m_proxy;
    std::unique_ptr<test::FakeLocatorClass> m_locator;
    std::unique_ptr<WatchedMonitor> m_monitor;
};

test::TestMachine* HyperVMonitorLoop::s_machine = NULL;

class HyperVMonitorLoopWindows10 : public HyperVMonitorLoop {
protected:
    static void SetUpTestSuite() { OpenMachine(R"({"major": 10, "productType": 1})"); }
};

class HyperVMonitorLoop2008R2 : public HyperVMonitorLoop {
protected:
    static void SetUpTestSuite() {
        OpenMachine(R"({"major": 6, "minor": 1, "build": 7601, "productType": 3})");
    }
};

TEST_F(HyperVMonitorLoopWindows10, WorkerEndsWithoutHyperVOrWmi) {
    // No thread at all.
    sim::Machine::Get().Faults().Add("CreateThread", ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_FALSE(m_monitor->StartMonitor());
    EXPECT_FALSE(m_monitor->IsRunning());
    std::vector<std::string> messages = NewMessages(kWithoutScopes);
    EXPECT_EQ(1u, Count(messages, "ERROR:  Unable to  spawn the thread - error=8"));
    EXPECT_EQ(1u, Count(messages, "ERROR:  Unable to create the thread - error=8"));
    MarkTrace();

    // No Hyper-V management service: no connection is even tried.
    Register(kV2);
    sim::Machine::Get().Faults().Add("OpenServiceW", ERROR_SERVICE_DOES_NOT_EXIST, 1);
    ASSERT_TRUE(m_monitor->StartMonitor());
    ASSERT_TRUE(WorkerEnded(1000));
    EXPECT_FALSE(m_monitor->IsRunning());
    EXPECT_TRUE(m_locator->Connects().empty());
    EXPECT_EQ(std::vector<std::string>(
                  {"Entering HyperVMonitor::DoMonitor()",
                   "Entering HyperVMonitor::IsHyperVServicePresent",
                   "Exiting HyperVMonitor::IsHyperVServicePresent = 0",
                   "Hyper-V service is not present on this system - exiting Hyper-V monitor.",
                   "Exiting HyperVMonitor::DoMonitor()"}),
              WorkerLines());

    // No WMI locator to be made.
    Sleep(100);
    m_locator.reset();
    sim::Machine::Get().Faults().Add("CoCreateInstance", static_cast<DWORD>(REGDB_E_CLASSNOTREG),
                                     1);
    MarkTrace();
    ASSERT_TRUE(m_monitor->StartMonitor());
    ASSERT_TRUE(WorkerEnded(1000));
    EXPECT_FALSE(m_monitor->IsRunning());
    std::vector<std::string> lines = WorkerLines();
    EXPECT_EQ(1u, Count(lines, "Exiting HyperVMonitor::IsHyperVServicePresent = 1"));
    EXPECT_EQ(1u, Count(lines, "ERROR:  Unable to do CoCreateInstance."));
    EXPECT_EQ(1u, CountErrors(lines, "ERROR:  Unable to initialize WMI!"));
    EXPECT_EQ(0u, Count(lines, "Entering HyperVMonitor::CheckForTeamUpdates()"));
    EXPECT_EQ("Exiting HyperVMonitor::DoMonitor()", lines.back());
}

TEST_F(HyperVMonitorLoopWindows10, TimeoutZeroEndsAfterTheInitialPass) {
    Register(kV2);
    CZelRegKey key;
    ASSERT_TRUE(key.Create(HKEY_LOCAL_MACHINE,
                           TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\TALM\\Service"), true, false));
    ASSERT_TRUE(key.SetValue(TEXT("HVMonTimeout"), static_cast<DWORD>(0)));
    ASSERT_TRUE(m_monitor->StartMonitor());
    ASSERT_TRUE(WorkerEnded(1000));
    key.DeleteValue(TEXT("HVMonTimeout"));

    // In this order among the worker's lines.
    std::vector<std::string> lines = WorkerLines();
    auto at = lines.begin();
    for (const char* line : {"Exiting HyperVMonitor::InitializeWMI() bSuccess=1",
                             "Entering HyperVMonitor::CheckForTeamUpdates()",
                             "Exiting HyperVMonitor::CheckForTeamUpdates(), bSuccess=1",
                             "Exiting HyperVMonitor::UninitializeWMI(),  bSuccess=1",
                             "Exiting GenericMonitor::GetTimeout - timeout=0",
                             "Timeout is 0 - exiting.", "Exiting HyperVMonitor::DoMonitor()"}) {
        at = std::find(at, lines.end(), line);
        ASSERT_NE(lines.end(), at) << "missing or out of order: " << line;
    }
    EXPECT_EQ(0u, Subscriptions());
    EXPECT_EQ(std::vector<WString>({kV2}), m_locator->Connects());
}

TEST_F(HyperVMonitorLoopWindows10, StopWhileWaitingIsSeenAtTheEndOfTheSlice) {
    Start(kV2, kEventQueryV2, Waiting(false));

    // 7 s into the wait: the second 5-second slice ends 3 s later.
    Sleep(7000);
    DWORD dwStop = StopTakes();
    EXPECT_LE(2900u, dwStop);
    EXPECT_GE(3100u, dwStop);

    std::vector<FakeServices::Call> calls = m_services->Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(WString(kEventQueryV2), calls[1].text);
    EXPECT_EQ(WString(TEXT("WQL")), calls[1].language);
    EXPECT_EQ(0x30, calls[1].flags);
    EXPECT_EQ(std::vector<WString>({kV2, kV2}), m_locator->Connects());
    test::FakeServicesProxy::Blanket blanket = m_proxy->LastBlanket();
    EXPECT_EQ(2, blanket.sets);
    EXPECT_EQ(std::vector<DWORD>({RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, RPC_C_AUTHN_LEVEL_CALL,
                                  RPC_C_IMP_LEVEL_IMPERSONATE, EOAC_NONE}),
              std::vector<DWORD>({blanket.authn, blanket.authz, blanket.level,
                                  blanket.impersonation, blanket.capabilities}));
    std::vector<std::string> lines = WorkerLines();
    EXPECT_EQ(1u, Count(lines, "Entering HyperVMonitor::CheckForTeamUpdates()"));
    EXPECT_EQ(0u, Count(lines, "Found change in hyper-v"));
    EXPECT_EQ(1u, Count(lines, "Exiting HyperVMonitor::WaitForChangeEvent()"));
}

TEST_F(HyperVMonitorLoopWindows10, EachEventGivesOnePassOnAFreshSubscription) {
    Start(kV2, kEventQueryV2, Waiting(true, 12000));
    DWORD dwFirst = GetTickCount();
    ASSERT_TRUE(WaitUntil([this] { return Subscriptions() == 2; }, 20000));
    DWORD dwSecond = GetTickCount() - dwFirst;
    EXPECT_LE(11900u, dwSecond);
    EXPECT_GE(12100u, dwSecond);

    std::vector<std::string> lines = WorkerLines();
    EXPECT_EQ(1u, Count(lines, "Found change in hyper-v"));
    EXPECT_EQ(2u, Count(lines, "Entering HyperVMonitor::CheckForTeamUpdates()"));
    EXPECT_EQ(2u, Count(lines, Narrow(kEventQueryV2)));  // traced by each subscription
    EXPECT_GE(5100u, StopTakes());
}

// A namespace that keeps failing is tried again after a pause of 5 to 6 s, and a stop is seen at
// once. Over 20 s, `line` (plain or as an error) is counted.
TEST_F(HyperVMonitorLoopWindows10, FailingNamespaceIsPaced) {
    FakeAnswer broken, refused;
    broken.end = WBEM_E_FAILED;
    refused.hr = WBEM_E_INVALID_CLASS;
    struct {
        const char* what;
        FakeAnswer events;
        bool bUnreachable;  // from the subscription on (its event is due 1 s later)
        const char* line;
        size_t min, max;
        size_t subscriptions;  // 0: one per counted line
        size_t changes;
    } cases[] = {
        {"unreachable", Waiting(true, 1000), true, "ERROR:  Unable to initialize WMI!", 3, 4, 1, 1},
        // ... and then left, so that every pause is followed by a fresh subscription.
        {"enumerator fails at once", broken, false,
         "Entering GenericMonitor::CheckForStopCommand() for 5 seconds", 3, 5, 0, 0},
        {"subscription refused", refused, false, "ERROR:  Unable to execute query - hres=80041010",
         3, 5, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_monitor.reset(new WatchedMonitor);
        m_locator.reset();  // before the next registers its class
        m_services = FakeServices::Make();
        MarkTrace();
        Start(kV2, kEventQueryV2, c.events);
        if (c.bUnreachable) {
            sim::Machine::Get().Faults().Add("CoCreateInstance",
                                             static_cast<DWORD>(REGDB_E_CLASSNOTREG));
        }
        Sleep(20000);
        std::vector<std::string> lines = WorkerLines();
        size_t counted = Count(lines, c.line) + CountErrors(lines, c.line);
        EXPECT_LE(c.min, counted);
        EXPECT_GE(c.max, counted);
        EXPECT_EQ(c.subscriptions == 0 ? counted : c.subscriptions, Subscriptions());
        EXPECT_EQ(c.changes, Count(lines, "Found change in hyper-v"));
        EXPECT_GE(200u, StopTakes());
        sim::Machine::Get().Faults().Clear();
    }
}

TEST_F(HyperVMonitorLoop2008R2, Version1NamespaceAndEventQuery) {
    const WCHAR kV1[] = TEXT("root\\virtualization");
    Start(kV1, kEventQueryV1, Waiting(false));
    EXPECT_GE(5100u, StopTakes());

    EXPECT_EQ(std::vector<WString>({kPortQuery, kEventQueryV1}), m_services->Queries());
    EXPECT_EQ(std::vector<WString>({kV1, kV1}), m_locator->Connects());
    std::vector<std::string> lines = WorkerLines();
    EXPECT_EQ(1u, Count(lines, Narrow(kEventQueryV1)));
    EXPECT_EQ("Exiting HyperVMonitor::DoMonitor()", lines.back());
}

}  // namespace
