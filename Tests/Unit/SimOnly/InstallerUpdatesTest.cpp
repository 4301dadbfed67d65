// The DCB upgrade monitor on a machine whose DCB service runs, or whose status cannot be had for a
// while: the commands it starts (processes.jsonl), the flag it clears, its retries on the
// virtual clock, and its trace lines (InstallerUpdatesTest.txt).
#include "Helper.h"
#include "InstallerUpdates.h"
#include "ZelRegKey.h"

#include "Support/MachineTest.h"
#include "Support/TraceFiles.h"

namespace {

using test::Count;
typedef std::vector<std::string> Lines;

const WCHAR kFcoeParameters[] = TEXT("SYSTEM\\CurrentControlSet\\Services\\OFCoES\\Parameters");
const WCHAR kUpgradeValue[] = TEXT("InstalledTALM_DCB_Upgrade");
const DWORD kRunMs = 3000;  // each run of the DCB executable

const char kMachine[] = R"({
  "clock": {"mode": "virtual", "startTick": 1000},
  "programs": [{"path": "C:\\Windows\\system32\\OrvexDCB.exe", "runSeconds": 3, "exitCode": 5}],
  "services": [{"name": "OrvexDCB"}, {"name": "MSiSCSI", "state": "stopped"}]
})";

const char kRegistry[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\OrvexDCB]
"Type"=dword:00000010
"Start"=dword:00000002
"ErrorControl"=dword:00000001
"ImagePath"="C:\\Windows\\system32\\OrvexDCB.exe"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\MSiSCSI]
"Type"=dword:00000010
)";

const std::string kUnreg = "\"C:\\Windows\\system32\\OrvexDCB.exe\" /Unreg";
const std::string kRegServer = "\"C:\\Windows\\system32\\OrvexDCB.exe\" /RegServer";

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

TEST_F(InstallerUpdatesTest, WaitsForTheDcbServiceThenReregistersItOnce) {
    // Not running, as for a service that is there but stopped.
    EXPECT_FALSE(CHelper().IsServiceRunning(HELPER_SERVICE_ISCSI));
    SetFlag(1);
    sim::Machine::Get().Faults().Add("QueryServiceStatus", ERROR_ACCESS_DENIED);
    ObservedUpdates monitor;
    ASSERT_TRUE(monitor.StartMonitor());
    Sleep(6000);
    EXPECT_EQ(static_cast<DWORD>(MONITOR_RUNNING), monitor.GetState());
    EXPECT_TRUE(Processes().empty());
    EXPECT_EQ(1, Flag());

    sim::Machine::Get().Faults().Clear();
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

    // The worker: cycles that find the service not running and pause, then the completion.
    const Lines waiting = test::Expected(__FILE__, "waiting"),
                completion = test::Expected(__FILE__, "completion");
    Lines lines = ThreadMessages(true);
    Lines expected = {"Entering InstallerUpdates::DoMonitor()"};
    size_t cycles = (lines.size() - 1 - completion.size() - 1) / waiting.size();
    EXPECT_GE(cycles, 3u);  // six seconds of one- to two-second pauses
    EXPECT_LE(cycles, 8u);
    for (size_t i = 0; i < cycles; ++i) {
        expected.insert(expected.end(), waiting.begin(), waiting.end());
    }
    expected.insert(expected.end(), completion.begin(), completion.end());
    expected.push_back("Exiting InstallerUpdates::DoMonitor()");
    EXPECT_EQ(expected, lines);
    EXPECT_EQ(test::Expected(__FILE__, "started"), ThreadMessages(false));
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
    EXPECT_EQ(test::Expected(__FILE__, "a command that cannot start"), ThreadMessages(false));
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

    const Lines own = ThreadMessages(false), destroyed = test::Expected(__FILE__, "destroyed");
    ASSERT_GE(own.size(), destroyed.size());
    EXPECT_EQ(destroyed, Lines(own.end() - destroyed.size(), own.end()));
}

TEST_F(InstallerUpdatesTest, TheFlagIsSetToZeroThenDeleted) {
    // A failed deletion leaves the zero written before it; a failed zero, the flag deleted all
    // the same; a key that cannot be opened again, the flag as it was. Either way the upgrade
    // counts.
    struct Case {
        const char* function;
        unsigned call;  // 0: every call
        long long flag;
    } cases[] = {
        {"RegDeleteValueW", 0, 0},
        {"RegSetValueExW", 0, -1},
        {"RegOpenKeyExW", 3, 1},  // the third opening: after the flag's and the FCoE check's
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
        EXPECT_EQ(test::Expected(__FILE__, c.function + std::string(" fails")),
                  ThreadMessages(false));
    }
}

}  // namespace
