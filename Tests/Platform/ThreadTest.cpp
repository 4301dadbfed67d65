// Threads, events, waits, critical sections and environment variables, as Windows gives them.
#include <windows.h>

#include "Support/ScopedHandles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace {

using test::ScopedHandle;

DWORD WINAPI ReturnParameter(LPVOID parameter) {
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter));
}

void ExitDeepInside(DWORD code) {
    ExitThread(code);
}

DWORD WINAPI ExitEarly(LPVOID parameter) {
    ExitDeepInside(7);
    *static_cast<bool*>(parameter) = true;  // never reached
    return 1;
}

struct Gate {
    HANDLE event;
    DWORD threadId;
    std::atomic<int> passed{0};
};

DWORD WINAPI PassGate(LPVOID parameter) {
    Gate* gate = static_cast<Gate*>(parameter);
    gate->threadId = GetCurrentThreadId();
    DWORD result = WaitForSingleObject(gate->event, INFINITE);
    ++gate->passed;
    return result == WAIT_OBJECT_0 ? 5 : 6;
}

HANDLE StartThread(LPTHREAD_START_ROUTINE routine, void* parameter, DWORD* id = nullptr) {
    HANDLE thread = CreateThread(NULL, 0, routine, parameter, 0, id);
    EXPECT_TRUE(thread != NULL) << GetLastError();
    return thread;
}

void Finish(HANDLE thread) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
}

DWORD ExitCodeOf(HANDLE thread) {
    DWORD code = 0xdeadbeef;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

TEST(Thread, ExitCodesAndIds) {
    DWORD id = 0;
    ScopedHandle thread(StartThread(ReturnParameter, reinterpret_cast<void*>(42), &id));
    EXPECT_NE(0u, id);
    EXPECT_NE(GetCurrentThreadId(), id);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    EXPECT_EQ(42u, ExitCodeOf(thread));
    // A thread that has ended stays signalled.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));

    bool reached = false;
    thread.Reset(StartThread(ExitEarly, &reached));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    EXPECT_EQ(7u, ExitCodeOf(thread));
    EXPECT_FALSE(reached);

    ScopedHandle event(CreateEventW(NULL, TRUE, FALSE, NULL));
    Gate gate;
    gate.event = event;
    thread.Reset(StartThread(PassGate, &gate, &id));
    EXPECT_EQ(STILL_ACTIVE, ExitCodeOf(thread));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 50));
    EXPECT_TRUE(SetEvent(gate.event));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    EXPECT_EQ(5u, ExitCodeOf(thread));
    EXPECT_EQ(id, gate.threadId);
}

TEST(Thread, HandleClosedWhileRunning) {
    ScopedHandle event(CreateEventW(NULL, TRUE, FALSE, NULL));
    Gate gate;
    gate.event = event;
    HANDLE thread = StartThread(PassGate, &gate);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_TRUE(SetEvent(gate.event));
    for (int i = 0; i < 1000 && gate.passed == 0; ++i) {
        Sleep(10);
    }
    EXPECT_EQ(1, gate.passed.load());
}

TEST(Thread, SuspendedUntilResumed) {
    ScopedHandle thread(
        CreateThread(NULL, 0, ReturnParameter, reinterpret_cast<void*>(3), CREATE_SUSPENDED, NULL));
    ASSERT_TRUE(thread != NULL);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 50));
    EXPECT_EQ(STILL_ACTIVE, ExitCodeOf(thread));
    EXPECT_EQ(1u, ResumeThread(thread));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    EXPECT_EQ(3u, ExitCodeOf(thread));
    EXPECT_EQ(0u, ResumeThread(thread));
}

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
    ScopedHandle event(CreateEventW(NULL, FALSE, TRUE, NULL));
    ASSERT_TRUE(event);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));

    Gate gate;
    gate.event = event;
    ScopedHandle first(StartThread(PassGate, &gate)), second(StartThread(PassGate, &gate));
    Sleep(50);
    EXPECT_EQ(0, gate.passed.load());
    EXPECT_TRUE(SetEvent(event));
    Sleep(200);
    EXPECT_EQ(1, gate.passed.load());
    EXPECT_TRUE(SetEvent(event));
    Finish(first);
    Finish(second);
    EXPECT_EQ(2, gate.passed.load());
    // Both sets were taken by the waiters.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));

    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
    ScopedHandle event(CreateEventW(NULL, TRUE, FALSE, NULL));
    ASSERT_TRUE(event);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
    Gate gate;
    gate.event = event;
    ScopedHandle first(StartThread(PassGate, &gate)), second(StartThread(PassGate, &gate));
    EXPECT_TRUE(SetEvent(event));
    Finish(first);
    Finish(second);
    EXPECT_EQ(2, gate.passed.load());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
}

TEST(Event, NamedEventIsOneObject) {
    std::wstring text = L"TarvikThreadTest" + std::to_wstring(GetCurrentProcessId());
    std::basic_string<WCHAR> name(text.begin(), text.end());

    SetLastError(0xdeadbeef);
    HANDLE first = CreateEventW(NULL, TRUE, FALSE, name.c_str());
    ASSERT_TRUE(first != NULL);
    EXPECT_EQ(0u, GetLastError());
    SetLastError(0xdeadbeef);
    // The second creator's reset mode and state do not change the existing event.
    HANDLE second = CreateEventW(NULL, FALSE, TRUE, name.c_str());
    ASSERT_TRUE(second != NULL);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_NE(first, second);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(second, 0));
    EXPECT_TRUE(SetEvent(first));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(second));

    // Once every handle is closed the name is free again.
    SetLastError(0xdeadbeef);
    ScopedHandle third(CreateEventW(NULL, TRUE, FALSE, name.c_str()));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(third, 0));
}

TEST(Wait, MultipleObjects) {
    HANDLE events[3];
    ScopedHandle owners[3];
    for (int i = 0; i < 3; ++i) {
        owners[i].Reset(events[i] = CreateEventW(NULL, FALSE, FALSE, NULL));
    }
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(3, events, FALSE, 0));
    EXPECT_TRUE(SetEvent(events[2]));
    EXPECT_TRUE(SetEvent(events[1]));
    // The lowest signalled index wins, and only that event is taken.
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(3, events, FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, events, FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(3, events, FALSE, 0));

    // Waiting for all takes none of them until every one is signalled.
    EXPECT_TRUE(SetEvent(events[0]));
    EXPECT_TRUE(SetEvent(events[2]));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(3, events, TRUE, 20));
    EXPECT_TRUE(SetEvent(events[1]));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, events, TRUE, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForMultipleObjects(3, events, FALSE, 0));

    // A thread that ends wakes a wait for any.
    ScopedHandle thread(StartThread(ReturnParameter, NULL));
    HANDLE both[2] = {events[0], thread};
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, both, FALSE, 10000));

    SetLastError(0xdeadbeef);
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(0, events, FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& handle : many) {
        handle = events[0];
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(Wait, TimeOutsLastTheirTime) {
    ScopedHandle event(CreateEventW(NULL, TRUE, FALSE, NULL));
    // GetTickCount may step in 16 ms increments on Windows.
    DWORD start = GetTickCount();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 200));
    DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, 184u);
    EXPECT_LT(waited, 5000u);

    start = GetTickCount();
    Sleep(100);
    waited = GetTickCount() - start;
    EXPECT_GE(waited, 84u);
    EXPECT_LT(waited, 5000u);

    LARGE_INTEGER frequency, before, after;
    EXPECT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_TRUE(QueryPerformanceCounter(&before));
    Sleep(50);
    EXPECT_TRUE(QueryPerformanceCounter(&after));
    EXPECT_GE(after.QuadPart - before.QuadPart, frequency.QuadPart * 45 / 1000);
}

TEST(Handles, BadHandlesFailWithInvalidHandle) {
    ScopedHandle event(CreateEventW(NULL, TRUE, FALSE, NULL));
    ScopedHandle thread(StartThread(ReturnParameter, NULL));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    // Windows reuses handle values at once, so a closed handle is only checked right away.
    HANDLE closed = CreateEventW(NULL, TRUE, FALSE, NULL);
    EXPECT_TRUE(CloseHandle(closed));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(closed));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    struct Case {
        const char* what;
        HANDLE handle;
        bool anEvent;  // SetEvent and waits would work
        bool aThread;  // GetExitCodeThread would work
    } cases[] = {
        {"null", NULL, false, false},
        {"never made", reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff0)), false, false},
        {"an event", event, true, false},
        {"a thread", thread, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.anEvent) {
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(SetEvent(c.handle));
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(ResetEvent(c.handle));
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        }
        if (!c.aThread) {
            DWORD code = 0xdeadbeef;
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(GetExitCodeThread(c.handle, &code));
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
            EXPECT_EQ(0xdeadbeefu, code);
            SetLastError(0xdeadbeef);
            EXPECT_EQ(static_cast<DWORD>(-1), ResumeThread(c.handle));
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        }
        if (!c.anEvent && !c.aThread) {
            SetLastError(0xdeadbeef);
            EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(c.handle, 0));
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
            HANDLE pair[2] = {event, c.handle};
            SetLastError(0xdeadbeef);
            EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, pair, FALSE, 0));
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
            SetLastError(0xdeadbeef);
            EXPECT_FALSE(CloseHandle(c.handle));
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        }
    }
}

CRITICAL_SECTION g_section;  // static storage, as the service's monitors keep theirs
int g_counter;

DWORD WINAPI CountUnderSection(LPVOID) {
    for (int i = 0; i < 20000; ++i) {
        EnterCriticalSection(&g_section);
        EnterCriticalSection(&g_section);
        int seen = g_counter;
        g_counter = seen + 1;
        LeaveCriticalSection(&g_section);
        LeaveCriticalSection(&g_section);
    }
    return 0;
}

DWORD WINAPI TryTheSection(LPVOID) {
    if (!TryEnterCriticalSection(&g_section)) {
        return 0;
    }
    LeaveCriticalSection(&g_section);
    return 1;
}

TEST(CriticalSection, ReentrantAndExclusive) {
    InitializeCriticalSection(&g_section);
    EnterCriticalSection(&g_section);
    EXPECT_TRUE(TryEnterCriticalSection(&g_section));
    ScopedHandle other(StartThread(TryTheSection, NULL));
    Finish(other);
    LeaveCriticalSection(&g_section);
    other.Reset(StartThread(TryTheSection, NULL));
    Finish(other);
    EXPECT_EQ(0u, ExitCodeOf(other));  // still held once
    LeaveCriticalSection(&g_section);
    other.Reset(StartThread(TryTheSection, NULL));
    Finish(other);
    EXPECT_EQ(1u, ExitCodeOf(other));

    g_counter = 0;
    HANDLE threads[4];
    ScopedHandle owners[4];
    for (int i = 0; i < 4; ++i) {
        owners[i].Reset(threads[i] = StartThread(CountUnderSection, NULL));
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(4, threads, TRUE, 60000));
    EXPECT_EQ(4 * 20000, g_counter);
    DeleteCriticalSection(&g_section);
}

TEST(Environment, VariableSizesAndNames) {
    const WCHAR* name = TEXT("TARVIK_THREAD_TEST");
    WCHAR buffer[16];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0u, GetEnvironmentVariableW(name, buffer, 16));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND), GetLastError());

    EXPECT_TRUE(SetEnvironmentVariableW(name, TEXT("abc")));
    struct Case {
        DWORD size;
        DWORD result;
    } cases[] = {{0, 4}, {3, 4}, {4, 3}, {16, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        buffer[0] = 'x';
        EXPECT_EQ(c.result, GetEnvironmentVariableW(name, c.size ? buffer : NULL, c.size));
        if (c.result < c.size) {
            EXPECT_EQ(std::basic_string<WCHAR>(TEXT("abc")), buffer);
        }
    }
    // Names are matched without regard to case.
    EXPECT_EQ(3u, GetEnvironmentVariableW(TEXT("tarvik_Thread_TEST"), buffer, 16));

    // An empty variable exists: 0 characters, and the buffer holds the empty string.
    EXPECT_TRUE(SetEnvironmentVariableW(name, TEXT("")));
    buffer[0] = 'x';
    EXPECT_EQ(0u, GetEnvironmentVariableW(name, buffer, 16));
    EXPECT_EQ(0, buffer[0]);

    EXPECT_TRUE(SetEnvironmentVariableW(name, NULL));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0u, GetEnvironmentVariableW(name, buffer, 16));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND), GetLastError());

    const WCHAR* badNames[] = {TEXT(""), TEXT("A=B")};
    for (const WCHAR* bad : badNames) {
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(SetEnvironmentVariableW(bad, TEXT("x")));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
}

}  // namespace
