// Threads, events, waits, critical sections and environment variables, as Windows gives them.
#include <windows.h>

#include "LastError.h"
#include "Support/ScopedHandles.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using test::ScopedHandle;

DWORD WINAPI ExitEarly(LPVOID parameter) {
    ExitThread(7);
    *static_cast<bool*>(parameter) = true;  // never reached
    return 1;
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

TEST(Thread, EndsSignalledAndSectionsExcludeEachOther) {
    bool reached = false;
    DWORD id = 0;
    ScopedHandle early(CreateThread(NULL, 0, ExitEarly, &reached, 0, &id));
    ASSERT_TRUE(early);
    EXPECT_NE(GetCurrentThreadId(), id);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(early, 10000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(early, 0)) << "an ended thread stays signalled";
    EXPECT_FALSE(reached);

    InitializeCriticalSection(&g_section);
    g_counter = 0;
    ScopedHandle threads[4];
    for (ScopedHandle& thread : threads) {
        thread.Reset(CreateThread(NULL, 0, CountUnderSection, NULL, 0, NULL));
        ASSERT_TRUE(thread);
    }
    for (ScopedHandle& thread : threads) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 60000));
    }
    EXPECT_EQ(4 * 20000, g_counter);
    DeleteCriticalSection(&g_section);
}

TEST(Wait, EventsTimeOutsAndBadHandles) {
    // A satisfied wait resets an auto-reset event, not a manual one.
    ScopedHandle manual(CreateEventW(NULL, TRUE, TRUE, NULL)),
        automatic(CreateEventW(NULL, FALSE, TRUE, NULL));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(automatic, 0));

    // Windows reuses handle values at once, so a closed handle is only checked right away.
    HANDLE closed = CreateEventW(NULL, TRUE, FALSE, NULL);
    EXPECT_TRUE(CloseHandle(closed));
    EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, CloseHandle(closed));
    for (HANDLE bad : {HANDLE(NULL), reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7ff0))}) {
        EXPECT_LAST_ERROR(WAIT_FAILED, ERROR_INVALID_HANDLE, WaitForSingleObject(bad, 0));
        EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, CloseHandle(bad));
    }
}

TEST(Environment, VariableSizesAndNames) {
    // Temp is set on every machine; its names are matched without regard to case.
    WCHAR value[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(TEXT("TEMP"), value, MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
    const struct {
        DWORD size, result;
    } cases[] = {{0, length + 1}, {length, length + 1}, {length + 1, length}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        WCHAR buffer[MAX_PATH] = {'x'};
        EXPECT_EQ(c.result, GetEnvironmentVariableW(TEXT("temp"), c.size ? buffer : NULL, c.size));
        EXPECT_EQ(c.result < c.size ? std::basic_string<WCHAR>(value) : TEXT("x"), buffer);
    }
    EXPECT_LAST_ERROR(0u, ERROR_ENVVAR_NOT_FOUND,
                      GetEnvironmentVariableW(TEXT("TARVIK_NO_SUCH_VARIABLE"), value, MAX_PATH));
}

}  // namespace
