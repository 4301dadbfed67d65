// The machine's clock: virtual time that moves only while every thread waits, scaled time that
// the processes of one machine share, and the debug output record.
#include <windows.h>

#include "LastError.h"
#include "Machine/Clock.h"
#include "Machine/Faults.h"
#include "Machine/Machine.h"
#include "Support/ScopedHandles.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <new>
#include <string>
#include <thread>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using test::ScopedHandle;

const char* const kVirtual = R"({"clock": {"mode": "virtual", "startTick": 1000}})";

struct Probe {
    HANDLE event = NULL;
    CRITICAL_SECTION* section = nullptr;
    DWORD ticks[2] = {0, 0};
};

DWORD WINAPI SleepThirtySeconds(LPVOID) {
    Sleep(30000);
    return 0;
}

DWORD WINAPI RecordStartThenSleep(LPVOID parameter) {
    Probe* probe = static_cast<Probe*>(parameter);
    probe->ticks[0] = GetTickCount();
    Sleep(500);
    probe->ticks[1] = GetTickCount();
    return 0;
}

DWORD WINAPI RecordWhenSignalled(LPVOID parameter) {
    Probe* probe = static_cast<Probe*>(parameter);
    DWORD result = WaitForSingleObject(probe->event, 60000);
    probe->ticks[0] = GetTickCount();
    return result;
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

void Finish(HANDLE thread) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
}

TEST(VirtualClock, TimeMovesOnlyWhenEveryThreadWaits) {
    test::TestMachine machine(kVirtual);
    sim::Clock::Attachment attach(sim::Machine::Get().Clock());

    // A thread that has not run yet holds time back.
    Probe probe;
    ScopedHandle thread(CreateThread(NULL, 0, RecordStartThenSleep, &probe, 0, NULL));
    Sleep(1000);
    EXPECT_EQ(1000u, probe.ticks[0]);
    EXPECT_EQ(1500u, probe.ticks[1]);
    EXPECT_EQ(2000u, GetTickCount());
    Finish(thread);

    // An event set just before its setter sleeps wakes its waiter at the time it was set.
    ScopedHandle event(CreateEventW(NULL, FALSE, FALSE, NULL));
    probe = Probe();
    probe.event = event;
    thread.Reset(CreateThread(NULL, 0, RecordWhenSignalled, &probe, 0, NULL));
    Sleep(200);
    EXPECT_TRUE(SetEvent(probe.event));
    Sleep(10000);
    EXPECT_EQ(2200u, probe.ticks[0]);
    Finish(thread);

    // A thread waiting to enter a held critical section counts as waiting.
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    probe = Probe();
    probe.section = &section;
    EnterCriticalSection(&section);
    thread.Reset(CreateThread(NULL, 0, RecordWhenEntered, &probe, 0, NULL));
    Sleep(500);
    LeaveCriticalSection(&section);
    Finish(thread);
    EXPECT_EQ(12700u, probe.ticks[0]);
    DeleteCriticalSection(&section);
}

TEST(VirtualClock, TickCountWrapsAndLocalTimeFollows) {
    const char* savedZone = std::getenv("TZ");
    std::string saved = savedZone ? savedZone : "";
    setenv("TZ", "TST-2", 1);  // two hours ahead of UTC
    tzset();
    test::TestMachine machine(
        R"({"clock": {"mode": "virtual", "startTick": 4294966796, "localTime": "2024-02-28T23:59:59"}})");
    if (savedZone) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();

    // No thread is attached: a thread that waits alone moves time itself.
    DWORD start = GetTickCount();
    ULONGLONG start64 = GetTickCount64();
    LARGE_INTEGER frequency, before, after;
    EXPECT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(10000000, frequency.QuadPart);
    EXPECT_TRUE(QueryPerformanceCounter(&before));
    SYSTEMTIME time;
    GetLocalTime(&time);
    EXPECT_EQ("2024-02-28 (3) 23:59:59.000", Text(time));  // a Wednesday

    Sleep(1500);
    EXPECT_EQ(4294966796u, start);
    EXPECT_EQ(1000u, GetTickCount());
    EXPECT_EQ(1500u, GetTickCount() - start);  // what the monitors compute across the wrap
    EXPECT_EQ(0x100000000ull + 1000, GetTickCount64());
    EXPECT_EQ(1500u, GetTickCount64() - start64);
    EXPECT_TRUE(QueryPerformanceCounter(&after));
    EXPECT_EQ(15000000, after.QuadPart - before.QuadPart);
    GetLocalTime(&time);
    EXPECT_EQ("2024-02-29 (4) 00:00:00.500", Text(time));
    GetSystemTime(&time);
    EXPECT_EQ("2024-02-28 (3) 22:00:00.500", Text(time));
}

TEST(ScaledClock, ClocksOfOneMachineAgree) {
    test::TempDir dir;
    sim::ClockSettings settings;
    settings.scale = 100;
    sim::Clock first(settings, dir.Path());
    std::this_thread::sleep_for(milliseconds(100));
    // As a second process on the machine would, it takes the first one's epoch.
    sim::Clock second(settings, dir.Path());
    DWORD a = first.TickCount();
    DWORD b = second.TickCount();
    DWORD c = first.TickCount();
    EXPECT_GE(a, 10000u);
    EXPECT_LE(a, b);
    EXPECT_LE(b, c);

    // Another machine has a clock of its own.
    test::TempDir other;
    sim::Clock third(settings, other.Path());
    EXPECT_LT(third.TickCount(), a);

    // An epoch from before the host booted is replaced (kept, it would hold the clock at 0); a
    // broken one stops the program.
    std::string stale = "monotonic-ns 999999999999999999\nrealtime-ms 0\n";
    std::ofstream(other.Path() + "/clock", std::ios::trunc) << stale;
    sim::Clock fresh(settings, other.Path());
    std::this_thread::sleep_for(milliseconds(10));
    EXPECT_GE(fresh.TickCount(), 1000u);
    std::ifstream replaced(other.Path() + "/clock");
    std::string line;
    std::getline(replaced, line);
    EXPECT_EQ(0u, line.find("monotonic-ns "));
    EXPECT_NE(stale.substr(0, line.size()), line);
}

TEST(ScaledClockDeathTest, BrokenEpochStopsTheProgram) {
    // The child of a threadsafe death test runs this test again and ends in _exit: it works in
    // the process machine's directory, which it shares with its parent, so nothing is left over.
    std::string dir = sim::Machine::Get().PathOf("broken-clock");
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/clock", std::ios::trunc) << "monotonic 12\n";
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(sim::Clock(sim::ClockSettings(), dir), testing::ExitedWithCode(3),
                "not a clock file");
    testing::FLAGS_gtest_death_test_style = "fast";
}

TEST(ScaledClock, WaitsLastTheirTimeOverTheScale) {
    test::TestMachine machine(R"({"clock": {"scale": 40}})");
    DWORD start = GetTickCount();
    steady_clock::time_point realStart = steady_clock::now();
    Sleep(2000);
    ScopedHandle event(CreateEventW(NULL, TRUE, FALSE, NULL));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 2000));
    steady_clock::duration real = steady_clock::now() - realStart;
    EXPECT_GE(GetTickCount() - start, 4000u);
    EXPECT_GE(real, milliseconds(99));
    EXPECT_LT(real, milliseconds(2000));

    // Tests may stop the clock for a while.
    sim::Machine::Get().Clock().SetVirtual(true);
    start = GetTickCount();
    realStart = steady_clock::now();
    Sleep(600000);
    EXPECT_EQ(600000u, GetTickCount() - start);
    EXPECT_LT(steady_clock::now() - realStart, milliseconds(1000));
    sim::Machine::Get().Clock().SetVirtual(false);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 400));
    EXPECT_GE(GetTickCount() - start, 600400u);
}

DWORD WINAPI SayHello(LPVOID) {
    OutputDebugStringW(TEXT("h\u00e9llo \"x\"\n"));
    return 0;
}

TEST(DebugOutput, RecordedWithProcessAndThread) {
    test::TestMachine machine;
    OutputDebugStringW(TEXT("first"));
    DWORD id = 0;
    Finish(ScopedHandle(CreateThread(NULL, 0, SayHello, NULL, 0, &id)));
    std::string pid = std::to_string(getpid());
    EXPECT_EQ("{\"process\":" + pid + ",\"thread\":" + std::to_string(GetCurrentThreadId()) +
                  ",\"text\":\"first\"}\n"
                  "{\"process\":" +
                  pid + ",\"thread\":" + std::to_string(id) +
                  ",\"text\":\"h\xC3\xA9llo \\\"x\\\"\\n\"}\n",
              machine.ReadFile("debug-output.jsonl"));
}

TEST(ThreadFaults, InjectedFailuresGiveTheirCodes) {
    test::TestMachine machine;
    sim::FaultTable& faults = sim::Machine::Get().Faults();
    faults.Add("CreateThread", ERROR_NOT_ENOUGH_MEMORY, 1);
    faults.Add("WaitForSingleObject", ERROR_ACCESS_DENIED, 1);
    faults.Add("SetEvent", ERROR_ACCESS_DENIED, 1);
    EXPECT_LAST_ERROR(HANDLE(NULL), ERROR_NOT_ENOUGH_MEMORY,
                      CreateThread(NULL, 0, SleepThirtySeconds, NULL, 0, NULL));
    ScopedHandle event(CreateEventW(NULL, TRUE, TRUE, NULL));
    EXPECT_LAST_ERROR(WAIT_FAILED, ERROR_ACCESS_DENIED, WaitForSingleObject(event, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    EXPECT_FALSE(SetEvent(event));
    EXPECT_TRUE(SetEvent(event));

    // Waits and critical sections allocate nothing: they work while allocations fail.
    faults.Clear();
    faults.FailAllocation(1);
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    Sleep(1);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 1));
    EXPECT_THROW(::operator delete(::operator new(16)), std::bad_alloc);
    faults.FailAllocation(1);
    EXPECT_LAST_ERROR(HANDLE(NULL), ERROR_NOT_ENOUGH_MEMORY, CreateEventW(NULL, TRUE, FALSE, NULL));
    DeleteCriticalSection(&section);
}

}  // namespace
