// MultiByteToWideChar and WideCharToMultiByte: round trips through 1252, Latin-1 and UTF-8,
// size queries, and the exact error of every refused call; the code pages of locales.
#include <windows.h>

#include "LastError.h"

#include <stdio.h>
#include <string.h>

#include <gtest/gtest.h>

#include <string>

namespace {

typedef std::basic_string<WCHAR> WString;

// Bytes that show each rule: ASCII, 1252's 0x80-0x9F (0x81 among the five that keep their C1
// code points), Latin-1's C1 range and the letters both share.
TEST(CodePage, SingleByteCodePagesRoundTrip) {
    const struct {
        UINT codePage;
        BYTE byte;
        WCHAR wide;
    } cases[] = {{1252, 0x41, 0x0041}, {1252, 0x80, 0x20AC}, {1252, 0x81, 0x0081},
                 {1252, 0x9F, 0x0178}, {1252, 0xE9, 0x00E9}, {28591, 0x80, 0x0080},
                 {28591, 0xFF, 0x00FF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "code page " << c.codePage << ", byte " << int(c.byte));
        char narrow[2] = {char(c.byte), 0};
        WCHAR wide[2] = {0xFFFF, 0xFFFF};
        SetLastError(0xdeadbeef);
        ASSERT_EQ(MultiByteToWideChar(c.codePage, 0, narrow, 1, wide, 2), 1);
        EXPECT_EQ(wide[0], c.wide);
        EXPECT_EQ(wide[1], 0xFFFF);
        EXPECT_EQ(GetLastError(), 0xdeadbeefu);  // success leaves the last error alone

        char back[2] = {0, 0};
        BOOL used = TRUE;
        ASSERT_EQ(WideCharToMultiByte(c.codePage, 0, wide, 1, back, 2, NULL, &used), 1);
        EXPECT_EQ(back[0], narrow[0]);
        EXPECT_FALSE(used);
    }
}

TEST(CodePage, Utf8RoundTripsAndReplacesWhatItCannotRead) {
    const struct {
        const char *name, *utf8;
        const WCHAR* wide;
    } cases[] = {
        {"two bytes", "caf\xC3\xA9", TEXT("caf\x00E9")},
        {"three bytes", "\xE2\x82\xAC\xE4\xB8\x80", TEXT("\x20AC\x4E00")},
        {"four bytes", "\xF0\x9F\x98\x80!", TEXT("\xD83D\xDE00!")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WString wide(c.wide);
        WCHAR wbuf[32];
        // -1 counts the terminator, and converts it.
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, c.utf8, -1, NULL, 0), int(wide.size() + 1));
        ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, c.utf8, -1, wbuf, 32), int(wide.size() + 1));
        EXPECT_EQ(WString(wbuf), wide);

        char nbuf[32];
        int bytes = int(strlen(c.utf8));
        // An explicit length converts exactly that, without a terminator.
        EXPECT_EQ(
            WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), int(wide.size()), NULL, 0, NULL, NULL),
            bytes);
        memset(nbuf, 'x', sizeof nbuf);
        ASSERT_EQ(
            WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), int(wide.size()), nbuf, 32, NULL, NULL),
            bytes);
        EXPECT_EQ(std::string(nbuf, bytes), std::string(c.utf8));
        EXPECT_EQ(nbuf[bytes], 'x');
    }

    // A byte that starts nothing becomes U+FFFD, and so does a lone surrogate.
    WCHAR wbuf[8];
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xFF\x62", 3, wbuf, 8), 3);
    EXPECT_EQ(WString(wbuf, 3), WString(TEXT("a\xFFFD\x0062")));
    const WCHAR lone[] = {'a', 0xD800, 'b', 0};
    char nbuf[8];
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, -1, nbuf, 8, NULL, NULL), 6);
    EXPECT_STREQ(nbuf, "a\xEF\xBF\xBD\x62");
}

TEST(CodePage, AnsiCodePageDefaultCharacterAndUsedFlag) {
    // CP_ACP and CP_THREAD_ACP stand for the ANSI code page.
    const char ansi[] = "\x80\xE9 ok";
    WCHAR viaAcp[8], viaThread[8], viaNumber[8];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, ansi, -1, viaAcp, 8), 6);
    ASSERT_EQ(MultiByteToWideChar(CP_THREAD_ACP, 0, ansi, -1, viaThread, 8), 6);
    ASSERT_EQ(MultiByteToWideChar(GetACP(), 0, ansi, -1, viaNumber, 8), 6);
    EXPECT_EQ(WString(viaAcp), WString(viaNumber));
    EXPECT_EQ(WString(viaThread), WString(viaNumber));

    const WCHAR text[] = {'a', 0x4E00, 'b', 0};
    char buf[8];
    BOOL used = FALSE;
    ASSERT_EQ(WideCharToMultiByte(1252, 0, text, -1, buf, 8, "*", &used), 4);
    EXPECT_STREQ(buf, "a*b");
    EXPECT_TRUE(used);

    used = TRUE;
    ASSERT_EQ(WideCharToMultiByte(1252, 0, text, 3, buf, 8, NULL, &used), 3);
    EXPECT_EQ(std::string(buf, 3), "a?b");
    EXPECT_TRUE(used);

    used = TRUE;
    ASSERT_EQ(WideCharToMultiByte(1252, 0, TEXT("ab"), -1, buf, 8, NULL, &used), 3);
    EXPECT_FALSE(used);
}

const DWORD kParam = ERROR_INVALID_PARAMETER, kSmall = ERROR_INSUFFICIENT_BUFFER,
            kFlags = ERROR_INVALID_FLAGS;

// A refused conversion either way, one of each kind; the narrow source is the wide one's ASCII
// text.
TEST(CodePage, RefusedConversions) {
    const struct {
        const char* name;
        bool nullDst;
        int dstLen;
        DWORD error;
    } both[] = {
        {"null destination with a size", true, 8, kParam},
        {"buffer too small", false, 3, kSmall},
    };
    WCHAR wide[8];
    char narrow[8];
    for (const auto& c : both) {
        SCOPED_TRACE(c.name);
        EXPECT_LAST_ERROR(
            0, c.error, MultiByteToWideChar(1252, 0, "abc", -1, c.nullDst ? NULL : wide, c.dstLen));
        EXPECT_LAST_ERROR(0, c.error,
                          WideCharToMultiByte(1252, 0, TEXT("abc"), -1, c.nullDst ? NULL : narrow,
                                              c.dstLen, NULL, NULL));
    }
    EXPECT_LAST_ERROR(0, kFlags, MultiByteToWideChar(1252, 0x100, "abc", 3, wide, 8));
    if (OnWine()) {  // it accepts what Windows documents as refused
        printf("Wine departs from Windows: UTF-8 with a default character\n");
        return;
    }
    EXPECT_LAST_ERROR(0, kParam,
                      WideCharToMultiByte(CP_UTF8, 0, TEXT("abc"), 3, narrow, 8, "?", NULL));
}

}  // namespace

// Other locales' code pages, and an unknown locale's refusal, HelperCodePage pins through the
// product; here the size rules.
TEST(CodePage, LocalesGiveTheirDefaultAnsiCodePage) {
    WCHAR text[16];
    EXPECT_EQ(5, GetLocaleInfoW(0x0409, LOCALE_IDEFAULTANSICODEPAGE, NULL, 0));
    EXPECT_EQ(5, GetLocaleInfoW(0x0409, LOCALE_IDEFAULTANSICODEPAGE, text, 5));
    EXPECT_EQ(WString(TEXT("1252")), text);
    EXPECT_LAST_ERROR(0, ERROR_INSUFFICIENT_BUFFER,
                      GetLocaleInfoW(0x0409, LOCALE_IDEFAULTANSICODEPAGE, text, 4));
    EXPECT_LAST_ERROR(0, ERROR_INVALID_PARAMETER,
                      GetLocaleInfoW(0x0409, LOCALE_IDEFAULTANSICODEPAGE, NULL, 16));
    if (!OnWine()) {  // only the code page is answered
        EXPECT_LAST_ERROR(0, ERROR_INVALID_FLAGS, GetLocaleInfoW(0x0409, 0x7FFF, text, 16));
    }
}
