// Where the trace file lands, on machines set up for each rule, and what level 4 sends to the
// debugger.
#include "ZelDebug.h"

#include "Machine/Machine.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

const char kZel2Key[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2]\n";

std::string Registry(const std::string& values) {
    return std::string("Windows Registry Editor Version 5.00\n\n") + kZel2Key + values;
}

bool Exists(const test::TestMachine& machine, const std::string& relative) {
    return std::filesystem::exists(machine.PathOf(relative));
}

TEST(CZelDebugPaths, DirectoryRules) {
    const char* json = R"({"currentDirectory": "C:\\Work", "temp": "C:\\Windows\\Temp"})";
    const std::string installed = Registry("\"InstalledDir\"=\"C:\\\\Orvex\"\n"),
                      missing = Registry("\"InstalledDir\"=\"C:\\\\Missing\"\n");
    struct Case {
        const char* name;
        std::string registry;
        const WCHAR *module, *file;
        const char* expected;  // relative to the machine directory
    } cases[] = {
        {"InstalledDir", installed, TEXT("TALM"), TEXT("t.txt"), "drive_c/Orvex/t.txt"},
        {"QmSetup: the current directory", installed, TEXT("qmSETUP"), TEXT("q.txt"),
         "drive_c/Work/q.txt"},
        {"Zel2Setp: Temp even with the key", installed, TEXT("ZEL2SETP"), TEXT("z.txt"),
         "drive_c/Windows/Temp/z.txt"},
        {"no key: Temp", "", TEXT("TALM"), TEXT("k.txt"), "drive_c/Windows/Temp/k.txt"},
        {"no InstalledDir: the root of the current drive", Registry(""), TEXT("TALM"),
         TEXT("r.txt"), "drive_c/r.txt"},
        {"InstalledDir that cannot be written: Temp", missing, TEXT("TALM"), TEXT("f.txt"),
         "drive_c/Windows/Temp/f.txt"},
        {"a subdirectory in the name falls back to its last part", missing, TEXT("TALM"),
         TEXT("sub\\g.txt"), "drive_c/Windows/Temp/g.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TestMachine machine(json, c.registry);
        machine.MakeDirectory("drive_c/Work");
        machine.MakeDirectory("drive_c/Orvex");
        CZelDebug trace;
        ASSERT_EQ(0, trace.Configure(c.module, c.file, 3, 0, 0));
        trace.Print(TEXT("here"));
        EXPECT_TRUE(Exists(machine, c.expected));
    }
}

TEST(CZelDebugPaths, NamesUpTo245CharactersAndNoFallbackWithoutABackslash) {
    test::TestMachine machine("", Registry("\"InstalledDir\"=\"C:\\\\T\"\n"));
    machine.MakeDirectory("drive_c/T");
    std::basic_string<WCHAR> name(245, TEXT('n'));
    CZelDebug longest;
    EXPECT_EQ(0, longest.Configure(TEXT("TALM"), name.c_str(), 1, 0, 0));
    EXPECT_TRUE(Exists(machine, "drive_c/T/" + std::string(245, 'n')));

    // A name without a backslash that cannot be opened has nothing to take over to Temp.
    test::TestMachine working(R"({"currentDirectory": "C:\\Work"})");
    working.MakeDirectory("drive_c/Work/x.txt");  // a directory: no file to open
    CZelDebug relative;
    EXPECT_EQ(-1, relative.Configure(TEXT("QmSetup"), TEXT("x.txt"), 3, 0, 0));
    EXPECT_FALSE(Exists(working, "drive_c/Windows/Temp/x.txt"));
    EXPECT_FALSE(relative.IsConfigured());
}

TEST(CZelDebugPaths, LevelFourAlsoWritesToTheDebugger) {
    test::TestMachine machine("", Registry("\"InstalledDir\"=\"C:\\\\Windows\\\\Temp\"\n"));
    CZelDebug trace;
    ASSERT_EQ(0, trace.Configure(TEXT("TALM"), TEXT("d.txt"), 4, 0, 0));
    trace.Print(TEXT("to both"));
    trace.Error(TEXT("Src\\X"), 5, TEXT("an error"));
    std::vector<std::string> records = sim::Machine::Get().Records("debug-output.jsonl");
    ASSERT_EQ(2u, records.size());
    EXPECT_NE(std::string::npos, records[0].find("\\t\\tto both\\n\"}"));
    EXPECT_NE(std::string::npos, records[1].find("\\t\\tSrc\\\\X (5): an error\\n\"}"));
}

}  // namespace
