// What the Win32 tests share: a call's result checked with the last error it leaves, and whether
// Wine's runtime runs them.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

// The marker set first shows a call that leaves the last error alone as 0xDEADBEEF.
#define EXPECT_LAST_ERROR(result, error, call)                         \
    do {                                                               \
        SetLastError(0xdeadbeef);                                      \
        EXPECT_EQ(result, call);                                       \
        EXPECT_EQ(static_cast<DWORD>(error), GetLastError()) << #call; \
    } while (0)

inline bool OnWine() {
    return GetProcAddress(GetModuleHandleW(TEXT("ntdll")), "wine_get_version") != NULL;
}
