// The generic monitor's trace lines, its start, stop and wait through real worker threads, and
// the registry rules of its time-out.

#include "Support/IdleHyperVMonitor.h"
#include "Support/ProbeMonitor.h"
#include "Support/TraceTest.h"

namespace {

const WCHAR kServiceKey[] = TEXT("SOFTWARE\\Orvex\\Zuzuvoz_Orodavov\\TALM\\Service");

using test::ProbeMonitor;

class GenericMonitorTest : public test::TraceTest {
protected:
    // The messages written since the test began, without the support library's own lines.
    std::vector<std::string> NewMessages() const {
        return TraceTest::NewMessages(kWithoutScopes | kWithoutRegistry);
    }

    // Waits (up to 10 s) until the trace holds `message`; stopper threads write theirs late.
    bool WaitForMessage(const std::string& message) const {
        for (int i = 0; i < 1000; ++i) {
            for (const std::string& m : NewMessages()) {
                if (m == message) {
                    return true;
                }
            }
            Sleep(10);
        }
        return false;
    }
};

TEST_F(GenericMonitorTest, StoppedMonitorAnswersAtOnce) {
    ProbeMonitor monitor(ProbeMonitor::kReturnAtOnce);
    EXPECT_FALSE(monitor.IsRunning());
    EXPECT_TRUE(monitor.WaitForStop());
    EXPECT_FALSE(monitor.CheckForStopCommand(0));
    EXPECT_FALSE(monitor.IsRunning());  // the wait requested nothing
    monitor.SetState(MONITOR_STOP_REQUESTED);
    EXPECT_TRUE(monitor.CheckForStopCommand(0));
    EXPECT_TRUE(monitor.CheckForStopCommand(-3));
    EXPECT_TRUE(monitor.IsRunning());
    monitor.SetState(MONITOR_STOPPED);
    EXPECT_EQ(std::vector<std::string>({
                  "Entering GenericMonitor::StopMonitor()",
                  "Exiting GenericMonitor::StopMonitor() - bRunning = 0",
                  "Entering GenericMonitor::StopMonitor()",
                  "Exiting GenericMonitor::StopMonitor() - Stopped=1",
                  "Entering GenericMonitor::CheckForStopCommand() for 0 seconds",
                  "Exiting GenericMonitor::CheckForStopCommand()",
                  "Entering GenericMonitor::StopMonitor()",
                  "Exiting GenericMonitor::StopMonitor() - bRunning = 0",
                  // A poll reports a stop without the line a pause writes when it finds one.
                  "Entering GenericMonitor::CheckForStopCommand() for 0 seconds",
                  "Exiting GenericMonitor::CheckForStopCommand()",
                  "Entering GenericMonitor::CheckForStopCommand() for -3 seconds",
                  "Exiting GenericMonitor::CheckForStopCommand()",
                  "Entering GenericMonitor::StopMonitor()",
                  "Exiting GenericMonitor::StopMonitor() - bRunning = 2",
              }),
              NewMessages());
}

TEST_F(GenericMonitorTest, StartAndEnd) {
    // A worker that cannot be created leaves the monitor stopped, with the system's error code.
    ProbeMonitor unborn(ProbeMonitor::kFailToSpawn);
    EXPECT_FALSE(unborn.StartMonitor());
    EXPECT_FALSE(unborn.IsRunning());
    EXPECT_EQ(std::vector<std::string>({
                  "Entering GenericMonitor::StartMonitor()",
                  "ERROR:  Unable to create the thread - error=8",
                  "Exiting GenericMonitor::StartMonitor() - bSuccess=0",
                  "Entering GenericMonitor::StopMonitor()",
                  "Exiting GenericMonitor::StopMonitor() - bRunning = 0",
              }),
              NewMessages());

    // A worker with nothing to do ends by itself and leaves the monitor stopped.
    ProbeMonitor brief(ProbeMonitor::kReturnAtOnce);
    EXPECT_TRUE(brief.StartMonitor());
    brief.Join();
    EXPECT_FALSE(brief.IsRunning());
    EXPECT_TRUE(brief.WaitForStop());
}

TEST_F(GenericMonitorTest, StopperThreadEndsAPausingWorker) {
    ProbeMonitor monitor(ProbeMonitor::kPauseUntilStop);
    ASSERT_TRUE(monitor.StartMonitor());
    ASSERT_TRUE(monitor.WaitUntilStarted());
    EXPECT_TRUE(monitor.IsRunning());
    EXPECT_TRUE(monitor.StopMonitor());
    monitor.Join();
    EXPECT_FALSE(monitor.IsRunning());
    ASSERT_TRUE(WaitForMessage("Exiting GenericMonitor::StopMonitor() - Stopped=1"));

    std::vector<std::string> messages = NewMessages();
    auto position = [&messages](const std::string& line) { return test::Position(messages, line); };
    EXPECT_EQ(0, position("Entering GenericMonitor::StartMonitor()"));
    EXPECT_LT(position("Successfully created the thread"),
              position("Exiting GenericMonitor::StartMonitor() - bSuccess=1"));
    EXPECT_LT(position("Entering GenericMonitor::CheckForStopCommand() for 1 seconds"),
              position("Found STOP command"));
    EXPECT_LT(position("Exiting GenericMonitor::StopMonitor() - bSuccess=1"),
              position("Successfully stopped the process"));
    EXPECT_NE(-1, position("Found STOP command"));
}

TEST_F(GenericMonitorTest, TimeoutFromTheRegistry) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceKey);
    // The Hyper-V monitor's time-out rule; its thread is not started here.
    test::IdleHyperVMonitor hyperV;
    ProbeMonitor plain(ProbeMonitor::kReturnAtOnce);
    ProbeMonitor named(ProbeMonitor::kReturnAtOnce);
    named.SetTimeoutRule(25, TEXT("ProbeTimeout"));
    MarkTrace();

    // No key: the default, with an error line only where the registry is consulted.
    EXPECT_EQ(1u, hyperV.GetTimeout());
    EXPECT_EQ(10u, plain.GetTimeout());
    EXPECT_EQ(std::vector<std::string>({
                  "Entering GenericMonitor::GetTimeout()",
                  "ERROR:  Unable to open Service key!",
                  "Exiting GenericMonitor::GetTimeout - timeout=1",
                  "Entering GenericMonitor::GetTimeout()",
                  "Exiting GenericMonitor::GetTimeout - timeout=10",
              }),
              NewMessages());

    test::ScopedKey hKey;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, NULL, 0,
                                             KEY_READ | KEY_WRITE, NULL, hKey.Receive(), NULL));
    struct Case {
        const char* name;
        DWORD type;
        DWORD value;  // absent when type is REG_NONE
        DWORD hyperV;
    } cases[] = {
        {"absent", REG_NONE, 0, 1},
        {"zero is used", REG_DWORD, 0, 0},
        {"a value", REG_DWORD, 30, 30},
        {"largest positive", REG_DWORD, 0x7FFFFFFF, 0x7FFFFFFF},
        {"negative as a signed number", REG_DWORD, 0x80000000, 1},
        {"minus one", REG_DWORD, 0xFFFFFFFF, 1},
        {"not a DWORD", REG_BINARY, 5, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteValueW(hKey, TEXT("HVMonTimeout"));
        if (c.type != REG_NONE) {
            ASSERT_EQ(ERROR_SUCCESS,
                      RegSetValueExW(hKey, TEXT("HVMonTimeout"), 0, c.type,
                                     reinterpret_cast<const BYTE*>(&c.value), sizeof c.value));
        }
        // Read afresh at every call.
        EXPECT_EQ(c.hyperV, hyperV.GetTimeout());
        EXPECT_EQ(25u, named.GetTimeout());
        EXPECT_EQ(10u, plain.GetTimeout());
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceKey);
}

}  // namespace
