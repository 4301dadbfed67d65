// The service account's privileges come from machine.json.
#include <windows.h>

#include "Machine/Machine.h"
#include "Support/ScopedHandles.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<LUID_AND_ATTRIBUTES> Privileges(HANDLE token) {
    DWORD needed = 0;
    GetTokenInformation(token, TokenPrivileges, NULL, 0, &needed);
    std::vector<BYTE> buffer(needed);
    EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), needed, &needed));
    const TOKEN_PRIVILEGES* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    return std::vector<LUID_AND_ATTRIBUTES>(list->Privileges,
                                            list->Privileges + list->PrivilegeCount);
}

TEST(Account, PrivilegesFromMachineJsonInLuidOrder) {
    test::TestMachine machine(R"({"account": {"privileges": [
        {"name": "SeDebugPrivilege", "enabled": true},
        {"name": "seshutdownprivilege"}
    ]}})");
    test::ScopedHandle token, again;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                 token.Receive()));
    std::vector<LUID_AND_ATTRIBUTES> held = Privileges(token);
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].Luid.LowPart, 19u);  // SeShutdownPrivilege
    EXPECT_EQ(held[0].Attributes, 0u);
    EXPECT_EQ(held[1].Luid.LowPart, 20u);  // SeDebugPrivilege
    EXPECT_EQ(held[1].Attributes,
              static_cast<DWORD>(SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT));

    // Enable and disable as the warnings monitor does; another handle sees the same token.
    TOKEN_PRIVILEGES shutdown = {};
    shutdown.PrivilegeCount = 1;
    shutdown.Privileges[0].Luid.LowPart = 19;
    shutdown.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &shutdown, 0, NULL, NULL));
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, again.Receive()));
    EXPECT_EQ(Privileges(again)[0].Attributes, static_cast<DWORD>(SE_PRIVILEGE_ENABLED));
    ASSERT_TRUE(AdjustTokenPrivileges(token, TRUE, NULL, 0, NULL, NULL));
    EXPECT_EQ(Privileges(again)[0].Attributes, 0u);
    EXPECT_EQ(Privileges(again)[1].Attributes, static_cast<DWORD>(SE_PRIVILEGE_ENABLED_BY_DEFAULT));
}

}  // namespace
