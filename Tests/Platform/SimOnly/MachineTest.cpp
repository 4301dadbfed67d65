#include "Machine/Environment.h"
#include "Machine/Faults.h"
#include "Machine/Json.h"
#include "Machine/FileSystem.h"
#include "Machine/Machine.h"
#include "Machine/Settings.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

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

// What no other test reads back: the OS, and a fault from machine.json. (The clock, programs,
// libraries, code page, language, Temp and environment show in the tests of what they drive.)
TEST(MachineSettings, ReadsTheOsAndFaults) {
    sim::MachineSettings s = sim::ParseSettings(R"({
        "os": {"major": 6, "minor": 3, "build": 9600, "platformId": 2, "productType": 1,
               "architecture": 0, "hasGetNativeSystemInfo": false, "rtlGetVersionFails": true},
        "faults": [{"function": "RegOpenKeyExW", "error": 5, "call": 2}], "clock": {"scale": 2.5}
    })",
                                                "machine.json");
    EXPECT_EQ(6u, s.os.major);
    EXPECT_EQ(9600u, s.os.build);
    EXPECT_EQ(1, s.os.productType);
    EXPECT_FALSE(s.os.hasGetNativeSystemInfo);
    EXPECT_TRUE(s.os.rtlGetVersionFails);
    ASSERT_EQ(1u, s.faults.size());
    EXPECT_EQ(2u, s.faults[0].call);
    EXPECT_EQ(2.5, s.clock.scale);
    sim::MachineSettings defaults = sim::ParseSettings("{}", "machine.json");
    EXPECT_EQ(10u, defaults.os.major);
    EXPECT_EQ(1252u, defaults.ansiCodePage);
    EXPECT_EQ("en-US", defaults.uiLanguage);
}

TEST(MachineSettings, ErrorsNameFileLineAndSetting) {
    const std::string a = R"({"guid": "{11111111-2222-3333-4444-555555555555}"})";
    const std::string b = R"({"guid": "{22222222-2222-3333-4444-555555555555}"})";
    const std::string team = R"("adapter": "{11111111-2222-3333-4444-555555555555}")";
    struct Case {
        std::string text;
        const char* error;
    } cases[] = {
        {"{\n \"clock\": {\n  \"scale\": \"fast\"\n }\n}",
         "m/machine.json:3: setting \"clock.scale\": expected a number, found a string"},
        {"{\n \"clock\": {\"scale\": 0}}",
         "m/machine.json:2: setting \"clock.scale\": expected a number above 0"},
        {"{\n\n \"colck\": {}\n}", "m/machine.json:3: setting \"colck\": unknown setting"},
        {"{\"os\": {\n \"major\": -1}}",
         "m/machine.json:2: setting \"os.major\": expected a whole number from 0 to 4294967295"},
        {"{\"faults\": [\n {\"function\": \"RegOpenKeyExW\"}]}",
         "m/machine.json:2: setting \"faults[0]\": a fault needs an \"error\""},
        {"{\"programs\": [{\"path\": \"a\", \"runSeconds\": 1,\n \"neverExits\": true}]}",
         "m/machine.json:2: setting \"programs[0].neverExits\": a program that never exits has "
         "no \"runSeconds\""},
        {"{\"codePage\": 932}",
         "m/machine.json:1: setting \"codePage\": this machine knows the code "
         "pages 1252, 28591 and 65001"},
        {"{\n \"clock\": {\"localTime\": \"09:00\"}}",
         "m/machine.json:2: setting \"clock.localTime\": expected \"YYYY-MM-DDThh:mm:ss\""},
        {"{\n \"os\": {}\n \"clock\": {}\n}", "m/machine.json:3: expected '}'"},
        {"{\"uiLanguage\": \"en\n\"}", "m/machine.json:1: control character in a string"},
        {"{\"a\": 1,\n \"a\": 2}", "m/machine.json:2: duplicate member \"a\""},
        {"[]", "m/machine.json:1: expected an object, found an array"},
        {"", "m/machine.json:1: unexpected end of the document"},
        {"{\"adapters\": [\n {\"name\": \"x\"}]}",
         "m/machine.json:2: setting \"adapters[0]\": an adapter needs a \"guid\""},
        {"{\"adapters\": [{\n\"guid\": \"11111111-2222-3333-4444-555555555555\"}]}",
         "m/machine.json:2: setting \"adapters[0].guid\": expected a GUID such as "
         "{00000000-0000-0000-0000-000000000000}"},
        {"{\"adapters\": [" + a + ",\n" + a + "]}",
         "m/machine.json:2: setting \"adapters[1].guid\": another adapter has this GUID"},
        {"{\"adapters\": [{\"guid\": \"{11111111-2222-3333-4444-555555555555}\",\n"
         "\"instanceId\": \"PCI\\\\X\"}]}",
         "m/machine.json:2: setting \"adapters[0].instanceId\": expected "
         "\"ENUMERATOR\\\\DEVICE\\\\INSTANCE\""},
        {"{\"adapters\": [" + a +
             "], \"teams\": [{\n\"adapter\": \"{9}\", \"members\": [\"{9}\"]}]}",
         "m/machine.json:2: setting \"teams[0].adapter\": no adapter has this GUID"},
        {"{\"adapters\": [" + a + "], \"teams\": [{" + team + ",\n\"members\": []}]}",
         "m/machine.json:2: setting \"teams[0].members\": a team needs at least one member"},
        {"{\"adapters\": [" + a + "], \"teams\": [{" + team + ",\n\"members\": [\"" +
             "{11111111-2222-3333-4444-555555555555}\"]}]}",
         "m/machine.json:2: setting \"teams[0].members\": "
         "\"{11111111-2222-3333-4444-555555555555}\" is not another adapter's GUID"},
        {"{\"adapters\": [" + a + "," + b + "], \"teams\": [{" + team +
             ", \"members\": [\"{22222222-2222-3333-4444-555555555555}\"],\n"
             "\"status\": \"bad\"}]}",
         "m/machine.json:2: setting \"teams[0].status\": expected \"success\", \"notSupported\", "
         "\"failure\" or a status such as \"0xC0010014\""},
        {"{\"adapters\": [" + a + "," + b + "], \"teams\": [{" + team +
             ", \"members\": [\"{22222222-2222-3333-4444-555555555555}\"],\n"
             "\"privateDevice\": \"a\\\\b\"}]}",
         "m/machine.json:2: setting \"teams[0].privateDevice\": expected 1 to 251 printable ASCII "
         "characters, no slashes"},
        {"{\"libraries\": [{\"name\": \"a.dll\",\n \"exports\": [\"F\",\n \"F\"]}]}",
         "m/machine.json:3: setting \"libraries[0]\": \"F\" is exported twice"},
        {"{\"libraries\": [{\"name\": \"a.dll\",\n \"exports\": [{\"result\": 0}]}]}",
         "m/machine.json:2: setting \"libraries[0]\": \"exports\" lists function names or "
         "{\"name\", \"result\", \"arguments\"}"},
        {"{\"libraries\": [{\"name\": \"a.dll\",\n \"strings\": {\"x\": \"y\"}}]}",
         "m/machine.json:2: setting \"libraries[0]\": string numbers are 0 to 65535"},
        {"{\"libraries\": [{\"name\": \"a.dll\",\n \"strings\": {\"xx-YY\": {\"1\": \"y\"}}}]}",
         "m/machine.json:2: setting \"libraries[0]\": \"xx-YY\" is not a language this machine "
         "knows (\"en-US\", \"de-DE\", ...)"},
        {"{\n\"uiLanguage\": \"xx-YY\"}",
         "m/machine.json:2: setting \"uiLanguage\": not a language this machine knows "
         "(\"en-US\", \"de-DE\", ...)"},
        {"{\"account\": {\"privileges\": [\n {\"name\": \"SeFlyPrivilege\"}]}}",
         "m/machine.json:2: setting \"account.privileges[0].name\": Windows has no such "
         "privilege"},
        {"{\"account\": {\"privileges\": [{\"name\": \"SeDebugPrivilege\"},\n\n"
         "{\"name\": \"SeDebugPrivilege\"}]}}",
         "m/machine.json:3: setting \"account.privileges[1].name\": this privilege is listed "
         "twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.error, SettingsErrorOf(c.text));
    }
}

TEST(MachineSettingsDeathTest, MalformedFileStopsTheProcess) {
    test::TempDir dir;
    std::string path = dir.Path() + "/machine.json";
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, f);
    std::fputs("{\n \"clock\": {\"mode\": \"sometimes\"}\n}\n", f);
    std::fclose(f);
    EXPECT_EXIT(sim::Machine::Use(dir.Path()), testing::ExitedWithCode(3),
                "machine.json:2: setting \"clock.mode\": expected \"scaled\" or \"virtual\"");
    EXPECT_EXIT(sim::Machine::Use(dir.Path() + "/none"), testing::ExitedWithCode(3),
                "no such machine directory");
}

TEST(FaultTable, FailsTheNthCallOrEveryCall) {
    sim::FaultTable faults({{"RegOpenKeyExW", 5, 2}});
    DWORD error = 0;
    EXPECT_FALSE(faults.Hit("RegOpenKeyExW", &error));
    EXPECT_TRUE(faults.Hit("RegOpenKeyExW", &error));
    EXPECT_EQ(5u, error);
    EXPECT_FALSE(faults.Hit("RegOpenKeyExW", &error));
    EXPECT_FALSE(faults.Hit("RegCloseKey", &error));

    faults.Add("RegCloseKey", 6);
    for (int i = 0; i < 3; ++i) {
        error = 0;
        EXPECT_TRUE(faults.Hit("RegCloseKey", &error));
        EXPECT_EQ(6u, error);
    }
    faults.Add("RegOpenKeyExW", 2, 1);  // counted from now: the next call
    EXPECT_TRUE(faults.Hit("RegOpenKeyExW", &error));
    EXPECT_EQ(2u, error);
    EXPECT_FALSE(faults.Hit("RegOpenKeyExW", &error));

    faults.Clear();
    EXPECT_FALSE(faults.Hit("RegCloseKey", &error));
}

TEST(FaultTable, AllocationHookFailsTheNthAllocation) {
    test::TestMachine machine;
    // Direct calls: an optimiser may drop a new-expression whose result is only deleted.
    sim::Machine::Get().Faults().FailAllocation(2);
    void* first = ::operator new(16, std::nothrow);
    void* second = ::operator new(16, std::nothrow);
    void* third = ::operator new(16, std::nothrow);
    bool firstMade = first != nullptr, secondMade = second != nullptr, thirdMade = third != nullptr;
    ::operator delete(first);
    ::operator delete(third);
    EXPECT_TRUE(firstMade);
    EXPECT_FALSE(secondMade);
    EXPECT_TRUE(thirdMade);
    sim::Machine::Get().Faults().FailAllocation(1);
    EXPECT_THROW(::operator delete[](::operator new[](16)), std::bad_alloc);
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
        {u"\\x.txt", u"C:\\x.txt", "drive_c/x.txt"},
        {u"C:x.txt", u"C:\\Windows\\x.txt", "drive_c/Windows/x.txt"},
        {u"..\\..\\..\\x.txt", u"C:\\x.txt", "drive_c/x.txt"},
        {u"C:\\Windows\\.\\Temp\\..\\system32\\", u"C:\\Windows\\system32\\",
         "drive_c/Windows/system32"},
        {u"D:\\data\\y", u"D:\\data\\y", "drive_d/Data/y"},
        {u"E:\\y", u"E:\\y", ""},
        {u"C:\\Nowhere\\y", u"C:\\Nowhere\\y", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::Utf16ToUtf8(c.path));
        EXPECT_EQ(c.full, files.FullPath(c.path));
        std::string host;
        DWORD error = files.HostPath(c.path, &host);
        if (c.host.empty()) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), error);
        } else {
            EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), error);
            EXPECT_EQ(machine.PathOf(c.host), host);
        }
    }

    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), files.SetCurrentDirectory(u"d:\\DATA"));
    EXPECT_EQ(u"D:\\DATA", files.CurrentDirectory());
    EXPECT_EQ(u"D:\\DATA\\z", files.FullPath(u"z"));
    EXPECT_EQ(u"C:\\z", files.FullPath(u"C:z"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), files.SetCurrentDirectory(u"D:\\none"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY),
              files.SetCurrentDirectory(u"C:\\Program Files\\Orvex\\Trace.txt"));
    EXPECT_EQ(u"D:\\DATA", files.CurrentDirectory());
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
    env.Set(u"zone", std::u16string(u"us"));
    EXPECT_EQ(u"us", env.Get(u"Zone").value_or(u"?"));
    env.Set(u"ZONE", std::nullopt);
    EXPECT_FALSE(env.Get(u"Zone").has_value());
}

TEST(MachineRecords, AppendWholeLines) {
    test::TestMachine machine;
    sim::Machine::Get().AppendRecord("x.jsonl",
                                     sim::JsonLine().Add("a", 1LL).Add("s", "q\"\n").Text());
    sim::Machine::Get().AppendRecord("x.jsonl", sim::JsonLine().Add("b", true).Text());
    EXPECT_EQ("{\"a\":1,\"s\":\"q\\\"\\n\"}\n{\"b\":true}\n", machine.ReadFile("x.jsonl"));
}

}  // namespace
