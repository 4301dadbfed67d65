// The libraries machine.json puts on the disk: where the loader finds them, their reference
// counts, the calls of their exports as libraries.jsonl records them, and their string tables.
#include <windows.h>

#include "Machine/Json.h"
#include "Machine/Settings.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

const char kMachine[] = R"({
    "environment": {"PATH": "C:\\Tools;C:\\Windows"},
    "libraries": [
        {"name": "ZEL2Setp.dll", "exports": [{"name": "RegisterZel2", "result": 1}, "Plain",
                                             {"name": "Notify", "arguments": 2, "result": -5}]},
        {"name": "C:\\Program Files\\Orvex\\Res\\DaruvuZarENU.DLL",
         "strings": {"7": "Seventh", "4000": "Far away"}},
        {"name": "C:\\Tools\\pathlib.dll"},
        {"name": "texts.dll",
         "strings": {"de-DE": {"7": "Sieben"}, "en-US": {"7": "Seven", "20": "Twenty"}}}
    ]
})";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string Field(const std::string& line, const std::string& key) {
    sim::Json parsed = sim::Json::Parse(line);
    const sim::Json* value = parsed.Find(key);
    if (value == nullptr) {
        return "(none)";
    }
    if (value->IsString()) {
        return value->String();
    }
    if (value->IsNumber()) {
        return std::to_string(static_cast<long long>(value->Number()));
    }
    std::string items;
    for (const sim::Json& item : value->Items()) {
        items += (items.empty() ? "" : ",") + std::to_string(static_cast<long long>(item.Number()));
    }
    return "[" + items + "]";
}

TEST(Library, SearchOrderAndReferenceCounts) {
    test::TestMachine machine(kMachine);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(HMODULE(NULL), GetModuleHandleW(u"ZEL2Setp.dll"));  // not loaded yet
    EXPECT_EQ(DWORD(ERROR_MOD_NOT_FOUND), GetLastError());

    HMODULE setup = LoadLibraryW(u"zel2setp");
    ASSERT_NE(HMODULE(NULL), setup);
    EXPECT_EQ(setup, GetModuleHandleW(u"ZEL2SETP.DLL"));
    EXPECT_EQ(setup, LoadLibraryW(u"C:\\Windows\\System32\\zel2setp.dll"));
    ASSERT_TRUE(SetCurrentDirectoryW(u"C:\\Windows"));
    EXPECT_EQ(setup, LoadLibraryW(u"system32\\ZEL2Setp.dll"));  // three references
    ASSERT_TRUE(SetCurrentDirectoryW(u"C:\\"));
    EXPECT_TRUE(FreeLibrary(setup));
    EXPECT_TRUE(FreeLibrary(setup));
    EXPECT_EQ(setup, GetModuleHandleW(u"zel2setp"));
    EXPECT_TRUE(FreeLibrary(setup));  // the last reference unloads it
    SetLastError(0xdeadbeef);
    EXPECT_EQ(HMODULE(NULL), GetModuleHandleW(u"zel2setp"));
    EXPECT_EQ(DWORD(ERROR_MOD_NOT_FOUND), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FARPROC(NULL), GetProcAddress(setup, "RegisterZel2"));
    EXPECT_EQ(DWORD(ERROR_MOD_NOT_FOUND), GetLastError());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(FreeLibrary(setup));
    EXPECT_EQ(DWORD(ERROR_MOD_NOT_FOUND), GetLastError());
    EXPECT_EQ(setup, LoadLibraryW(u"ZEL2Setp.dll"));  // loads again
    EXPECT_TRUE(FreeLibrary(setup));

    struct {
        const char16_t* name;
        bool found;
    } cases[] = {
        {u"C:\\Program Files\\Orvex\\Res\\DaruvuZarENU.dll", true},
        {u"c:\\program files\\orvex\\res\\daruvuzarenu", true},  // ".dll" supplied
        {u"DaruvuZarENU.dll", false},                            // not on the search path
        {u"C:\\Other\\ZEL2Setp.dll", false},                     // another directory
        {u"ZEL2Setp.", false},  // a trailing dot: no ".dll" supplied
        {u"pathlib", true},     // through PATH
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(sim::Utf16ToUtf8(c.name));
        SetLastError(0xdeadbeef);
        HMODULE module = LoadLibraryW(c.name);
        EXPECT_EQ(c.found, module != NULL);
        if (module != NULL) {
            EXPECT_EQ(module, GetModuleHandleW(c.name));
            EXPECT_TRUE(FreeLibrary(module));
        } else {
            EXPECT_EQ(DWORD(ERROR_MOD_NOT_FOUND), GetLastError());
        }
    }
}

TEST(Library, ExportCallsAreRecorded) {
    test::TestMachine machine(kMachine);
    HMODULE setup = LoadLibraryW(u"ZEL2Setp.dll");
    ASSERT_NE(HMODULE(NULL), setup);
    typedef int(WINAPI * RegisterZel2)(void);
    typedef INT_PTR(WINAPI * Notify)(INT_PTR, INT_PTR);
    RegisterZel2 reg = reinterpret_cast<RegisterZel2>(
        reinterpret_cast<void (*)()>(GetProcAddress(setup, "RegisterZel2")));
    Notify notify =
        reinterpret_cast<Notify>(reinterpret_cast<void (*)()>(GetProcAddress(setup, "Notify")));
    ASSERT_TRUE(reg != NULL && notify != NULL);
    EXPECT_NE(reinterpret_cast<void*>(reg), reinterpret_cast<void*>(notify));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FARPROC(NULL), GetProcAddress(setup, "registerzel2"));  // names are exact
    EXPECT_EQ(DWORD(ERROR_PROC_NOT_FOUND), GetLastError());

    EXPECT_EQ(1, reg());
    EXPECT_EQ(-5, notify(7, -9));
    EXPECT_EQ(1, reg());

    std::vector<std::string> lines = Lines(machine.ReadFile("libraries.jsonl"));
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("ZEL2Setp.dll", Field(lines[0], "library"));
    EXPECT_EQ("RegisterZel2", Field(lines[0], "export"));
    EXPECT_EQ("[]", Field(lines[0], "arguments"));
    EXPECT_EQ("1", Field(lines[0], "result"));
    EXPECT_EQ(std::to_string(GetCurrentProcessId()), Field(lines[0], "process"));
    EXPECT_EQ("Notify", Field(lines[1], "export"));
    EXPECT_EQ("[7,-9]", Field(lines[1], "arguments"));
    EXPECT_EQ("-5", Field(lines[1], "result"));
    EXPECT_EQ("RegisterZel2", Field(lines[2], "export"));
    EXPECT_EQ(23u, Field(lines[0], "time").size());  // "2024-05-01T12:00:00.250"
    EXPECT_TRUE(FreeLibrary(setup));
}

TEST(Library, StringTables) {
    test::TestMachine machine(kMachine);
    HMODULE resources = LoadLibraryW(u"C:\\Program Files\\Orvex\\Res\\DaruvuZarENU.DLL");
    ASSERT_NE(HMODULE(NULL), resources);
    WCHAR buffer[64];
    EXPECT_EQ(7, LoadStringW(resources, 7, buffer, 64));
    EXPECT_EQ(std::u16string(u"Seventh"), buffer);
    EXPECT_EQ(8, LoadStringW(resources, 4000, buffer, 64));
    buffer[0] = u'x';
    EXPECT_EQ(0, LoadStringW(resources, 8, buffer, 64));  // in 7's block: empty
    EXPECT_EQ(u'\0', buffer[0]);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, LoadStringW(resources, 100, buffer, 64));
    EXPECT_EQ(DWORD(ERROR_RESOURCE_NAME_NOT_FOUND), GetLastError());

    // A cut text: as much as fits, terminated; the low word alone numbers a string.
    EXPECT_EQ(3, LoadStringW(resources, 0x30007, buffer, 4));
    EXPECT_EQ(std::u16string(u"Sev"), buffer);

    // The thread's language, else the neutral table, else English, block by block.
    HMODULE texts = LoadLibraryW(u"texts");
    const struct {
        LANGID language;
        UINT id;
        const char16_t* text;
    } languages[] = {
        {0x0407, 7, u"Sieben"}, {0x0407, 20, u"Twenty"}, {0x040C, 7, u"Seven"}, {0x0409, 8, u""}};
    for (const auto& l : languages) {
        SCOPED_TRACE(l.language);
        SetThreadUILanguage(l.language);
        EXPECT_EQ(int(std::u16string(l.text).size()), LoadStringW(texts, l.id, buffer, 64));
        EXPECT_EQ(std::u16string(l.text), buffer);
    }
    EXPECT_TRUE(FreeLibrary(texts));

    HMODULE setup = LoadLibraryW(u"ZEL2Setp.dll");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, LoadStringW(setup, 7, buffer, 64));
    EXPECT_EQ(DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND), GetLastError());
    EXPECT_TRUE(FreeLibrary(setup));
    EXPECT_TRUE(FreeLibrary(resources));
}

TEST(Library, SettingsErrorsNameTheLine) {
    struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"{\"libraries\": [{\"name\": \"a.dll\",\n \"exports\": [{\"name\": \"F\", \"result\": "
         "1.5}]}]}",
         "m/machine.json:2: setting \"libraries[0].exports[0].result\": expected a whole number "
         "from -2147483648 to 4294967295"},
        {"{\"libraries\": [{\"name\": \"a.dll\",\n \"exports\": [{\"name\": \"F\",\n "
         "\"arguments\": 5}]}]}",
         "m/machine.json:3: setting \"libraries[0].exports[0].arguments\": expected a whole "
         "number from 0 to 4"},
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error = "(accepted)";
        try {
            sim::ParseSettings(c.text, "m/machine.json");
        } catch (const sim::SettingsError& e) {
            error = e.what();
        }
        EXPECT_EQ(c.error, error);
    }
}

}  // namespace
