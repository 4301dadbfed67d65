// The machine's clock, virtual time that moves only while every thread waits, and the faults of
// threads and waits.
#include <windows.h>

#include "LastError.h"
#include "Machine/Clock/Clock.h"
#include "Machine/Faults/Faults.h"
#include "Machine/Machine.h"
#include "Support/ScopedHandles.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <string>
#include <thread>

namespace {

using test::ScopedHandle;

struct Probe {
    CRITICAL_SECTION* section = nullptr;
    DWORD ticks[2] = {0, 0};
};

DWORD WINAPI RecordStartThenSleep(LPVOID parameter) {
    Probe* probe = static_cast<Probe*>(parameter);
    probe->ticks[0] = GetTickCount();
    Sleep(500);
    probe->ticks[1] = GetTickCount();
    return 0;
}

DWORD WINAPI RecordWhenEntered(LPVOID parameter) {
    Probe* probe = static_cast<Probe*>(parameter);
    EnterCriticalSection(probe->section);
    probe->ticks[0] = GetTickCount();
    LeaveCriticalSection(probe->section);
    return 0;
}

std::string Text(const SYSTEMTIME& time) {
    char text[64];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u (%u) %02u:%02u:%02u.%03u", time.wYear,
                  time.wMonth, time.wDay, time.wDayOfWeek, time.wHour, time.wMinute, time.wSecond,
                  time.wMilliseconds);
    return text;
}

TEST(VirtualClock, TimeMovesOnlyWhenEveryThreadWaits) {
    test::TestMachine machine(R"({"clock": {"mode": "virtual", "startTick": 1000}})");
    sim::Clock::Attachment attach(sim::Machine::Get().Clock());

    // A thread that has not run yet holds time back.
    Probe probe;
    ScopedHandle thread(CreateThread(NULL, 0, RecordStartThenSleep, &probe, 0, NULL));
    Sleep(1000);
    EXPECT_EQ(1000u, probe.ticks[0]);
    EXPECT_EQ(1500u, probe.ticks[1]);
    EXPECT_EQ(2000u, GetTickCount());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));

    // A thread waiting to enter a held critical section counts as waiting.
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    probe = Probe();
    probe.section = &section;
    EnterCriticalSection(&section);
    thread.Reset(CreateThread(NULL, 0, RecordWhenEntered, &probe, 0, NULL));
    Sleep(500);
    LeaveCriticalSection(&section);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    EXPECT_EQ(2500u, probe.ticks[0]);
    DeleteCriticalSection(&section);
}

TEST(VirtualClock, TickCountWrapsAndLocalTimeFollows) {
    test::TestMachine machine(
        R"({"clock": {"mode": "virtual", "startTick": 4294966796, "localTime": "2024-02-28T23:59:59"}})");

    // No thread is attached: a thread that waits alone moves time itself.
    DWORD start = GetTickCount();
    LARGE_INTEGER before, after;
    EXPECT_TRUE(QueryPerformanceCounter(&before));
    SYSTEMTIME time;
    GetLocalTime(&time);
    EXPECT_EQ("2024-02-28 (3) 23:59:59.000", Text(time));  // a Wednesday

    Sleep(1500);
    EXPECT_EQ(4294966796u, start);
    EXPECT_EQ(1000u, GetTickCount());
    EXPECT_TRUE(QueryPerformanceCounter(&after));
    EXPECT_EQ(15000000, after.QuadPart - before.QuadPart);  // 10 MHz
    GetLocalTime(&time);
    EXPECT_EQ("2024-02-29 (4) 00:00:00.500", Text(time));
}

// GetLocalTime steps with the host's tick only while that tick is short in machine time; and
// reads take no lock: switching modes under a reader never takes time back.
TEST(ScaledClock, TheLocalTimesTickAndReadsWhileTheModeSwitches) {
    test::TestMachine machine(R"({"clock": {"scale": 1000}})");
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    Sleep(20);  // 20 us of the host's time, far less than its tick
    GetLocalTime(&after);
    EXPECT_NE(Text(before), Text(after));

    sim::Clock& clock = sim::Machine::Get().Clock();
    std::atomic<bool> done{false};
    LONGLONG back = 0;
    std::thread reader([&] {
        for (LONGLONG last = 0, now; !done; last = now) {
            now = clock.Now();
            back = std::max(back, last - now);
        }
    });
    for (int i = 0; i < 500000; ++i) {
        clock.SetVirtual(i % 2 == 0);
    }
    done = true;
    reader.join();
    EXPECT_EQ(0, back);
}

TEST(ThreadFaults, InjectedFailuresGiveTheirCodes) {
    test::TestMachine machine;
    sim::FaultTable& faults = sim::Machine::Get().Faults();
    faults.Add("WaitForSingleObject", ERROR_ACCESS_DENIED, 1);
    ScopedHandle event(CreateEventW(NULL, FALSE, TRUE, NULL));
    EXPECT_LAST_ERROR(WAIT_FAILED, ERROR_ACCESS_DENIED, WaitForSingleObject(event, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    // Neither a creation flag nor a name is modelled.
    EXPECT_LAST_ERROR(HANDLE(NULL), ERROR_NOT_SUPPORTED,
                      CreateThread(NULL, 0, RecordStartThenSleep, NULL, 4, NULL));
    EXPECT_LAST_ERROR(HANDLE(NULL), ERROR_NOT_SUPPORTED, CreateEventW(NULL, TRUE, FALSE, u"x"));

    // Waits and critical sections allocate nothing: they work while allocations fail.
    faults.Clear();
    faults.FailAllocation(1);
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    Sleep(1);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 1));
    EXPECT_THROW(::operator delete(::operator new(16)), std::bad_alloc);
    faults.FailAllocation(1);
    EXPECT_LAST_ERROR(HANDLE(NULL), ERROR_NOT_ENOUGH_MEMORY, CreateEventW(NULL, TRUE, FALSE, NULL));
    DeleteCriticalSection(&section);
}

}  // namespace
