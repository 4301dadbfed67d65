// The machine's registry on disk: the .reg format, and changes written to the machine's files
// at once, volatile keys apart.
#include <windows.h>

#include "Machine/Machine.h"
#include "Machine/Registry/RegFile.h"
#include "Support/ScopedHandles.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

const char kEveryType[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; a comment\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Svc]\r\n"
    "@=\"default\"\r\n"
    "\"ImagePath\"=hex(2):43,00,3a,00,5c,00,78,00,2e,00,65,00,78,00,65,00,00,00\r\n"
    "\"Type\"=dword:00000010\r\n"
    "\"Quote \\\"q\\\" and \\\\\"=\"C:\\\\dir \\\"x\\\"\"\r\n"
    "\"List\"=hex(7):61,00,00,00,00,00,62,00,00,00,00,00\r\n"
    "\"Big\"=hex(b):01,02,03,04,05,06,07,08\r\n"
    "\"Bytes\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
    "  16,17,18,19,1a,1b,1c,1d,1e,1f,20\r\n"
    "\"None\"=hex(0):\r\n"
    "\"Odd\"=hex(4):01,02,03\r\n"
    "\"Unterminated\"=hex(1):61,00\r\n"
    "\"Lines\"=hex(1):61,00,0a,00,00,00\r\n"
    "\"Custom\"=hex(ffff0001):aa\r\n"
    "\"Caf\xc3\xa9 \xe2\x82\xac\"=\"\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80\"\r\n"
    "\r\n"
    "[HKLM\\Software\\Empty]\r\n"
    "[HKEY_CURRENT_USER\\Software\\TarvikTest]\r\n"
    "\"A\"=dword:1\r\n";

std::unique_ptr<sim::RegKey> Parse(const std::string& text) {
    auto tree = sim::NewRegistryTree();
    sim::ReadRegFile(text, *tree);
    return tree;
}

std::vector<BYTE> Utf16(const std::u16string& text) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());  // a little-endian host
    return std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(char16_t));
}

// A value's type and bytes; a missing one fails the comparison instead of the
// test's process.
std::pair<DWORD, std::vector<BYTE>> ValueOf(const sim::RegKey* key, const std::u16string& name) {
    const sim::RegValue* value = key ? key->Value(name) : nullptr;
    return value ? std::make_pair(value->type, value->data)
                 : std::make_pair(DWORD(0xdeadbeef), std::vector<BYTE>());
}

TEST(RegFile, EveryValueTypeRoundTrips) {
    auto tree = Parse(kEveryType);
    const sim::RegKey* service =
        tree->Find(u"hkey_local_machine\\system\\currentcontrolset\\services\\SVC");
    ASSERT_NE(nullptr, service);
    EXPECT_EQ(u"Svc", service->Name());
    EXPECT_EQ(13u, service->Values().size());
    const struct {
        std::u16string name;
        DWORD type;
        std::vector<BYTE> data;
    } values[] = {
        {u"", REG_SZ, Utf16(u"default")},
        {u"imagepath", REG_EXPAND_SZ, Utf16(u"C:\\x.exe")},
        {u"Type", REG_DWORD, {0x10, 0, 0, 0}},
        {u"Quote \"q\" and \\", REG_SZ, Utf16(u"C:\\dir \"x\"")},
        {u"List", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
        {u"Big", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"None", REG_NONE, {}},
        {u"Custom", 0xffff0001, {0xaa}},
        {u"CAF\u00c9 \u20ac", REG_SZ, Utf16(u"\u65e5\u672c \U0001F600")},
    };
    for (const auto& v : values) {
        SCOPED_TRACE(sim::Utf16ToUtf8(v.name));
        EXPECT_EQ(std::make_pair(v.type, v.data), ValueOf(service, v.name));
    }
    std::vector<BYTE> bytes = ValueOf(service, u"Bytes").second;  // continued on a second line
    EXPECT_EQ(33u, bytes.size());
    EXPECT_EQ(0x20, bytes.empty() ? 0 : bytes.back());
    EXPECT_NE(nullptr, tree->Find(u"HKEY_LOCAL_MACHINE\\Software\\Empty"));
    EXPECT_EQ((std::vector<BYTE>{1, 0, 0, 0}),
              ValueOf(tree->Find(u"HKEY_CURRENT_USER\\Software\\TarvikTest"), u"a").second);

    // The written form of values regedit would show as hex; that any file read back gives the
    // same tree and text, the fuzz target holds.
    std::string written = sim::WriteRegFile(*tree);
    for (const char* line : {"\"Type\"=dword:00000010\n", "\"Odd\"=hex(4):01,02,03\n",
                             "\"Unterminated\"=hex(1):61,00\n"}) {
        EXPECT_NE(std::string::npos, written.find(line)) << line;
    }

    // regedit's own encoding: UTF-16LE with a byte-order mark.
    std::vector<BYTE> wide = Utf16(sim::Utf8ToUtf16(kEveryType));
    EXPECT_TRUE(tree->SameTree(*Parse("\xff\xfe" + std::string(wide.begin(), wide.end() - 2))));
    EXPECT_TRUE(tree->SameTree(*Parse("\xef\xbb\xbf" + std::string(kEveryType))));
}

TEST(RegFile, DeletionsAndVolatileKeys) {
    auto tree = Parse(
        "Windows Registry Editor Version 5.00\n"
        "[HKLM\\A\\B]\n\"x\"=dword:1\n\"y\"=dword:2\n"
        "[HKLM\\A\\C]\n"
        "[-HKLM\\A\\B]\n"
        "[HKLM\\A\\C]\n\"z\"=dword:3\n\"z\"=-\n\"w\"=\"\"\n");
    EXPECT_EQ(nullptr, tree->Find(u"HKEY_LOCAL_MACHINE\\A\\B"));
    const sim::RegKey* c = tree->Find(u"HKEY_LOCAL_MACHINE\\A\\C");
    ASSERT_NE(nullptr, c);
    ASSERT_EQ(1u, c->Values().size());
    EXPECT_EQ(u"w", c->Values()[0].name);

    sim::ReadRegFile("Windows Registry Editor Version 5.00\n[HKLM\\A\\V\\W]\n", *tree, true);
    const sim::RegKey* w = tree->Find(u"HKEY_LOCAL_MACHINE\\A\\V\\W");
    const sim::RegKey* a = tree->Find(u"HKEY_LOCAL_MACHINE\\A");
    ASSERT_TRUE(w && a);
    EXPECT_TRUE(w->IsVolatile());
    EXPECT_FALSE(a->IsVolatile());
    // Keys on the way to a volatile key that the file does not name are not
    // volatile.
    std::string registry = sim::WriteRegFile(*tree);
    EXPECT_NE(std::string::npos, registry.find("[HKEY_LOCAL_MACHINE\\A\\V]\n"));
    EXPECT_EQ(std::string::npos, registry.find("\\W"));
    EXPECT_EQ("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A\\V\\W]\n",
              sim::WriteRegFile(*tree, true));
}

TEST(RegFile, MalformedFileNamesTheLine) {
    const std::string head = "Windows Registry Editor Version 5.00\n", key = head + "[HKLM\\x]\n";
    const struct {
        std::string text;
        int line;
        const char* what;
    } cases[] = {
        {"REGEDIT4\n", 1, "not a registry file"},
        {head + "\"x\"=dword:1\n", 2, "outside a key"},
        {head + "[HKEY_NOWHERE\\x]\n", 2, "unknown root"},
        {"Windows Registry Editor Version 5.00\r\n[HKLM\\x]\r\n\"a\"=dword:123456789\r\n", 3,
         "dword"},
        {key + "\"a\"=hex:01,\\\n  02,zz\n", 4, "hexadecimal byte"},
        {key + "\"a\"=\"b\n", 3, "closing quote"},
        {key + "\"a\"=str:1\n", 3, "unrecognized"},
        {head + "[-HKLM]\n", 2, "root key"},
        {head + "\n[HKLM\\\xe9]\n", 3, "UTF-8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            Parse(c.text);
            ADD_FAILURE() << "parsed";
        } catch (const sim::RegFileError& e) {
            EXPECT_EQ(c.line, e.Line()) << e.what();
            EXPECT_NE(std::string::npos, std::string(e.what()).find(c.what)) << e.what();
        }
    }

    // A machine whose registry.reg is broken stops, naming the file and line.
    test::TempDir dir;
    std::ofstream(dir.Path() + "/registry.reg")
        << "Windows Registry Editor Version 5.00\n\n[HKLM\\x]\nbroken\n";
    EXPECT_EXIT(sim::Machine::Use(dir.Path()), ::testing::ExitedWithCode(3),
                "registry.reg:4: expected a \\[key\\]");
}

TEST(SharedRegistry, ChangesAreWrittenAtOnceVolatileKeysApart) {
    test::TestMachine machine;
    test::ScopedKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Tarvik", 0, NULL, 0,
                                             KEY_ALL_ACCESS, NULL, key.Receive(), NULL));
    const DWORD timeout = 30, pid = 7;
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, u"HVMonTimeout", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&timeout), 4));
    {
        test::ScopedKey vol;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(key, u"Runtime", 0, NULL, REG_OPTION_VOLATILE,
                                                 KEY_ALL_ACCESS, NULL, vol.Receive(), NULL));
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(vol, u"Pid", 0, REG_DWORD,
                                                reinterpret_cast<const BYTE*>(&pid), 4));
    }
    std::string registry = machine.ReadFile("registry.reg");
    EXPECT_NE(std::string::npos, registry.find("[HKEY_LOCAL_MACHINE\\Software\\Tarvik]\n"
                                               "\"HVMonTimeout\"=dword:0000001e\n"));
    EXPECT_EQ(std::string::npos, registry.find("Runtime"));
    EXPECT_NE(std::string::npos, machine.ReadFile("volatile.reg")
                                     .find("[HKEY_LOCAL_MACHINE\\Software\\Tarvik\\Runtime]\n"
                                           "\"Pid\"=dword:00000007\n"));

    // With its last volatile key gone, volatile.reg goes too.
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(key, u"Runtime"));
    EXPECT_NE(0, access(machine.PathOf("volatile.reg").c_str(), F_OK));
}

// registry.reg is a 64-bit regedit export: the 32-bit view's keys sit under WOW6432Node. Both
// view flags at once are refused on 64-bit Windows (Wine 8 takes them); 32-bit Windows has one
// view and ignores the flags.
TEST(RegistryViews, TheFileHoldsThe32BitViewUnderWow6432Node) {
    const struct {
        const char* machine;
        REGSAM view;
        const char* line;
    } cases[] = {
        {R"({"os": {"architecture": 9}})", KEY_WOW64_32KEY,
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Tarvik]\n"},
        {R"({"os": {"architecture": 0}})", KEY_WOW64_RES,
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvik]\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.machine);
        test::TestMachine machine(c.machine, "");
        test::ScopedKey key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tarvik", 0, NULL, 0,
                                  KEY_ALL_ACCESS | c.view, NULL, key.Receive(), NULL));
        EXPECT_NE(std::string::npos, machine.ReadFile("registry.reg").find(c.line));
        test::ScopedKey both;
        EXPECT_EQ(c.view == KEY_WOW64_RES ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER,
                  RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ | KEY_WOW64_RES,
                                both.Receive()));
    }
}

}  // namespace
