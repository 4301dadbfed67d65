// The machine's registry on disk: the .reg format, and several processes sharing one registry.
#include <windows.h>

#include "Machine/Machine.h"
#include "Machine/RegFile.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
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

std::unique_ptr<sim::RegKey> Parse(const std::string& text, bool volatileKeys = false) {
    auto tree = sim::NewRegistryTree();
    sim::ReadRegFile(text, *tree, volatileKeys);
    return tree;
}

std::vector<BYTE> Utf16(const std::u16string& text) {
    std::vector<BYTE> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<BYTE>(c));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

TEST(RegFile, EveryValueTypeRoundTrips) {
    auto tree = Parse(kEveryType);
    const sim::RegKey* service = tree->Find(
        u"hkey_local_machine\\system\\currentcontrolset\\"
        u"services\\SVC");
    ASSERT_NE(nullptr, service);
    EXPECT_EQ(u"Svc", service->Name());
    ASSERT_EQ(13u, service->Values().size());
    const sim::RegValue& byDefault = service->Values()[0];
    EXPECT_EQ(u"", byDefault.name);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), byDefault.type);
    EXPECT_EQ(Utf16(u"default"), byDefault.data);
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), service->Value(u"imagepath")->type);
    EXPECT_EQ(Utf16(u"C:\\x.exe"), service->Value(u"ImagePath")->data);
    EXPECT_EQ((std::vector<BYTE>{0x10, 0, 0, 0}), service->Value(u"Type")->data);
    EXPECT_EQ(Utf16(u"C:\\dir \"x\""), service->Value(u"Quote \"q\" and \\")->data);
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), service->Value(u"List")->type);
    EXPECT_EQ(12u, service->Value(u"List")->data.size());
    EXPECT_EQ(static_cast<DWORD>(REG_QWORD), service->Value(u"Big")->type);
    EXPECT_EQ(33u, service->Value(u"Bytes")->data.size());
    EXPECT_EQ(0x20, service->Value(u"Bytes")->data.back());
    EXPECT_EQ(static_cast<DWORD>(REG_NONE), service->Value(u"None")->type);
    EXPECT_TRUE(service->Value(u"None")->data.empty());
    EXPECT_EQ(0xffff0001u, service->Value(u"Custom")->type);
    EXPECT_EQ(Utf16(u"\u65e5\u672c \U0001F600"), service->Value(u"CAF\u00c9 \u20ac")->data);
    EXPECT_NE(nullptr, tree->Find(u"HKEY_LOCAL_MACHINE\\Software\\Empty"));
    EXPECT_EQ((std::vector<BYTE>{1, 0, 0, 0}),
              tree->Find(u"HKEY_CURRENT_USER\\Software\\TarvikTest")->Value(u"a")->data);

    // Written, read back: the same tree; written again: the same text.
    std::string written = sim::WriteRegFile(*tree);
    auto again = Parse(written);
    EXPECT_TRUE(tree->SameTree(*again)) << written;
    EXPECT_EQ(written, sim::WriteRegFile(*again));
    EXPECT_NE(std::string::npos, written.find("\"Type\"=dword:00000010\n"));
    EXPECT_NE(std::string::npos, written.find("\"Odd\"=hex(4):01,02,03\n"));
    EXPECT_NE(std::string::npos, written.find("\"Unterminated\"=hex(1):61,00\n"));
    for (size_t start = 0, end; (end = written.find('\n', start)) != std::string::npos;
         start = end + 1) {
        EXPECT_LE(end - start, 80u) << written.substr(start, end - start);
    }

    // regedit's own encoding: UTF-16LE with a byte-order mark.
    std::string utf16 = "\xff\xfe";
    std::u16string wide = sim::Utf8ToUtf16(kEveryType);
    for (char16_t c : wide) {
        utf16.push_back(static_cast<char>(c & 0xff));
        utf16.push_back(static_cast<char>(c >> 8));
    }
    EXPECT_TRUE(tree->SameTree(*Parse(utf16)));
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
    EXPECT_TRUE(tree->Find(u"HKEY_LOCAL_MACHINE\\A\\V\\W")->IsVolatile());
    EXPECT_FALSE(tree->Find(u"HKEY_LOCAL_MACHINE\\A")->IsVolatile());
    // Keys on the way to a volatile key that the file does not name are not volatile.
    std::string registry = sim::WriteRegFile(*tree);
    EXPECT_NE(std::string::npos, registry.find("[HKEY_LOCAL_MACHINE\\A\\V]\n"));
    EXPECT_EQ(std::string::npos, registry.find("\\W"));
    EXPECT_EQ("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A\\V\\W]\n",
              sim::WriteRegFile(*tree, true));
}

TEST(RegFile, MalformedFileNamesTheLine) {
    struct Case {
        const char* text;
        int line;
        const char* what;
    };
    const Case cases[] = {
        {"REGEDIT4\n", 1, "not a registry file"},
        {"", 1, "not a registry file"},
        {"Windows Registry Editor Version 5.00\n\"x\"=dword:1\n", 2, "outside a key"},
        {"Windows Registry Editor Version 5.00\n[HKEY_NOWHERE\\x]\n", 2, "unknown root"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\x\n", 2, "closing ']'"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\\\x]\n", 2, "empty key name"},
        {"Windows Registry Editor Version 5.00\r\n[HKLM\\x]\r\n\"a\"=dword:123456789\r\n", 3,
         "dword"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\x]\n\"a\"=hex:01,\\\n  02,zz\n", 4,
         "hexadecimal byte"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\x]\n\"a\"=hex:01,02\\", 3, "past the end"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\x]\n\"a=\"b\"\n", 3, "'='"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\x]\n\"a\"=\"b\n", 3, "closing quote"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\x]\n\"a\"=\"\\q\"\n", 3, "escape"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\x]\n\"a\"=str:1\n", 3, "unrecognized"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\x]\n\"a\"=\"b\" c\n", 3, "after the data"},
        {"Windows Registry Editor Version 5.00\n[-HKLM]\n", 2, "root key"},
        {"Windows Registry Editor Version 5.00\n\n[HKLM\\\xe9]\n", 3, "UTF-8"},
        {"\xff\xfe\x41", 1, "odd number"},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        SCOPED_TRACE(cases[i].text);
        try {
            Parse(cases[i].text);
            ADD_FAILURE() << "parsed";
        } catch (const sim::RegFileError& e) {
            EXPECT_EQ(cases[i].line, e.Line()) << e.what();
            EXPECT_NE(std::string::npos, std::string(e.what()).find(cases[i].what)) << e.what();
        }
    }

    // A machine whose registry.reg is broken stops, naming the file and line.
    test::TempDir dir;
    std::ofstream(dir.Path() + "/registry.reg")
        << "Windows Registry Editor Version 5.00\n\n[HKLM\\x]\nbroken\n";
    EXPECT_EXIT(sim::Machine::Use(dir.Path()), ::testing::ExitedWithCode(3),
                "registry.reg:4: expected a \\[key\\]");
}

class SharedRegistry : public ::testing::Test {
protected:
    HKEY Open(const char16_t* path, REGSAM access = KEY_ALL_ACCESS) {
        HKEY key = NULL;
        EXPECT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, access, NULL, &key, NULL));
        return key;
    }

    static LONG SetNumber(HKEY key, const std::u16string& name, DWORD number) {
        return RegSetValueExW(key, name.c_str(), 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&number), sizeof(number));
    }

    static LONG GetNumber(HKEY key, const std::u16string& name, DWORD* number) {
        DWORD size = sizeof(*number);
        return RegQueryValueExW(key, name.c_str(), NULL, NULL, reinterpret_cast<BYTE*>(number),
                                &size);
    }

    // Runs `body` in a child process; its exit code is what `body` returns.
    static pid_t Child(const std::function<int()>& body) {
        pid_t pid = fork();
        if (pid == 0) {
            _exit(body());
        }
        return pid;
    }

    static int Wait(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    test::TestMachine m_machine;
};

TEST_F(SharedRegistry, ChangesAreWrittenAtOnceVolatileKeysApart) {
    HKEY key = Open(u"Software\\Tarvik");
    EXPECT_EQ(ERROR_SUCCESS, SetNumber(key, u"HVMonTimeout", 30));
    HKEY vol = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(key, u"Runtime", 0, NULL, REG_OPTION_VOLATILE,
                                             KEY_ALL_ACCESS, NULL, &vol, NULL));
    EXPECT_EQ(ERROR_SUCCESS, SetNumber(vol, u"Pid", 7));
    std::string registry = m_machine.ReadFile("registry.reg");
    EXPECT_NE(std::string::npos, registry.find("[HKEY_LOCAL_MACHINE\\Software\\Tarvik]\n"
                                               "\"HVMonTimeout\"=dword:0000001e\n"));
    EXPECT_EQ(std::string::npos, registry.find("Runtime"));
    EXPECT_NE(std::string::npos, m_machine.ReadFile("volatile.reg")
                                     .find("[HKEY_LOCAL_MACHINE\\Software\\Tarvik\\Runtime]\n"
                                           "\"Pid\"=dword:00000007\n"));

    // Another process starting on the machine finds both.
    RegCloseKey(vol);
    RegCloseKey(key);
    sim::Machine::Use(m_machine.Dir());
    key = Open(u"Software\\Tarvik\\Runtime", KEY_READ);
    DWORD pid = 0;
    EXPECT_EQ(ERROR_SUCCESS, GetNumber(key, u"pid", &pid));
    EXPECT_EQ(7u, pid);
    RegCloseKey(key);

    // With its last volatile key gone, volatile.reg goes too.
    key = Open(u"Software\\Tarvik");
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(key, u"Runtime"));
    EXPECT_NE(0, access(m_machine.PathOf("volatile.reg").c_str(), F_OK));
    RegCloseKey(key);
}

TEST_F(SharedRegistry, AnotherProcessesChangeIsSeenAtTheNextRead) {
    HKEY key = Open(u"Software\\Tarvik");
    ASSERT_EQ(ERROR_SUCCESS, SetNumber(key, u"Reboot_Detected", 0));
    HKEY gone = Open(u"Software\\Tarvik\\Gone");
    DWORD value = 99;
    ASSERT_EQ(ERROR_SUCCESS, GetNumber(key, u"Reboot_Detected", &value));
    ASSERT_EQ(0u, value);

    pid_t child = Child([&] {
        sim::Machine::Use(m_machine.Dir());  // as a process started on the machine
        HKEY mine = NULL;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Tarvik", 0, KEY_ALL_ACCESS, &mine) !=
            ERROR_SUCCESS) {
            return 1;
        }
        HKEY made = NULL;
        bool ok = SetNumber(mine, u"Reboot_Detected", 1) == ERROR_SUCCESS &&
                  RegDeleteKeyW(mine, u"Gone") == ERROR_SUCCESS &&
                  RegCreateKeyExW(mine, u"New", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &made, NULL) ==
                      ERROR_SUCCESS;
        return ok ? 0 : 2;
    });
    ASSERT_EQ(0, Wait(child));

    EXPECT_EQ(ERROR_SUCCESS, GetNumber(key, u"Reboot_Detected", &value));
    EXPECT_EQ(1u, value);
    EXPECT_EQ(ERROR_KEY_DELETED, GetNumber(gone, u"x", &value));
    char16_t name[16];
    DWORD length = 16;
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyExW(key, 0, name, &length, NULL, NULL, NULL, NULL));
    EXPECT_EQ(std::u16string(u"New"), name);
    RegCloseKey(gone);
    RegCloseKey(key);
}

TEST_F(SharedRegistry, ConcurrentWritersLoseNothing) {
    const int kWriters = 3, kThreads = 2, kValues = 40;
    RegCloseKey(Open(u"Software\\Shared"));
    auto write = [&](int writer, int thread) {
        HKEY key = NULL;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Shared", 0, KEY_ALL_ACCESS, &key) !=
            ERROR_SUCCESS) {
            return false;
        }
        bool ok = true;
        for (int i = 0; i < kValues; ++i) {
            std::string name =
                std::to_string(writer) + "." + std::to_string(thread) + "." + std::to_string(i);
            ok = ok && SetNumber(key, sim::Utf8ToUtf16(name), i) == ERROR_SUCCESS;
        }
        RegCloseKey(key);
        return ok;
    };
    std::vector<pid_t> children;
    for (int writer = 1; writer < kWriters; ++writer) {
        children.push_back(Child([&, writer] {
            sim::Machine::Use(m_machine.Dir());
            std::vector<std::thread> threads;
            bool ok[kThreads] = {};
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&, t] { ok[t] = write(writer, t); });
            }
            for (std::thread& thread : threads) {
                thread.join();
            }
            return ok[0] && ok[1] ? 0 : 1;
        }));
    }
    std::vector<std::thread> threads;
    bool ok[kThreads] = {};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] { ok[t] = write(0, t); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(ok[0] && ok[1]);
    for (pid_t child : children) {
        EXPECT_EQ(0, Wait(child));
    }

    sim::Machine::Use(m_machine.Dir());
    HKEY key = Open(u"Software\\Shared", KEY_READ);
    DWORD values = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, &values,
                                              NULL, NULL, NULL, NULL));
    EXPECT_EQ(static_cast<DWORD>(kWriters * kThreads * kValues), values);
    RegCloseKey(key);
}

TEST_F(SharedRegistry, AWriterKilledMidWriteLeavesARegistryThatLoads) {
    RegCloseKey(Open(u"Software\\Killed"));
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        pid_t child = Child([&] {
            sim::Machine::Use(m_machine.Dir());
            HKEY key = NULL;
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Killed", 0, KEY_ALL_ACCESS, &key);
            std::vector<BYTE> padding(4096, static_cast<BYTE>(round));
            for (DWORD i = 0;; ++i) {
                std::u16string name = u"v" + sim::Utf8ToUtf16(std::to_string(round * 100000 + i));
                RegSetValueExW(key, name.c_str(), 0, REG_BINARY, padding.data(),
                               static_cast<DWORD>(padding.size()));
            }
            return 0;
        });
        // Killed once its first write is on disk, a little later each round.
        std::string first = "\"v" + std::to_string(round * 100000) + "\"";
        for (int wait = 0; wait < 10000; ++wait) {
            if (m_machine.ReadFile("registry.reg").find(first) != std::string::npos) {
                break;
            }
            usleep(1000);
        }
        usleep(round * 7000);
        kill(child, SIGKILL);
        EXPECT_EQ(128 + SIGKILL, Wait(child));

        // The file parses, and holds the writes of a prefix of the loop.
        auto tree = sim::NewRegistryTree();
        ASSERT_NO_THROW(sim::ReadRegFile(m_machine.ReadFile("registry.reg"), *tree));
        const sim::RegKey* key = tree->Find(u"HKEY_LOCAL_MACHINE\\Software\\Killed");
        ASSERT_NE(nullptr, key);
        int written = 0;
        for (const sim::RegValue& value : key->Values()) {
            written += value.data == std::vector<BYTE>(4096, static_cast<BYTE>(round));
        }
        EXPECT_GT(written, 0);
        for (int i = 0; i < written; ++i) {
            std::u16string name = u"v" + sim::Utf8ToUtf16(std::to_string(round * 100000 + i));
            EXPECT_NE(nullptr, key->Value(name)) << i;
        }
    }
    // And this process, whose cached version is long gone, reads what is on disk.
    auto tree = sim::NewRegistryTree();
    sim::ReadRegFile(m_machine.ReadFile("registry.reg"), *tree);
    HKEY key = Open(u"Software\\Killed", KEY_READ);
    DWORD values = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, &values,
                                              NULL, NULL, NULL, NULL));
    EXPECT_EQ(tree->Find(u"HKEY_LOCAL_MACHINE\\Software\\Killed")->Values().size(), values);
    RegCloseKey(key);
}

}  // namespace
