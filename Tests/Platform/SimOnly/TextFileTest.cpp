// Files from _wfopen on the machine's drive: text mode writes narrow text in the machine's ANSI
// code page with "\n" as "\r\n", binary mode the UTF-16LE units; _filelength follows the file.
#include <windows.h>

#include <errno.h>
#include <io.h>
#include <stdio.h>
#include <wchar.h>

#include "InvalidParameter.h"
#include "Machine/Faults/Faults.h"
#include "Machine/Machine.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

typedef CountedHandlerTest TextFile;

TEST_F(TextFile, ModesDecideHowWideTextIsWritten) {
    struct Case {
        const char* name;
        const char* codePage;
        const WCHAR* mode;
        std::string bytes;
    } const cases[] = {
        {"text", "1252", u"w", "a\r\nb \xE9\x80?\r\n"},
        {"Latin-1 lacks the euro", "28591", u"w", "a\r\nb \xE9??\r\n"},
        {"UTF-8", "65001", u"w", "a\r\nb \xC3\xA9\xE2\x82\xAC\xE4\xB8\x80\r\n"},
        {"binary", "1252", u"wb", std::string("a\0\n\0b\0 \0\xE9\0\xAC\x20\x00\x4E\n\0", 16)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TestMachine machine(std::string("{\"codePage\": ") + c.codePage + "}");
        machine.MakeDirectory("drive_c/Logs");
        FILE* file = _wfopen(u"c:\\logs\\Trace.TXT", c.mode);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(fwprintf(file, u"a\n%s %c%s\n", u"b", u'\x00E9', u"\x20AC\x4E00"), 8);
        fflush(file);
        EXPECT_EQ(_filelength(_fileno(file)), long(c.bytes.size()));
        fclose(file);
        EXPECT_EQ(machine.ReadFile("drive_c/Logs/Trace.TXT"), c.bytes);
    }
    // A line never overtakes bytes the C library still holds, and the position follows both.
    test::TestMachine machine;
    FILE* file = _wfopen(u"C:\\mixed.txt", u"w");
    ASSERT_NE(file, nullptr);
    fwprintf(file, u"%s", u"a\n");
    EXPECT_EQ(ftell(file), 3);
    fputs("x", file);
    fwprintf(file, u"%s", u"y\n");
    EXPECT_EQ(ftell(file), 7);
    fclose(file);
    EXPECT_EQ(machine.ReadFile("drive_c/mixed.txt"), "a\r\nxy\r\n");
    EXPECT_EQ(g_handlerCalls, 0);
}

TEST_F(TextFile, AStreamHandedOutAgainForgetsItsOldMode) {
    test::TestMachine machine;
    // glibc hands a freed FILE out again; whatever it does, each stream keeps its own mode.
    for (int round = 0; round < 3; ++round) {
        FILE* text = _wfopen(u"C:\\t.txt", u"w");
        ASSERT_NE(text, nullptr);
        fclose(text);
        FILE* binary = _wfopen(u"C:\\b.bin", u"wb");
        ASSERT_NE(binary, nullptr);
        fwprintf(binary, u"\n");
        fclose(binary);
        EXPECT_EQ(machine.ReadFile("drive_c/b.bin"), std::string("\n\0", 2));
    }
}

// The errno a refused open leaves, or -1 when the file opens.
int OpenError(const WCHAR* path, const WCHAR* mode) {
    errno = 0;
    FILE* file = _wfopen(path, mode);
    if (file != nullptr) {
        fclose(file);
        return -1;
    }
    return errno;
}

TEST_F(TextFile, FailuresGiveNullAndErrno) {
    test::TestMachine machine;
    EXPECT_EQ(ENOENT, OpenError(u"C:\\missing\\x.txt", u"w"));
    EXPECT_EQ(ENOENT, OpenError(u"C:\\absent.txt", u"r"));
    EXPECT_EQ(g_handlerCalls, 0);
    sim::Machine::Get().Faults().Add("_wfopen", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(EACCES, OpenError(u"C:\\x.txt", u"w"));
    EXPECT_EQ(-1, OpenError(u"C:\\x.txt", u"w"));  // only the one call fails

    // Each call below goes to the handler once.
    for (const WCHAR* mode : {u"", u"x", u"rw", u"wbt", u"w++", u"w, ccs=UTF-8"}) {
        EXPECT_EQ(EINVAL, OpenError(u"C:\\x.txt", mode)) << wcslen(mode) << " characters";
    }
    EXPECT_EQ(_wfopen(nullptr, u"w"), nullptr);
    EXPECT_EQ(fwprintf(nullptr, u"x"), -1);
    errno = 0;
    EXPECT_EQ(_filelength(-1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(g_handlerCalls, 9);
}

}  // namespace
