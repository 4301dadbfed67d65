// Threads, events, waits, critical sections and environment variables, as Windows gives them.
#include <windows.h>

#include "LastError.h"
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
    EXPECT_NE(GetCurrentThreadId(), id);
    Finish(thread);
    EXPECT_EQ(42u, ExitCodeOf(thread));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0)) << "an ended thread stays signalled";

    bool reached = false;
    thread.Reset(StartThread(ExitEarly, &reached));
    Finish(thread);
    EXPECT_EQ(7u, ExitCodeOf(thread));
    EXPECT_FALSE(reached);

    ScopedHandle event(CreateEventW(NULL, TRUE, FALSE, NULL));
    Gate gate;
    gate.event = event;
    thread.Reset(StartThread(PassGate, &gate, &id));
    EXPECT_EQ(STILL_ACTIVE, ExitCodeOf(thread));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread, 50));
    EXPECT_TRUE(SetEvent(gate.event));
    Finish(thread);
    EXPECT_EQ(5u, ExitCodeOf(thread));
    EXPECT_EQ(id, gate.threadId);
}

TEST(Wait, TimeOutsLastTheirTime) {
    ScopedHandle event(CreateEventW(NULL, TRUE, FALSE, NULL));
    // GetTickCount may step in 16 ms increments on Windows.
    DWORD start = GetTickCount();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 200));
    Sleep(100);
    DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, 284u);
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
    Finish(thread);
    // Windows reuses handle values at once, so a closed handle is only checked right away.
    HANDLE closed = CreateEventW(NULL, TRUE, FALSE, NULL);
    EXPECT_TRUE(CloseHandle(closed));
    EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, CloseHandle(closed));
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
            EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, SetEvent(c.handle));
            EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, ResetEvent(c.handle));
        }
        if (!c.aThread) {
            DWORD code = 0xdeadbeef;
            EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, GetExitCodeThread(c.handle, &code));
            EXPECT_EQ(0xdeadbeefu, code);
        }
        if (!c.anEvent && !c.aThread) {
            EXPECT_LAST_ERROR(WAIT_FAILED, ERROR_INVALID_HANDLE, WaitForSingleObject(c.handle, 0));
            EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, CloseHandle(c.handle));
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

TEST(CriticalSection, ReentrantAndExclusive) {
    InitializeCriticalSection(&g_section);
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
    EXPECT_LAST_ERROR(0u, ERROR_ENVVAR_NOT_FOUND, GetEnvironmentVariableW(name, buffer, 16));
    EXPECT_TRUE(SetEnvironmentVariableW(name, TEXT("abc")));
    struct Case {
        DWORD size;
        DWORD result;
    } cases[] = {{0, 4}, {3, 4}, {4, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        buffer[0] = 'x';
        EXPECT_EQ(c.result, GetEnvironmentVariableW(name, c.size ? buffer : NULL, c.size));
        EXPECT_EQ(c.result < c.size ? 'a' : 'x', buffer[0]);
    }
    // Names are matched without regard to case.
    EXPECT_EQ(3u, GetEnvironmentVariableW(TEXT("tarvik_Thread_TEST"), buffer, 16));
    EXPECT_EQ(std::basic_string<WCHAR>(TEXT("abc")), buffer);

    // An empty variable exists: 0 characters, and the buffer holds the empty string.
    EXPECT_TRUE(SetEnvironmentVariableW(name, TEXT("")));
    EXPECT_EQ(0u, GetEnvironmentVariableW(name, buffer, 16));
    EXPECT_EQ(0, buffer[0]);
    EXPECT_TRUE(SetEnvironmentVariableW(name, NULL));
    EXPECT_LAST_ERROR(0u, ERROR_ENVVAR_NOT_FOUND, GetEnvironmentVariableW(name, buffer, 16));
    for (const WCHAR* bad : {TEXT(""), TEXT("A=B")}) {
        EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_PARAMETER, SetEnvironmentVariableW(bad, TEXT("x")));
    }
}

}  // namespace
