// The libraries machine.json puts on the disk: where the loader finds them, their reference
// counts, the calls of their exports as libraries.jsonl records them, and their string tables.
#include <windows.h>

#include "LastError.h"
#include "Machine/Settings/Settings.h"
#include "Support/Records.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
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

TEST(Library, SearchOrderAndReferenceCounts) {
    test::TestMachine machine(kMachine);
    EXPECT_LAST_ERROR(HMODULE(NULL), ERROR_MOD_NOT_FOUND, GetModuleHandleW(u"ZEL2Setp.dll"));

    HMODULE setup = LoadLibraryW(u"zel2setp");
    ASSERT_NE(HMODULE(NULL), setup);
    EXPECT_EQ(setup, GetModuleHandleW(u"ZEL2SETP.DLL"));
    EXPECT_EQ(setup, LoadLibraryW(u"C:\\Windows\\System32\\zel2setp.dll"));
    EXPECT_TRUE(FreeLibrary(setup));
    EXPECT_EQ(setup, GetModuleHandleW(u"zel2setp"));
    EXPECT_TRUE(FreeLibrary(setup));  // the last reference unloads it
    EXPECT_LAST_ERROR(HMODULE(NULL), ERROR_MOD_NOT_FOUND, GetModuleHandleW(u"zel2setp"));
    EXPECT_LAST_ERROR(FARPROC(NULL), ERROR_MOD_NOT_FOUND, GetProcAddress(setup, "RegisterZel2"));
    EXPECT_LAST_ERROR(FALSE, ERROR_MOD_NOT_FOUND, FreeLibrary(setup));
    EXPECT_EQ(setup, LoadLibraryW(u"ZEL2Setp.dll"));  // loads again
    EXPECT_TRUE(FreeLibrary(setup));

    // Full paths in any case and without ".dll", and a name off the search path, the product's
    // QMLoadLibrary pins (ComponentLibraryTest).
    const std::pair<const char16_t*, bool> cases[] = {
        {u"C:\\Other\\ZEL2Setp.dll", false},  // another directory
        {u"ZEL2Setp.", false},                // a trailing dot: no ".dll" supplied
        {u"pathlib", true},                   // through PATH
    };
    for (const auto& [name, found] : cases) {
        SCOPED_TRACE(sim::Utf16ToUtf8(name));
        SetLastError(0);
        HMODULE module = LoadLibraryW(name);
        EXPECT_EQ(found ? 0u : DWORD(ERROR_MOD_NOT_FOUND), GetLastError());
        EXPECT_EQ(module, GetModuleHandleW(name));
        EXPECT_EQ(found, FreeLibrary(module) != FALSE);
    }
}

TEST(Library, ExportCallsAreRecorded) {
    test::TestMachine machine(kMachine);
    HMODULE setup = LoadLibraryW(u"ZEL2Setp.dll");
    ASSERT_NE(HMODULE(NULL), setup);
    auto reg = reinterpret_cast<int(WINAPI*)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(setup, "RegisterZel2")));
    auto notify = reinterpret_cast<INT_PTR(WINAPI*)(INT_PTR, INT_PTR)>(
        reinterpret_cast<void (*)()>(GetProcAddress(setup, "Notify")));
    ASSERT_TRUE(reg != NULL && notify != NULL);
    EXPECT_LAST_ERROR(FARPROC(NULL), ERROR_PROC_NOT_FOUND,
                      GetProcAddress(setup, "registerzel2"));  // names are exact

    EXPECT_EQ(1, reg());
    EXPECT_EQ(-5, notify(7, -9));

    std::vector<sim::Json> calls = test::Records("libraries.jsonl");
    ASSERT_EQ(2u, calls.size());
    const std::vector<std::string> fields = {"library", "export", "arguments", "result"};
    EXPECT_EQ("ZEL2Setp.dll|RegisterZel2|[]|1", test::Fields(calls[0], fields));
    EXPECT_EQ("ZEL2Setp.dll|Notify|[7,-9]|-5", test::Fields(calls[1], fields));
    EXPECT_EQ(23u, test::Fields(calls[0], {"time"}).size());  // "2024-05-01T12:00:00.250"
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
    EXPECT_LAST_ERROR(0, ERROR_RESOURCE_NAME_NOT_FOUND, LoadStringW(resources, 100, buffer, 64));

    // A cut text: as much as fits, terminated; the low word alone numbers a string.
    EXPECT_EQ(3, LoadStringW(resources, 0x30007, buffer, 4));
    EXPECT_EQ(std::u16string(u"Sev"), buffer);

    HMODULE setup = LoadLibraryW(u"ZEL2Setp.dll");
    EXPECT_LAST_ERROR(0, ERROR_RESOURCE_TYPE_NOT_FOUND, LoadStringW(setup, 7, buffer, 64));
    EXPECT_TRUE(FreeLibrary(setup));
    EXPECT_TRUE(FreeLibrary(resources));

    // The machine's language (ComponentLibraryTest), else the neutral table, else English, block
    // by block.
    const struct {
        const char* language;
        UINT id;
        const char16_t* text;
    } languages[] = {{"de-DE", 20, u"Twenty"}, {"fr-FR", 7, u"Seven"}, {"en-US", 8, u""}};
    for (const auto& l : languages) {
        SCOPED_TRACE(l.language);
        test::TestMachine local(std::string("{\"uiLanguage\": \"") + l.language + "\"," +
                                (kMachine + 1));
        HMODULE texts = LoadLibraryW(u"texts");
        EXPECT_EQ(int(std::u16string(l.text).size()), LoadStringW(texts, l.id, buffer, 64));
        EXPECT_EQ(std::u16string(l.text), buffer);
        EXPECT_TRUE(FreeLibrary(texts));
    }
}

}  // namespace
