// The generic monitor's timing rules on the machine's virtual clock: pauses, the stop poll, the
// give-up of the stop wait, and all of them across the tick counter's wrap.
#include "GenericMonitor.h"

#include "Machine/Clock.h"
#include "Machine/Machine.h"
#include "Support/ScopedHandles.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string VirtualClockAt(DWORD startTick) {
    return R"({"clock": {"mode": "virtual", "startTick": )" + std::to_string(startTick) + "}}";
}

// A worker that pauses a second at a time until told to stop, or ignores stop requests until the
// test lets it go; the test keeps its thread handle to join it.
class TimedMonitor : public GenericMonitor {
public:
    explicit TimedMonitor(bool bHeedsStop) : m_bHeedsStop(bHeedsStop) {
        InitializeCriticalSection(&m_csProbe);
    }
    ~TimedMonitor() override {
        if (m_hThread != NULL) {
            WaitForSingleObject(m_hThread, INFINITE);
        }
        DeleteCriticalSection(&m_csProbe);
    }

    bool SpawnThread() override {
        m_hThread.Reset(CreateThread(NULL, 0, ThreadProc, this, 0, NULL));
        return m_hThread != NULL;
    }

    void Release() { Set(&m_bReleased, true); }
    bool Started() { return Get(m_bStarted); }
    DWORD StopSeenAt() { return Get(m_dwStopSeenAt); }
    DWORD State() { return GetState(); }
    using GenericMonitor::SetState;

private:
    static DWORD WINAPI ThreadProc(LPVOID pParameter) {
        static_cast<TimedMonitor*>(pParameter)->DoMonitor();
        return 0;
    }
    void DoMonitor() {
        SetState(MONITOR_RUNNING);
        Set(&m_bStarted, true);
        if (m_bHeedsStop) {
            while (!CheckForStopCommand(1)) {
            }
            Set(&m_dwStopSeenAt, GetTickCount());
        } else {
            while (!Get(m_bReleased)) {
                Sleep(100);
            }
        }
        SetState(MONITOR_STOPPED);
    }
    template <class T>
    void Set(T* pField, T value) {
        EnterCriticalSection(&m_csProbe);
        *pField = value;
        LeaveCriticalSection(&m_csProbe);
    }
    template <class T>
    T Get(const T& field) {
        EnterCriticalSection(&m_csProbe);
        T value = field;
        LeaveCriticalSection(&m_csProbe);
        return value;
    }

    bool m_bHeedsStop;
    test::ScopedHandle m_hThread;
    CRITICAL_SECTION m_csProbe;
    bool m_bStarted = false;
    bool m_bReleased = false;
    DWORD m_dwStopSeenAt = 0;
};

// Milliseconds that CheckForStopCommand(nSeconds) lasts when called at `startTick`.
DWORD PauseAt(DWORD startTick, int nSeconds, bool* pbStop) {
    test::TestMachine machine(VirtualClockAt(startTick));
    sim::Clock::Attachment attach(sim::Machine::Get().Clock());
    TimedMonitor monitor(true);
    DWORD before = GetTickCount();
    *pbStop = monitor.CheckForStopCommand(nSeconds);
    return GetTickCount() - before;
}

TEST(GenericMonitorTiming, PauseLastsOneToTwoSecondsAcrossTheWrap) {
    struct Case {
        const char* name;
        DWORD startTick;
        int seconds;
        DWORD expectedMs;
    } cases[] = {
        // Whole seconds of the tick counter: the pause ends at the poll after the second boundary
        // that follows the next one.
        {"on a second boundary", 1000, 1, 2000},
        {"just before a boundary", 1999, 1, 1100},
        {"mid-second", 5450, 1, 1600},
        {"three seconds", 1000, 3, 4000},
        {"across the wrap", 4294966795u, 1, 1300},
        {"three seconds across the wrap", 4294966795u, 3, 3300},
        {"wrapping mid-pause", 4294966000u, 1, 2000},
        {"zero is a poll", 1000, 0, 0},
        {"negative is a poll", 1000, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool bStop = true;
        EXPECT_EQ(c.expectedMs, PauseAt(c.startTick, c.seconds, &bStop));
        EXPECT_FALSE(bStop);
    }

    // A stop already requested ends a pause before it begins.
    test::TestMachine machine(VirtualClockAt(1000));
    sim::Clock::Attachment attach(sim::Machine::Get().Clock());
    TimedMonitor monitor(true);
    monitor.SetState(MONITOR_STOP_REQUESTED);
    EXPECT_TRUE(monitor.CheckForStopCommand(5));
    EXPECT_EQ(1000u, GetTickCount());
    monitor.SetState(MONITOR_STOPPED);
}

TEST(GenericMonitorTiming, StopIsNoticedWithin100ms) {
    DWORD starts[] = {1000, 4294965000u};  // the second one wraps while the worker pauses
    for (DWORD startTick : starts) {
        SCOPED_TRACE(startTick);
        test::TestMachine machine(VirtualClockAt(startTick));
        sim::Clock::Attachment attach(sim::Machine::Get().Clock());
        TimedMonitor monitor(true);
        ASSERT_TRUE(monitor.StartMonitor());
        Sleep(5050);
        EXPECT_TRUE(monitor.IsRunning());
        DWORD requestedAt = GetTickCount();
        ASSERT_TRUE(monitor.StopMonitor());
        while (monitor.IsRunning()) {
            Sleep(10);
        }
        DWORD noticedAfter = monitor.StopSeenAt() - requestedAt;
        EXPECT_GT(noticedAfter, 0u);
        EXPECT_LE(noticedAfter, 100u);
    }
}

TEST(GenericMonitorTiming, DestructionWaitsForTheStopper) {
    // At process exit the monitors are destroyed right after the stop that started their
    // stoppers; a stopper still polling must not touch a destroyed monitor (ASan sees it if so).
    test::TestMachine machine(VirtualClockAt(1000));
    sim::Clock::Attachment attach(sim::Machine::Get().Clock());
    TimedMonitor* pMonitor = new TimedMonitor(true);
    ASSERT_TRUE(pMonitor->StartMonitor());
    while (!pMonitor->Started()) {
        Sleep(0);
    }
    ASSERT_TRUE(pMonitor->StopMonitor());
    delete pMonitor;
    Sleep(1000);
}

TEST(GenericMonitorTiming, WaitForStopGivesUpAfter60To61Seconds) {
    struct Case {
        DWORD startTick;
        DWORD minMs;
        DWORD maxMs;
    } cases[] = {
        {1000, 61000, 61000},                 // on a boundary: the full 61 seconds
        {1950, 60100, 60100},                 // just before one: the least it waits
        {4294967296u - 30000, 60001, 61000},  // the counter wraps half-way
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.startTick);
        test::TestMachine machine(VirtualClockAt(c.startTick));
        sim::Clock::Attachment attach(sim::Machine::Get().Clock());
        TimedMonitor monitor(false);
        ASSERT_TRUE(monitor.StartMonitor());
        while (!monitor.Started()) {
            Sleep(0);
        }
        ASSERT_EQ(c.startTick, GetTickCount());
        DWORD before = GetTickCount();
        EXPECT_FALSE(monitor.WaitForStop());
        DWORD waited = GetTickCount() - before;
        EXPECT_GE(waited, c.minMs);
        EXPECT_LE(waited, c.maxMs);
        // Given up, the request stays.
        EXPECT_EQ(static_cast<DWORD>(MONITOR_STOP_REQUESTED), monitor.State());
        EXPECT_TRUE(monitor.IsRunning());
        monitor.Release();
        EXPECT_TRUE(monitor.WaitForStop());
        EXPECT_LE(GetTickCount() - before - waited, 200u);
    }
}

}  // namespace
