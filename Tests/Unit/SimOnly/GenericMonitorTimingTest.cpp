// The generic monitor's timing rules on the machine's virtual clock: pauses (polled every 100 ms, a
// stop seen at the next poll: HyperVMonitorLoop.FailingNamespaceIsPaced), the give-up of the stop
// wait, and all of them across the tick counter's wrap.

#include "Machine/Clock/Clock.h"
#include "Machine/Machine.h"
#include "Support/ProbeMonitor.h"
#include "Support/TestMachine.h"

#include <string>

namespace {

std::string VirtualClockAt(DWORD startTick) {
    return R"({"clock": {"mode": "virtual", "startTick": )" + std::to_string(startTick) + "}}";
}

using test::ProbeMonitor;

// Milliseconds that CheckForStopCommand(nSeconds) lasts when called at `startTick`, with a stop
// requested before it or not (`*pbStop`); what it returned, in `*pbStop`.
DWORD PauseAt(DWORD startTick, int nSeconds, bool* pbStop) {
    test::TestMachine machine(VirtualClockAt(startTick));
    sim::Clock::Attachment attach(sim::Machine::Get().Clock());
    ProbeMonitor monitor(ProbeMonitor::kPauseUntilStop);
    monitor.SetState(*pbStop ? MONITOR_STOP_REQUESTED : MONITOR_STOPPED);
    DWORD before = GetTickCount();
    *pbStop = monitor.CheckForStopCommand(nSeconds);
    monitor.SetState(MONITOR_STOPPED);
    return GetTickCount() - before;
}

TEST(GenericMonitorTiming, PauseLastsOneToTwoSecondsAcrossTheWrap) {
    struct Case {
        const char* name;
        DWORD startTick;
        int seconds;
        DWORD expectedMs;
        bool requested = false;  // a stop requested before the pause
    } cases[] = {
        // Whole seconds of the tick counter: the pause ends at the poll after the second boundary
        // that follows the next one.
        {"on a second boundary", 1000, 1, 2000},
        {"just before a boundary", 1999, 1, 1100},
        {"mid-second", 5450, 1, 1600},
        {"across the wrap", 4294966795u, 1, 1300},
        {"three seconds across the wrap", 4294966795u, 3, 3300},
        {"wrapping mid-pause", 4294966000u, 1, 2000},
        {"zero is a poll", 1000, 0, 0},
        {"negative is a poll", 1000, -1, 0},
        {"a stop already requested ends it before it begins", 1000, 5, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool bStop = c.requested;
        EXPECT_EQ(c.expectedMs, PauseAt(c.startTick, c.seconds, &bStop));
        EXPECT_EQ(c.requested, bStop);
    }
}

TEST(GenericMonitorTiming, DestructionWaitsForTheStopper) {
    // At process exit the monitors are destroyed right after the stop that started their
    // stoppers; a stopper still polling must not touch a destroyed monitor (ASan sees it if so).
    test::TestMachine machine(VirtualClockAt(1000));
    sim::Clock::Attachment attach(sim::Machine::Get().Clock());
    ProbeMonitor* pMonitor = new ProbeMonitor(ProbeMonitor::kPauseUntilStop);
    ASSERT_TRUE(pMonitor->StartMonitor());
    ASSERT_TRUE(pMonitor->WaitUntilStarted());
    ASSERT_TRUE(pMonitor->StopMonitor());
    delete pMonitor;
    Sleep(1000);
}

TEST(GenericMonitorTiming, WaitForStopGivesUpAfter60To61Seconds) {
    struct Case {
        DWORD startTick, minMs, maxMs;
    } cases[] = {
        {1000, 61000, 61000},                 // on a boundary: the full 61 seconds
        {1950, 60100, 60100},                 // just before one: the least it waits
        {4294967296u - 30000, 60001, 61000},  // the counter wraps half-way
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.startTick);
        test::TestMachine machine(VirtualClockAt(c.startTick));
        sim::Clock::Attachment attach(sim::Machine::Get().Clock());
        ProbeMonitor monitor(ProbeMonitor::kIgnoreStopUntilReleased);
        ASSERT_TRUE(monitor.StartMonitor());
        ASSERT_TRUE(monitor.WaitUntilStarted());
        ASSERT_EQ(c.startTick, GetTickCount());
        DWORD before = GetTickCount();
        EXPECT_FALSE(monitor.WaitForStop());
        DWORD waited = GetTickCount() - before;
        EXPECT_GE(waited, c.minMs);
        EXPECT_LE(waited, c.maxMs);
        // Given up, the request stays.
        EXPECT_EQ(static_cast<DWORD>(MONITOR_STOP_REQUESTED), monitor.GetState());
        EXPECT_TRUE(monitor.IsRunning());
        monitor.Release();
        EXPECT_TRUE(monitor.WaitForStop());
        EXPECT_LE(GetTickCount() - before - waited, 200u);
    }
}

}  // namespace
