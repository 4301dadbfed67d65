// The DCB upgrade monitor on a machine whose DCB service runs, or is held stopped by a host of the
// test's own: the commands it starts (processes.jsonl), the flag it clears, its retries on the
// virtual clock, and its trace lines.
#include "InstallerUpdates.h"
#include "ZelRegKey.h"

#include "Machine/Services/LineSocket.h"
#include "Machine/Services/Services.h"
#include "Support/MachineTest.h"
#include "Support/TraceFiles.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

using test::Count;
using test::Join;
typedef std::vector<std::string> Lines;

const WCHAR kFcoeParameters[] = TEXT("SYSTEM\\CurrentControlSet\\Services\\OFCoES\\Parameters");
const WCHAR kUpgradeValue[] = TEXT("InstalledTALM_DCB_Upgrade");
const DWORD kRunMs = 3000;  // each run of the DCB executable

const char kMachine[] = R"({
  "clock": {"mode": "virtual", "startTick": 1000},
  "programs": [{"path": "C:\\Windows\\system32\\OrvexDCB.exe", "runSeconds": 3, "exitCode": 5}],
  "services": [{"name": "OrvexDCB"}]
})";

const char kRegistry[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\OrvexDCB]
"Type"=dword:00000010
"Start"=dword:00000002
"ErrorControl"=dword:00000001
"ImagePath"="C:\\Windows\\system32\\OrvexDCB.exe"
)";

const std::string kUnreg = "\"C:\\Windows\\system32\\OrvexDCB.exe\" /Unreg";
const std::string kRegServer = "\"C:\\Windows\\system32\\OrvexDCB.exe\" /RegServer";

// A host for the DCB service that reports it stopped to the machine's service control manager;
// without it the machine's own declaration has the service running.
class StoppedDcbService {
public:
    StoppedDcbService() {
        m_path = sim::services::HostSocketPath(sim::Machine::Get().Dir(), u"OrvexDCB");
        m_listener = sim::ListenLocal(m_path);
        EXPECT_TRUE(m_listener);
        m_thread = std::thread([this] { Serve(); });
    }
    ~StoppedDcbService() {
        m_stop = true;
        m_thread.join();
        unlink(m_path.c_str());
    }

private:
    void Serve() {
        while (!m_stop) {
            pollfd waiting = {m_listener.Get(), POLLIN, 0};
            sim::UniqueFd client(poll(&waiting, 1, 20) > 0 ? accept(m_listener.Get(), NULL, NULL)
                                                           : -1);
            std::string request;
            if (client && sim::ReadLine(client.Get(), &request)) {
                sim::ServiceStatus status;
                status.state = SERVICE_STOPPED;
                sim::SendLine(client.Get(), sim::FormatStatus(status));
            }
        }
    }

    std::string m_path;
    sim::UniqueFd m_listener;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The state of the worker, read as the service host would without tracing it.
class ObservedUpdates : public InstallerUpdates {
public:
    using GenericMonitor::GetState;
};

class InstallerUpdatesTest : public test::MachineTest {
protected:
    static void SetUpTestSuite() { OpenMachine(kMachine, kRegistry); }

    void SetUp() override {
        AttachClock();
        ClearKeys();
        MachineTest::SetUp();
        m_processStart = sim::Machine::Get().Records("processes.jsonl").size();
    }

    static void ClearKeys() {
        test::DeleteKey(test::kTalmKey);
        test::DeleteKey(kFcoeParameters);
    }
    // A negative value leaves the TALM key without the flag.
    static void SetFlag(long long value) {
        DWORD dwValue = static_cast<DWORD>(value);
        test::SetRaw(test::kTalmKey, kUpgradeValue, REG_DWORD, value >= 0 ? &dwValue : NULL,
                     sizeof dwValue);
    }
    // The flag's value, or -1 when it is gone.
    static long long Flag() {
        CZelRegKey key;
        DWORD dwValue = 0;
        bool bFound = key.Open(HKEY_LOCAL_MACHINE, test::kTalmKey, false) &&
                      key.GetValue(kUpgradeValue, dwValue);
        return bFound ? static_cast<long long>(dwValue) : -1;
    }

    // The programs started since the test began: "command line|directory|creation flags".
    Lines Processes() const {
        return Fields("processes.jsonl", {"commandLine", "directory", "creationFlags"},
                      m_processStart);
    }

    size_t m_processStart = 0;
};

// A run in the system directory with CREATE_NO_WINDOW, as Processes() gives it.
std::string Started(const std::string& commandLine) {
    return commandLine + "|C:\\Windows\\system32|134217728";
}

const Lines kDetected = {"Entering IsDCBUpdateReqd", "Detected DCB Update Required",
                         "Exiting IsDcbUpdateReqd"};
const Lines kPause = {"Entering GenericMonitor::CheckForStopCommand() for 1 seconds",
                      "Exiting GenericMonitor::CheckForStopCommand()"};
const Lines kRunning = {"Entering IsDcbServiceRunning", "The DCB Service is running",
                        "Exiting IsDcbServiceRunning", "Entering CompleteDcbUpgrade"};
const std::string kExecUnreg = "Entering ExecuteCommand - " + kUnreg;
const std::string kExecRegServer = "Entering ExecuteCommand - " + kRegServer;
const Lines kCompletion = Join({kDetected,
                                kRunning,
                                {kExecUnreg, "Exiting ExecuteCommand", kExecRegServer,
                                 "Exiting ExecuteCommand", "Exiting CompleteDcbUpgrade"}});

TEST_F(InstallerUpdatesTest, WaitsForTheDcbServiceThenReregistersItOnce) {
    SetFlag(1);
    std::unique_ptr<StoppedDcbService> stopped(new StoppedDcbService);
    ObservedUpdates monitor;
    ASSERT_TRUE(monitor.StartMonitor());
    Sleep(6000);
    EXPECT_EQ(static_cast<DWORD>(MONITOR_RUNNING), monitor.GetState());
    EXPECT_TRUE(Processes().empty());
    EXPECT_EQ(1, Flag());

    stopped.reset();
    DWORD dwRunning = GetTickCount();
    ASSERT_TRUE(WaitUntil([&] { return monitor.GetState() == MONITOR_STOPPED; }, 20000));
    Sleep(100);  // time moves only once the ending worker thread has gone
    // At most a two-second pause after the service runs, then both runs one after the other;
    // this thread sees the end at its next 100 ms poll and waits 100 ms more.
    DWORD dwTook = GetTickCount() - dwRunning;
    EXPECT_GE(dwTook, 2 * kRunMs);
    EXPECT_LE(dwTook, 2 * kRunMs + 2000 + 200);
    EXPECT_EQ((Lines{Started(kUnreg), Started(kRegServer)}), Processes());
    EXPECT_EQ(-1, Flag());

    // The worker: cycles that find the service stopped and pause, then the completion.
    const Lines waiting =
        Join({kDetected, {"Entering IsDcbServiceRunning", "Exiting IsDcbServiceRunning"}, kPause});
    Lines lines = ThreadMessages(true);
    Lines expected = {"Entering InstallerUpdates::DoMonitor()"};
    size_t cycles = (lines.size() - 1 - kCompletion.size() - 1) / waiting.size();
    EXPECT_GE(cycles, 3u);  // six seconds of one- to two-second pauses
    EXPECT_LE(cycles, 8u);
    for (size_t i = 0; i < cycles; ++i) {
        expected.insert(expected.end(), waiting.begin(), waiting.end());
    }
    EXPECT_EQ(Join({expected, kCompletion, {"Exiting InstallerUpdates::DoMonitor()"}}), lines);
    EXPECT_EQ((Lines{"Entering InstallerUpdates::InstallerUpdates()",
                     "Exiting InstallerUpdates::InstallerUpdates()",
                     "Entering GenericMonitor::StartMonitor()", "Successfully created the thread",
                     "Exiting InstallerUpdates::SpawnThread()", "Successfully created the thread",
                     "Exiting GenericMonitor::StartMonitor() - bSuccess=1"}),
              ThreadMessages(false));
}

TEST_F(InstallerUpdatesTest, NothingToDoEndsAtOnce) {
    struct Case {
        const char* name;
        long long flag;  // -1: the key without the flag; -2: no TALM key
        bool diskless;
        const char* line;
    } cases[] = {
        {"no TALM key", -2, false, "No TALM key located"},
        {"no flag", -1, false, "No DCB Upgrade required"},
        {"flag 0", 0, false, "No DCB Upgrade required"},
        {"flag 2", 2, false, "No DCB Upgrade required"},
        {"flag 0x80000001", 0x80000001, false, "No DCB Upgrade required"},
        {"FCoE diskless", 1, true, "This is fcoe diskless - don't do anything"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearKeys();
        if (c.flag != -2) {
            SetFlag(c.flag);
        }
        test::SetDword(kFcoeParameters, TEXT("HwResourceOwner"), c.diskless ? 1 : 0);
        ObservedUpdates monitor;
        MarkTrace();
        DWORD dwStart = GetTickCount();
        EXPECT_TRUE(monitor.DoMonitor());
        EXPECT_EQ(dwStart, GetTickCount());  // no pause
        EXPECT_EQ(static_cast<DWORD>(MONITOR_STOPPED), monitor.GetState());
        EXPECT_TRUE(Processes().empty());
        EXPECT_EQ(c.flag >= 0 ? c.flag : -1, Flag());
        EXPECT_EQ(
            (Lines{"Entering InstallerUpdates::DoMonitor()", "Entering IsDCBUpdateReqd", c.line,
                   "Exiting IsDcbUpdateReqd", "Exiting InstallerUpdates::DoMonitor()"}),
            ThreadMessages(false));
    }
}

TEST_F(InstallerUpdatesTest, ACommandThatCannotStartIsRetriedFromTheFirst) {
    SetFlag(1);
    // The first /Unreg and then the first /RegServer cannot be started.
    sim::Machine::Get().Faults().Add("CreateProcessW", ERROR_FILE_NOT_FOUND, 1);
    sim::Machine::Get().Faults().Add("CreateProcessW", ERROR_FILE_NOT_FOUND, 3);

    ObservedUpdates monitor;
    MarkTrace();
    DWORD dwStart = GetTickCount();
    EXPECT_TRUE(monitor.DoMonitor());
    DWORD dwTook = GetTickCount() - dwStart;
    // Three runs that ended, two pauses of one to two seconds.
    EXPECT_GE(dwTook, 3 * kRunMs + 2 * 1000);
    EXPECT_LE(dwTook, 3 * kRunMs + 2 * 2000 + 200);
    EXPECT_EQ((Lines{Started(kUnreg), Started(kUnreg), Started(kRegServer)}), Processes());
    EXPECT_EQ(-1, Flag());
    EXPECT_EQ(
        Join({{"Entering InstallerUpdates::DoMonitor()"},
              kDetected,
              kRunning,
              {kExecUnreg, "Unable to unregister the DCB service", "Exiting CompleteDcbUpgrade"},
              kPause,
              kDetected,
              kRunning,
              {kExecUnreg, "Exiting ExecuteCommand", kExecRegServer,
               "Unable to restart the DCB service", "Exiting CompleteDcbUpgrade"},
              kPause,
              kCompletion,
              {"Exiting InstallerUpdates::DoMonitor()"}}),
        ThreadMessages(false));
}

TEST_F(InstallerUpdatesTest, AProgramThatNeverStartsIsTriedEachSecondUntilTheStop) {
    SetFlag(1);
    // As for a system directory without the DCB executable.
    sim::Machine::Get().Faults().Add("CreateProcessW", ERROR_FILE_NOT_FOUND);
    {
        ObservedUpdates monitor;
        ASSERT_TRUE(monitor.StartMonitor());
        Sleep(10000);
        // The destructor asks for the stop and waits for it.
    }
    Sleep(100);
    Lines lines = ThreadMessages(true);
    size_t attempts = Count(lines, "Unable to unregister the DCB service");
    EXPECT_GE(attempts, 5u);
    EXPECT_LE(attempts, 11u);
    EXPECT_EQ(attempts,
              Count(lines, "Entering GenericMonitor::CheckForStopCommand() for 1 seconds"));
    EXPECT_EQ(1u, Count(lines, "Found STOP command"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("Exiting InstallerUpdates::DoMonitor()", lines.back());
    EXPECT_EQ(1, Flag());  // tried again at the next start

    Lines own = ThreadMessages(false);
    ASSERT_GE(own.size(), 5u);
    EXPECT_EQ("Entering InstallerUpdates::~InstallerUpdates()", own[own.size() - 5]);
    EXPECT_EQ("Successfully stopped the process", own[own.size() - 3]);
    EXPECT_EQ("Exiting InstallerUpdates::~InstallerUpdates()", own.back());
}

TEST_F(InstallerUpdatesTest, TheFlagIsSetToZeroThenDeleted) {
    // A failed deletion leaves the zero written before it; a failed zero, the flag deleted all
    // the same; a key that cannot be opened again, the flag as it was. Either way the upgrade
    // counts.
    struct Case {
        const char* function;
        unsigned call;  // 0: every call
        long long flag;
        const char *error, *other;  // the one line traced (null: none), a line not traced
    } cases[] = {
        {"RegDeleteValueW", 0, 0, "ERROR:  Unable to delete the key upon completion",
         "ERROR:  Unable to set the DCB Update key to 0"},
        {"RegSetValueExW", 0, -1, "ERROR:  Unable to set the DCB Update key to 0",
         "ERROR:  Unable to delete the key upon completion"},
        // The third opening: after the flag's and the FCoE check's.
        {"RegOpenKeyExW", 3, 1, nullptr, "ERROR:  Unable to set the DCB Update key to 0"},
    };
    ObservedUpdates monitor;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        SetFlag(1);
        sim::Machine::Get().Faults().Add(c.function, ERROR_ACCESS_DENIED, c.call);
        MarkTrace();
        m_processStart = sim::Machine::Get().Records("processes.jsonl").size();
        EXPECT_TRUE(monitor.DoMonitor());
        sim::Machine::Get().Faults().Clear();
        EXPECT_EQ(c.flag, Flag());
        EXPECT_EQ(2u, Processes().size());
        Lines lines = ThreadMessages(false);
        EXPECT_EQ(c.error != nullptr ? 1u : 0u, Count(lines, c.error ? c.error : c.other));
        EXPECT_EQ(0u, Count(lines, c.other));
    }
}

}  // namespace
