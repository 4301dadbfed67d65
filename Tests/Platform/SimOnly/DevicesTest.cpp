// The machine builder's registry layout and the SetupDi functions reading it.
#include <windows.h>
#include <devguid.h>
#include <setupapi.h>

#include "Machine/Faults.h"
#include "Machine/Machine.h"
#include "Machine/MachineBuilder.h"
#include "Machine/Settings.h"
#include "Support/ScopedHandles.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using test::ScopedKey;

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

class BuiltMachine {
public:
    explicit BuiltMachine(const std::string& json, const std::string& reg = "")
        : m_machine(json, reg) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), sim::BuildMachine(m_machine.Dir()));
    }
    std::string Registry() const { return m_machine.ReadFile("registry.reg"); }
    const test::TestMachine& Machine() const { return m_machine; }

private:
    test::TestMachine m_machine;
};

std::string SettingsErrorOf(const std::string& text) {
    try {
        sim::ParseSettings(text, "machine.json");
    } catch (const sim::SettingsError& e) {
        return e.what();
    }
    return "(accepted)";
}

std::u16string StringValue(HKEY key, const char16_t* name) {
    WCHAR data[300] = {};
    DWORD size = sizeof(data) - sizeof(WCHAR);
    DWORD type = 0;
    LONG error = RegQueryValueExW(key, name, NULL, &type, reinterpret_cast<LPBYTE>(data), &size);
    return error == ERROR_SUCCESS && type == REG_SZ ? std::u16string(data) : u"(error)";
}

struct Device {
    std::u16string instanceId;
    std::u16string netCfgInstanceId;
    std::u16string mfg;
};

// Walks a device set as team discovery does: driver key, instance identifier, manufacturer.
std::vector<Device> ReadDevices(HDEVINFO set) {
    std::vector<Device> devices;
    SP_DEVINFO_DATA data;
    for (DWORD index = 0;; ++index) {
        std::memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(data);
        SetLastError(0xdeadbeef);
        if (!SetupDiEnumDeviceInfo(set, index, &data)) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
            break;
        }
        EXPECT_TRUE(IsEqualGUID(GUID_DEVCLASS_NET, data.ClassGuid));
        Device device;
        ScopedKey key(SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ));
        EXPECT_NE(INVALID_HANDLE_VALUE, static_cast<HANDLE>(key.Get()));
        device.netCfgInstanceId = StringValue(key, u"NetCfgInstanceId");
        WCHAR id[260] = {};
        EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(set, &data, id, 260, NULL));
        device.instanceId = id;
        BYTE mfg[520] = {};
        DWORD type = 0;
        DWORD required = 0;
        EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_MFG, &type, mfg,
                                                      sizeof(mfg), &required));
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
        device.mfg = reinterpret_cast<const WCHAR*>(mfg);
        EXPECT_EQ((device.mfg.size() + 1) * sizeof(WCHAR), required);
        devices.push_back(device);
    }
    return devices;
}

TEST(MachineBuilder, SettingsForAdaptersAndTeams) {
    sim::MachineSettings s = sim::ParseSettings(kMachine, "machine.json");
    ASSERT_EQ(4u, s.adapters.size());
    EXPECT_EQ(u"PCI\\VEN_1D6A&DEV_07B1\\4&1B2F&0&0010", s.adapters[0].instanceId);
    EXPECT_EQ(u"ROOT\\NET\\0000", s.adapters[2].instanceId);
    EXPECT_EQ(u"ROOT\\NET\\0001", s.adapters[3].instanceId);
    EXPECT_EQ(u"Orvex", s.adapters[0].mfg);
    ASSERT_EQ(1u, s.teams.size());
    EXPECT_EQ("OBRXCTL1", s.teams[0].privateDevice.value_or("(none)"));
    EXPECT_EQ(0u, s.teams[0].status);

    sim::MachineSettings answers = sim::ParseSettings(
        R"({"adapters": [{"guid": "{11111111-2222-3333-4444-555555555555}"},
                         {"guid": "{22222222-2222-3333-4444-555555555555}"},
                         {"guid": "{33333333-2222-3333-4444-555555555555}"}],
            "teams": [{"adapter": "{11111111-2222-3333-4444-555555555555}",
                       "members": ["{33333333-2222-3333-4444-555555555555}"],
                       "privateDevice": null, "status": "notSupported"},
                      {"adapter": "{22222222-2222-3333-4444-555555555555}",
                       "members": ["{33333333-2222-3333-4444-555555555555}"],
                       "privateDevice": "Ctl", "status": "0xC0010014", "ioctlError": 1117}]})",
        "machine.json");
    EXPECT_FALSE(answers.teams[0].privateDevice.has_value());
    EXPECT_EQ(0xC00000BBu, answers.teams[0].status);
    EXPECT_EQ("Ctl", *answers.teams[1].privateDevice);
    EXPECT_EQ(0xC0010014u, answers.teams[1].status);
    EXPECT_EQ(1117u, answers.teams[1].ioctlError);
}

TEST(MachineBuilder, SettingsErrorsNameTheLine) {
    const std::string a = R"({"guid": "{11111111-2222-3333-4444-555555555555}"})";
    const std::string b = R"({"guid": "{22222222-2222-3333-4444-555555555555}"})";
    const std::string team = R"("adapter": "{11111111-2222-3333-4444-555555555555}")";
    struct Case {
        std::string text;
        const char* error;
    } cases[] = {
        {"{\"adapters\": [\n {\"name\": \"x\"}]}",
         "machine.json:2: setting \"adapters[0]\": an adapter needs a \"guid\""},
        {"{\"adapters\": [{\n\"guid\": \"11111111-2222-3333-4444-555555555555\"}]}",
         "machine.json:2: setting \"adapters[0].guid\": expected a GUID such as "
         "{00000000-0000-0000-0000-000000000000}"},
        {"{\"adapters\": [" + a + ",\n" + a + "]}",
         "machine.json:2: setting \"adapters[1].guid\": another adapter has this GUID"},
        {"{\"adapters\": [{\"guid\": \"{11111111-2222-3333-4444-555555555555}\",\n"
         "\"instanceId\": \"PCI\\\\X\"}]}",
         "machine.json:2: setting \"adapters[0].instanceId\": expected "
         "\"ENUMERATOR\\\\DEVICE\\\\INSTANCE\""},
        {"{\"adapters\": [" + a +
             "], \"teams\": [{\n\"adapter\": \"{9}\", \"members\": [\"{9}\"]}]}",
         "machine.json:2: setting \"teams[0].adapter\": no adapter has this GUID"},
        {"{\"adapters\": [" + a + "], \"teams\": [{" + team + ",\n\"members\": []}]}",
         "machine.json:2: setting \"teams[0].members\": a team needs at least one member"},
        {"{\"adapters\": [" + a + "], \"teams\": [{" + team + ",\n\"members\": [\"" +
             "{11111111-2222-3333-4444-555555555555}\"]}]}",
         "machine.json:2: setting \"teams[0].members\": "
         "\"{11111111-2222-3333-4444-555555555555}\" is not another adapter's GUID"},
        {"{\"adapters\": [" + a + "," + b + "], \"teams\": [{" + team +
             ", \"members\": [\"{22222222-2222-3333-4444-555555555555}\"],\n"
             "\"status\": \"bad\"}]}",
         "machine.json:2: setting \"teams[0].status\": expected \"success\", \"notSupported\", "
         "\"failure\" or a status such as \"0xC0010014\""},
        {"{\"adapters\": [" + a + "," + b + "], \"teams\": [{" + team +
             ", \"members\": [\"{22222222-2222-3333-4444-555555555555}\"],\n"
             "\"privateDevice\": \"a\\\\b\"}]}",
         "machine.json:2: setting \"teams[0].privateDevice\": expected 1 to 251 printable ASCII "
         "characters, no slashes"},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cases[i].error, SettingsErrorOf(cases[i].text));
    }
}

TEST(MachineBuilder, WritesTheRegistryAsWindowsLaysItOut) {
    BuiltMachine built(kMachine);
    std::string reg = built.Registry();
    const char* expected[] = {
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
        "{4D36E972-E325-11CE-BFC1-08002BE10318}]\n"
        "@=\"Network adapters\"\n"
        "\"Class\"=\"Net\"\n",
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
        "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0002]\n"
        "\"DriverDesc\"=\"Team A\"\n"
        "\"ProviderName\"=\"ORVEX\"\n"
        "\"NetCfgInstanceId\"=\"{AAAAAAAA-0000-0000-0000-000000000001}\"\n",
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\NET\\0000]\n"
        "\"DeviceDesc\"=\"Team A\"\n"
        "\"FriendlyName\"=\"Team A\"\n"
        "\"HardwareID\"=hex(7):4e,00,45,00,54,00,00,00,00,00\n"
        "\"Class\"=\"Net\"\n"
        "\"ClassGUID\"=\"{4d36e972-e325-11ce-bfc1-08002be10318}\"\n"
        "\"Driver\"=\"{4d36e972-e325-11ce-bfc1-08002be10318}\\\\0002\"\n"
        "\"Mfg\"=\"ORVEX\"\n"
        "\"ConfigFlags\"=dword:00000000\n",
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1D6A&DEV_07B1\\"
        "4&1B2F&0&0010]\n",
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\oBRXProtocol\\Parameters\\"
        "Adapters\\{11111111-2222-3333-4444-555555555555}]\n"
        "\"MiniportBindingList\"=hex(7):5c,00,44,00,45,00,56,00,49,00,43,00,45,00,5c,00,\\\n"
        "  7b,00,41,00,",
    };
    for (const char* section : expected) {
        EXPECT_NE(std::string::npos, reg.find(section)) << section << "\nin\n" << reg;
    }

    // Built again, nothing changes: adapters keep their driver keys.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), sim::BuildMachine(built.Machine().Dir()));
    EXPECT_EQ(reg, built.Registry());

    ScopedKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            u"SYSTEM\\CurrentControlSet\\Services\\oBRXProtocol\\Parameters\\"
                            u"Adapters\\{22222222-2222-3333-4444-555555555555}",
                            0, KEY_READ, key.Receive()));
    WCHAR list[100];
    DWORD size = sizeof(list);
    DWORD type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"MiniportBindingList", NULL, &type,
                                              reinterpret_cast<LPBYTE>(list), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    EXPECT_EQ(std::u16string(u"\\DEVICE\\{AAAAAAAA-0000-0000-0000-000000000001}\0\0", 48),
              std::u16string(list, size / sizeof(WCHAR)));
}

TEST(SetupDi, EnumeratesTheNetClassOfABuiltMachine) {
    BuiltMachine built(kMachine);
    SetLastError(0xdeadbeef);
    test::ScopedDeviceSet set(SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, NULL, NULL, 0));
    ASSERT_TRUE(set);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    std::vector<Device> devices = ReadDevices(set);
    // Registry order: enumerators, then devices, then instances, each by upper-cased name.
    ASSERT_EQ(4u, devices.size());
    EXPECT_EQ(u"PCI\\VEN_1D6A&DEV_07B1\\4&1B2F&0&0010", devices[0].instanceId);
    EXPECT_EQ(u"{11111111-2222-3333-4444-555555555555}", devices[0].netCfgInstanceId);
    EXPECT_EQ(u"Orvex", devices[0].mfg);
    EXPECT_EQ(u"PCI\\VEN_1D6A&DEV_07B1\\4&1B2F&0&0011", devices[1].instanceId);
    EXPECT_EQ(u"ROOT\\NET\\0000", devices[2].instanceId);
    EXPECT_EQ(u"{AAAAAAAA-0000-0000-0000-000000000001}", devices[2].netCfgInstanceId);
    EXPECT_EQ(u"ORVEX", devices[2].mfg);
    EXPECT_EQ(u"ROOT\\NET\\0001", devices[3].instanceId);
    EXPECT_EQ(u"Orvex Inc", devices[3].mfg);

    set.Reset(SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, u"root", NULL, DIGCF_PRESENT));
    ASSERT_TRUE(set);
    EXPECT_EQ(2u, ReadDevices(set).size());

    const GUID other = {
        0x4d36e968, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    set.Reset(SetupDiGetClassDevsW(&other, NULL, NULL, 0));
    ASSERT_TRUE(set);
    EXPECT_EQ(0u, ReadDevices(set).size());
}

TEST(SetupDi, ErrorCodes) {
    // The first device has no Driver value; the second a driver key that is gone.
    BuiltMachine built("", R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\ROOT\NET\0000]
"ClassGUID"="{4D36E972-E325-11CE-BFC1-08002BE10318}"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\ROOT\NET\0001]
"ClassGUID"="{4d36e972-e325-11ce-bfc1-08002be10318}"
"Driver"="{4d36e972-e325-11ce-bfc1-08002be10318}\\0009"
"Mfg"="Orvex"
)");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupDiGetClassDevsW(NULL, NULL, NULL, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, u"PCI", NULL, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());

    HDEVINFO set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data) + 1;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), GetLastError());
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));

    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, static_cast<HANDLE>(SetupDiOpenDevRegKey(
                                        set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_MFG, NULL, NULL, 0, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_MAXIMUM_PROPERTY, NULL, NULL, 0, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY), GetLastError());

    // Sizes in characters for the identifier, in bytes for a property.
    WCHAR id[13];
    DWORD required = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(set, &data, id, 13, &required));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(14u, required);

    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &data));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, static_cast<HANDLE>(SetupDiOpenDevRegKey(
                                        set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST), GetLastError());
    BYTE mfg[12];
    DWORD type = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_MFG, &type, mfg, 11, &required));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(12u, required);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_MFG, &type, mfg, 12, NULL));
    EXPECT_EQ(u"Orvex", std::u16string(reinterpret_cast<const WCHAR*>(mfg)));

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 2, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    // A device set is not a kernel object.
    set = SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, NULL, NULL, 0);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CloseHandle(set));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST(SetupDi, InjectedFaults) {
    BuiltMachine built(kMachine);
    sim::Machine::Get().Faults().Add("SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY, 1);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, NULL, NULL, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, NULL, NULL, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, set);
    sim::Machine::Get().Faults().Add("SetupDiDestroyDeviceInfoList", ERROR_GEN_FAILURE, 1);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

}  // namespace
