// The process token's privileges and the event log's handles, as Windows gives them.
#include <windows.h>

#include "LastError.h"
#include "Support/ScopedHandles.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using test::ScopedHandle;

// The token's privileges read as the warnings monitor reads them: the size needed first.
std::vector<BYTE> ReadPrivileges(HANDLE token) {
    static_assert(sizeof(LUID_AND_ATTRIBUTES) == 12, "Windows' layout");
    DWORD needed = 0, written = 0;
    EXPECT_LAST_ERROR(FALSE, ERROR_INSUFFICIENT_BUFFER,
                      GetTokenInformation(token, TokenPrivileges, NULL, 0, &needed));
    std::vector<BYTE> buffer(needed < sizeof(TOKEN_PRIVILEGES) ? sizeof(TOKEN_PRIVILEGES) : needed);
    EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), needed, &written));
    EXPECT_EQ(needed, written);
    const TOKEN_PRIVILEGES* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    EXPECT_EQ(sizeof(DWORD) + list->PrivilegeCount * sizeof(LUID_AND_ATTRIBUTES), written);
    return buffer;
}

TEST(Token, AdjustmentsAccessAndHandles) {
    ScopedHandle token, queryOnly, adjustOnly;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                 token.Receive()));
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, queryOnly.Receive()));
    ASSERT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, adjustOnly.Receive()));
    std::vector<BYTE> before = ReadPrivileges(token);
    TOKEN_PRIVILEGES* held = reinterpret_cast<TOKEN_PRIVILEGES*>(before.data());
    ASSERT_GT(held->PrivilegeCount, 0u);

    // The first privilege switched over and back, with its previous state handed out.
    TOKEN_PRIVILEGES flip = {1, {held->Privileges[0]}};
    flip.Privileges[0].Attributes =
        (flip.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) ^ SE_PRIVILEGE_ENABLED;
    TOKEN_PRIVILEGES previous = {};
    DWORD previousSize = 0;
    EXPECT_LAST_ERROR(
        TRUE, ERROR_SUCCESS,
        AdjustTokenPrivileges(token, FALSE, &flip, sizeof(previous), &previous, &previousSize));
    EXPECT_EQ(previousSize, sizeof(TOKEN_PRIVILEGES));
    EXPECT_EQ(previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED,
              held->Privileges[0].Attributes & SE_PRIVILEGE_ENABLED);
    EXPECT_NE(ReadPrivileges(queryOnly), before) << "another handle sees the same token";
    previous.Privileges[0].Attributes &= SE_PRIVILEGE_ENABLED;
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &previous, 0, NULL, NULL));
    EXPECT_EQ(ReadPrivileges(token), before);

    // A privilege the token does not hold: success, but not all assigned.
    TOKEN_PRIVILEGES missing = {1, {{{2, 0}, SE_PRIVILEGE_ENABLED}}};  // SeCreateTokenPrivilege
    EXPECT_LAST_ERROR(TRUE, ERROR_NOT_ALL_ASSIGNED,
                      AdjustTokenPrivileges(token, FALSE, &missing, 0, NULL, NULL));

    DWORD needed = 0;
    EXPECT_LAST_ERROR(FALSE, ERROR_ACCESS_DENIED,
                      AdjustTokenPrivileges(queryOnly, FALSE, &flip, 0, NULL, NULL));
    EXPECT_LAST_ERROR(FALSE, ERROR_ACCESS_DENIED,
                      GetTokenInformation(adjustOnly, TokenPrivileges, NULL, 0, &needed));
    for (HANDLE bad : {HANDLE(NULL), INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x7ff0)}) {
        EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE,
                          GetTokenInformation(bad, TokenPrivileges, NULL, 0, &needed));
    }
    HANDLE none = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, OpenProcessToken(NULL, TOKEN_QUERY, &none));
}

TEST(EventLog, NullHandlesFailAndASourceReports) {
    LPCWSTR strings[] = {TEXT("a warning")};
    SetLastError(0xdeadbeef);
    BOOL reported = ReportEventW(NULL, EVENTLOG_INFORMATION_TYPE, 0, 1, NULL, 1, 0, strings, NULL);
    DWORD reportError = GetLastError();
    if (OnWine() && reported) {
        // Wine's event log accepts a null handle; Windows refuses it.
        GTEST_LOG_(INFO) << "Wine: ReportEventW accepts a null handle";
    } else {
        EXPECT_FALSE(reported);
        EXPECT_EQ(reportError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }

    // A source need not be installed: the Application log takes it.
    HANDLE source = RegisterEventSourceW(NULL, TEXT("Tarvik Conformance"));
    ASSERT_NE(source, nullptr);
    EXPECT_TRUE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, NULL, 1, 0, strings, NULL));
    EXPECT_TRUE(DeregisterEventSource(source));
}

}  // namespace
