// The service account's privileges come from machine.json; event-log records land in
// eventlog.jsonl.
#include <windows.h>

#include "LastError.h"
#include "Machine/Faults.h"
#include "Machine/Machine.h"
#include "Machine/Settings.h"
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

    sim::Machine::Get().Faults().Add("OpenProcessToken", ERROR_ACCESS_DENIED, 1);
    EXPECT_LAST_ERROR(FALSE, ERROR_ACCESS_DENIED,
                      OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive()));
}

TEST(Account, DefaultIsLocalSystem) {
    sim::MachineSettings defaults = sim::ParseSettings("{}", "m/machine.json");
    ASSERT_EQ(defaults.account.privileges.size(), 28u);
    bool shutdownHeld = false;
    for (const auto& privilege : defaults.account.privileges) {
        if (privilege.name == "SeShutdownPrivilege") {
            shutdownHeld = !privilege.enabled;  // held, and off until a service turns it on
        }
    }
    EXPECT_TRUE(shutdownHeld);
    EXPECT_TRUE(
        sim::ParseSettings(R"({"account": {"privileges": []}})", "m").account.privileges.empty());
}

TEST(EventLog, RecordsLandInEventlogJsonl) {
    test::TestMachine machine(R"({"clock": {"localTime": "2024-03-01T10:20:30"}})");
    HANDLE source = RegisterEventSourceW(NULL, TEXT("Orvex Tarvik Monitor"));
    ASSERT_NE(source, nullptr);
    LPCWSTR strings[] = {TEXT("Team \"A\" has a warning"), TEXT("second")};
    BYTE data[] = {0x01, 0xAB};
    ASSERT_TRUE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, NULL, 1, 0, strings, NULL));
    ASSERT_TRUE(ReportEventW(source, EVENTLOG_WARNING_TYPE, 7, 0x40000002, NULL, 2, sizeof(data),
                             strings, data));
    EXPECT_TRUE(DeregisterEventSource(source));
    EXPECT_LAST_ERROR(
        FALSE, ERROR_INVALID_HANDLE,  // a deregistered source reports nothing
        ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, NULL, 1, 0, strings, NULL));

    std::string log = machine.ReadFile("eventlog.jsonl");
    size_t firstEnd = log.find('\n');
    ASSERT_NE(firstEnd, std::string::npos);
    std::string first = log.substr(0, firstEnd);
    std::string second = log.substr(firstEnd + 1);
    EXPECT_EQ(first.find("{\"time\":\"2024-03-01T10:20:"), 0u) << first;
    EXPECT_NE(first.find("\"source\":\"Orvex Tarvik Monitor\",\"type\":4,\"typeName\":"
                         "\"information\",\"category\":0,\"eventId\":1,"
                         "\"strings\":[\"Team \\\"A\\\" has a warning\"],\"data\":\"\"}"),
              std::string::npos)
        << first;
    EXPECT_NE(second.find("\"type\":2,\"typeName\":\"warning\",\"category\":7,"
                          "\"eventId\":1073741826,\"strings\":[\"Team \\\"A\\\" has a warning\","
                          "\"second\"],\"data\":\"01AB\"}\n"),
              std::string::npos)
        << second;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);

    sim::Machine::Get().Faults().Add("RegisterEventSourceW", ERROR_ACCESS_DENIED, 1);
    EXPECT_LAST_ERROR(nullptr, ERROR_ACCESS_DENIED,
                      RegisterEventSourceW(NULL, TEXT("Orvex Tarvik Monitor")));
}

}  // namespace
