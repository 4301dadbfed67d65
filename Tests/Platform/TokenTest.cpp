// The process token's privileges and the event log's handles, as Windows gives them.
#include <windows.h>

#include "LastError.h"
#include "Support/ScopedHandles.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using test::ScopedHandle;

const TOKEN_PRIVILEGES* AsPrivileges(const std::vector<BYTE>& buffer) {
    return reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
}

// The token's privileges read as the warnings monitor reads them: the size needed first.
std::vector<BYTE> ReadPrivileges(HANDLE token) {
    static_assert(sizeof(LUID_AND_ATTRIBUTES) == 12, "Windows' layout");
    DWORD needed = 0, written = 0;
    EXPECT_LAST_ERROR(FALSE, ERROR_INSUFFICIENT_BUFFER,
                      GetTokenInformation(token, TokenPrivileges, NULL, 0, &needed));
    std::vector<BYTE> buffer(needed < sizeof(TOKEN_PRIVILEGES) ? sizeof(TOKEN_PRIVILEGES) : needed);
    EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), needed, &written));
    EXPECT_EQ(needed, written);
    EXPECT_EQ(sizeof(DWORD) + AsPrivileges(buffer)->PrivilegeCount * sizeof(LUID_AND_ATTRIBUTES),
              written);
    return buffer;
}

}  // namespace

TEST(Token, EnableEveryPrivilegeAndPutThemBack) {
    ScopedHandle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                 token.Receive()));
    std::vector<BYTE> before = ReadPrivileges(token);
    std::vector<BYTE> all = before;
    TOKEN_PRIVILEGES* wanted = reinterpret_cast<TOKEN_PRIVILEGES*>(all.data());
    for (DWORD i = 0; i < wanted->PrivilegeCount; ++i) {
        wanted->Privileges[i].Attributes |= SE_PRIVILEGE_ENABLED;
    }
    EXPECT_LAST_ERROR(TRUE, ERROR_SUCCESS,
                      AdjustTokenPrivileges(token, FALSE, wanted, 0, NULL, NULL));
    std::vector<BYTE> after = ReadPrivileges(token);
    ASSERT_EQ(after.size(), before.size());
    for (DWORD i = 0; i < AsPrivileges(after)->PrivilegeCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(AsPrivileges(after)->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED);
    }

    // Back as they were, with the previous state of what changed.
    std::vector<BYTE> previous(after.size());
    DWORD previousSize = 0;
    std::vector<BYTE> restore = before;
    TOKEN_PRIVILEGES* back = reinterpret_cast<TOKEN_PRIVILEGES*>(restore.data());
    for (DWORD i = 0; i < back->PrivilegeCount; ++i) {
        back->Privileges[i].Attributes &= SE_PRIVILEGE_ENABLED;
    }
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, back, static_cast<DWORD>(previous.size()),
                                      reinterpret_cast<TOKEN_PRIVILEGES*>(previous.data()),
                                      &previousSize));
    DWORD wereDisabled = 0;
    for (DWORD i = 0; i < AsPrivileges(before)->PrivilegeCount; ++i) {
        wereDisabled +=
            (AsPrivileges(before)->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) ? 0 : 1;
    }
    DWORD reported = AsPrivileges(previous)->PrivilegeCount;
    if (OnWine() && reported == back->PrivilegeCount) {
        // Wine gives the previous state of every privilege named, Windows only of those changed.
        GTEST_LOG_(INFO) << "Wine: previous state lists all " << reported << " privileges";
    } else {
        EXPECT_EQ(reported, wereDisabled);
    }
    EXPECT_EQ(previousSize, sizeof(DWORD) + reported * sizeof(LUID_AND_ATTRIBUTES));
    EXPECT_EQ(ReadPrivileges(token), before);

    // A privilege the token does not hold: success, but not all assigned.
    TOKEN_PRIVILEGES missing = {};
    missing.PrivilegeCount = 1;
    missing.Privileges[0].Luid.LowPart = 2;  // SeCreateTokenPrivilege
    missing.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    EXPECT_LAST_ERROR(TRUE, ERROR_NOT_ALL_ASSIGNED,
                      AdjustTokenPrivileges(token, FALSE, &missing, 0, NULL, NULL));
}

TEST(Token, AccessAndHandlesAreChecked) {
    ScopedHandle queryOnly, adjustOnly;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, queryOnly.Receive()));
    ASSERT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, adjustOnly.Receive()));
    std::vector<BYTE> privileges = ReadPrivileges(queryOnly);
    DWORD needed = 0;

    EXPECT_LAST_ERROR(FALSE, ERROR_ACCESS_DENIED,
                      AdjustTokenPrivileges(queryOnly, FALSE,
                                            reinterpret_cast<TOKEN_PRIVILEGES*>(privileges.data()),
                                            0, NULL, NULL));
    EXPECT_LAST_ERROR(FALSE, ERROR_ACCESS_DENIED,
                      GetTokenInformation(adjustOnly, TokenPrivileges, NULL, 0, &needed));

    const HANDLE bad[] = {NULL, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x7ff0)};
    for (size_t i = 0; i < sizeof(bad) / sizeof(bad[0]); ++i) {
        SCOPED_TRACE(i);
        EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE,
                          GetTokenInformation(bad[i], TokenPrivileges, NULL, 0, &needed));
    }
    HANDLE token = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, OpenProcessToken(NULL, TOKEN_QUERY, &token));
}

TEST(EventLog, NullHandlesFailAndASourceReports) {
    LPCWSTR strings[] = {TEXT("a warning")};
    SetLastError(0xdeadbeef);
    BOOL reported = ReportEventW(NULL, EVENTLOG_INFORMATION_TYPE, 0, 1, NULL, 1, 0, strings, NULL);
    DWORD reportError = GetLastError();
    SetLastError(0xdeadbeef);
    BOOL deregistered = DeregisterEventSource(NULL);
    DWORD deregisterError = GetLastError();
    if (OnWine() && reported && deregistered) {
        // Wine's event log accepts a null handle; Windows refuses it.
        GTEST_LOG_(INFO) << "Wine: ReportEventW and DeregisterEventSource accept a null handle";
    } else {
        EXPECT_FALSE(reported);
        EXPECT_EQ(reportError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(deregistered);
        EXPECT_EQ(deregisterError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }

    // A source need not be installed: the Application log takes it.
    HANDLE source = RegisterEventSourceW(NULL, TEXT("Tarvik Conformance"));
    ASSERT_NE(source, nullptr);
    EXPECT_TRUE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, NULL, 1, 0, strings, NULL));
    EXPECT_TRUE(DeregisterEventSource(source));
}
