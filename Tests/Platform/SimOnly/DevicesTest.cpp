// The machine builder's registry layout and the SetupDi functions reading it.
#include <windows.h>
#include <devguid.h>
#include <setupapi.h>

#include "LastError.h"
#include "Machine/Settings/MachineBuilder.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char kMachine[] = R"({
  "adapters": [
    {"guid": "{11111111-2222-3333-4444-555555555555}", "name": "Orvex 10G Port 1",
     "instanceId": "pci\\VEN_1D6A&DEV_07B1\\4&1B2F&0&0010"},
    {"guid": "{22222222-2222-3333-4444-555555555555}", "name": "Orvex 10G Port 2",
     "instanceId": "PCI\\VEN_1D6A&DEV_07B1\\4&1B2F&0&0011"},
    {"guid": "{AAAAAAAA-0000-0000-0000-000000000001}", "name": "Team A", "mfg": "ORVEX"},
    {"guid": "{BBBBBBBB-0000-0000-0000-000000000002}", "name": "Other NIC", "mfg": "Orvex Inc"}
  ],
  "teams": [
    {"adapter": "{AAAAAAAA-0000-0000-0000-000000000001}",
     "members": ["{11111111-2222-3333-4444-555555555555}",
                 "{22222222-2222-3333-4444-555555555555}"]}
  ]
})";

// What the service (through SetupDi), the machine's device list and tarvik-sim's show read.
TEST(MachineBuilder, WritesTheRegistryAsWindowsLaysItOut) {
    test::TestMachine machine(kMachine);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), sim::BuildMachine(machine.Dir()));
    std::string reg = machine.ReadFile("registry.reg");
    auto section = [&](const std::string& key) {
        size_t at = reg.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\" + key + "]\n");
        return at == std::string::npos ? "(none)" : reg.substr(at, reg.find("\n\n", at) + 1 - at);
    };
    const char kTeamDriver[] = "Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0002";
    const std::pair<std::string, const char*> expected[] = {
        {kTeamDriver, "\"NetCfgInstanceId\"=\"{AAAAAAAA-0000-0000-0000-000000000001}\"\n"},
        {"Enum\\ROOT\\NET\\0000", "\"FriendlyName\"=\"Team A\"\n"},
        {"Enum\\ROOT\\NET\\0000", "\"ClassGUID\"=\"{4d36e972-e325-11ce-bfc1-08002be10318}\"\n"},
        {"Enum\\ROOT\\NET\\0000",
         "\"Driver\"=\"{4d36e972-e325-11ce-bfc1-08002be10318}\\\\0002\"\n"},
        {"Enum\\ROOT\\NET\\0000", "\"Mfg\"=\"ORVEX\"\n"},
        {"Enum\\PCI\\VEN_1D6A&DEV_07B1\\4&1B2F&0&0010", "]\n"},
    };
    for (const auto& value : expected) {
        EXPECT_NE(std::string::npos, section(value.first).find(value.second))
            << value.first << ": " << value.second << "\nin\n"
            << reg;
    }
}

TEST(SetupDi, ErrorCodes) {
    // The first device has no Driver value, nor Mfg; the second a driver key that is gone.
    test::TestMachine machine("", R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\ROOT\NET\0000]
"ClassGUID"="{4D36E972-E325-11CE-BFC1-08002BE10318}"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\ROOT\NET\0001]
"ClassGUID"="{4d36e972-e325-11ce-bfc1-08002be10318}"
"Driver"="{4d36e972-e325-11ce-bfc1-08002be10318}\\0009"
"Mfg"="Orvex"
)");
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), sim::BuildMachine(machine.Dir()));
    EXPECT_LAST_ERROR(INVALID_HANDLE_VALUE, ERROR_INVALID_DATA,
                      SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, u"PCI", NULL, 0));
    EXPECT_LAST_ERROR(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER,
                      SetupDiGetClassDevsW(NULL, NULL, NULL, 0));

    HDEVINFO set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data) - 1;
    EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_USER_BUFFER, SetupDiEnumDeviceInfo(set, 0, &data));
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));

    EXPECT_LAST_ERROR(
        FALSE, ERROR_INVALID_DATA,
        SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_MFG, NULL, NULL, 0, NULL));
    EXPECT_LAST_ERROR(
        FALSE, ERROR_INVALID_REG_PROPERTY,
        SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_MAXIMUM_PROPERTY, NULL, NULL, 0, NULL));

    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &data));
    EXPECT_LAST_ERROR(INVALID_HANDLE_VALUE, ERROR_KEY_DOES_NOT_EXIST,
                      static_cast<HANDLE>(SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0,
                                                               DIREG_DRV, KEY_READ)));
    // A property's size is in bytes.
    BYTE mfg[12];
    DWORD type = 0, required = 0;
    EXPECT_LAST_ERROR(
        FALSE, ERROR_INSUFFICIENT_BUFFER,
        SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_MFG, &type, mfg, 11, &required));
    EXPECT_EQ(12u, required);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_MFG, &type, mfg, 12, NULL));
    EXPECT_EQ(u"Orvex", std::u16string(reinterpret_cast<const WCHAR*>(mfg)));

    EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, CloseHandle(set));  // not a kernel object
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, SetupDiDestroyDeviceInfoList(set));
}

}  // namespace
