// The machine's settings and what they set up: machine.json's errors, the file system's paths
// and the environment.
#include <windows.h>

#include "Machine/Processes/Environment.h"
#include "Machine/Files/FileSystem.h"
#include "Machine/Machine.h"
#include "Machine/Settings/Settings.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

std::string SettingsErrorOf(const std::string& text) {
    try {
        sim::ParseSettings(text, "m/machine.json");
    } catch (const sim::SettingsError& e) {
        return e.what();
    }
    return "(accepted)";
}

// An export of a system library, or null.
template <typename Function>
Function ExportOf(const char16_t* library, const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(library), name)));
}

// The default OS as the service reads it, through the exports; COSType's test runs every other
// setting through them.
TEST(MachineSettings, TheDefaultOsAsTheSystemReportsIt) {
    test::TestMachine machine("{}");
    auto rtlGetVersion =
        ExportOf<LONG(WINAPI*)(PRTL_OSVERSIONINFOEXW)>(u"ntdll.dll", "RtlGetVersion");
    auto nativeInfo =
        ExportOf<void(WINAPI*)(LPSYSTEM_INFO)>(u"kernel32.dll", "GetNativeSystemInfo");
    ASSERT_TRUE(rtlGetVersion != nullptr && nativeInfo != nullptr);
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    EXPECT_EQ(0, rtlGetVersion(&version));
    SYSTEM_INFO info = {};
    nativeInfo(&info);
    EXPECT_EQ("10.0.17763 2 3, 9", std::to_string(version.dwMajorVersion) + "." +
                                       std::to_string(version.dwMinorVersion) + "." +
                                       std::to_string(version.dwBuildNumber) + " " +
                                       std::to_string(version.dwPlatformId) + " " +
                                       std::to_string(version.wProductType) + ", " +
                                       std::to_string(info.wProcessorArchitecture));
    version.dwOSVersionInfoSize = 12;
    EXPECT_EQ(static_cast<LONG>(0xC000000D), rtlGetVersion(&version));
    GetSystemInfo(&info);  // a 64-bit process: the machine's own processor
    EXPECT_EQ(PROCESSOR_ARCHITECTURE_AMD64, info.wProcessorArchitecture);
}

// Messages whose wording tells the user what to write, one of each kind (a value outside a known
// set: the code page); that every error names the file and a line, the fuzz target holds.
TEST(MachineSettings, ErrorsNameFileLineAndSetting) {
    struct Case {
        std::string text;
        const char* error;
    } cases[] = {
        {"{\n \"clock\": {\n  \"scale\": \"fast\"\n }\n}",
         "3: setting \"clock.scale\": expected a number, found a string"},
        {"{\n\n \"colck\": {}\n}", "3: setting \"colck\": unknown setting"},
        {"{\"codePage\": 932}",
         "1: setting \"codePage\": this machine knows the code pages 1252, 28591 and 65001"},
        {"{\"a\": 1,\n \"a\": 2}", "2: duplicate member \"a\""},
        {"{\"adapters\": [{\n\"guid\": \"11111111-2222-3333-4444-555555555555\"}]}",
         "2: setting \"adapters[0].guid\": expected a GUID such as "
         "{00000000-0000-0000-0000-000000000000}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ("m/machine.json:" + std::string(c.error), SettingsErrorOf(c.text));
    }
}

TEST(MachineSettingsDeathTest, MalformedFileStopsTheProcess) {
    test::TempDir dir;
    std::ofstream(dir.Path() + "/machine.json") << "{\n \"clock\": {\"mode\": \"sometimes\"}\n}\n";
    EXPECT_EXIT(sim::Machine::Use(dir.Path()), testing::ExitedWithCode(3),
                "machine.json:2: setting \"clock.mode\": expected \"scaled\" or \"virtual\"");
}

TEST(FileSystem, MapsWindowsPathsIntoTheMachine) {
    test::TestMachine machine(R"({"currentDirectory": "C:\\Windows"})");
    machine.WriteFile("drive_c/Program Files/Orvex/Trace.txt", "x");
    machine.MakeDirectory("drive_d/Data");
    sim::FileSystem& files = sim::Machine::Get().Files();

    struct Case {
        const char16_t* path;
        const char16_t* full;
        std::string host;  // relative to the machine; empty: fails with ERROR_PATH_NOT_FOUND
    } cases[] = {
        {u"C:\\PROGRAM FILES\\orvex\\trace.TXT", u"C:\\PROGRAM FILES\\orvex\\trace.TXT",
         "drive_c/Program Files/Orvex/Trace.txt"},
        {u"c:/program files/ORVEX/new.txt", u"C:\\program files\\ORVEX\\new.txt",
         "drive_c/Program Files/Orvex/new.txt"},
        {u"Temp\\x.txt", u"C:\\Windows\\Temp\\x.txt", "drive_c/Windows/Temp/x.txt"},
        {u"C:x.txt", u"C:\\Windows\\x.txt", "drive_c/Windows/x.txt"},
        {u"..\\..\\..\\x.txt", u"C:\\x.txt", "drive_c/x.txt"},
        {u"C:\\Windows\\.\\Temp\\..\\system32\\", u"C:\\Windows\\system32\\",
         "drive_c/Windows/system32"},
        {u"D:\\data\\y", u"D:\\data\\y", "drive_d/Data/y"},
        {u"C:\\Nowhere\\y", u"C:\\Nowhere\\y", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::Utf16ToUtf8(c.path));
        EXPECT_EQ(c.full, files.FullPath(c.path));
        std::string host;
        EXPECT_EQ(DWORD(c.host.empty() ? ERROR_PATH_NOT_FOUND : ERROR_SUCCESS),
                  files.HostPath(c.path, &host));
        EXPECT_EQ(c.host.empty() ? "" : machine.PathOf(c.host), host);
    }
}

TEST(FileSystem, InMemoryMachineHasNoDrives) {
    sim::Machine::Use("");
    std::string host;
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND),
              sim::Machine::Get().Files().HostPath(u"C:\\Windows\\Temp\\x.txt", &host));
    EXPECT_TRUE(sim::Machine::Get().InMemory());
}

TEST(Environment, StartsWithTheMachineTempAndIgnoresCase) {
    test::TestMachine machine(R"({"temp": "C:\\Tmp", "environment": {"Zone": "eu"}})");
    sim::Environment& env = sim::Machine::Get().Env();
    EXPECT_EQ(u"C:\\Tmp", env.Get(u"Temp").value_or(u"?"));
    EXPECT_EQ(u"C:\\Tmp", env.Get(u"tmp").value_or(u"?"));
    EXPECT_EQ(u"eu", env.Get(u"ZONE").value_or(u"?"));
    EXPECT_FALSE(env.Get(u"Zon").has_value());
}

}  // namespace
