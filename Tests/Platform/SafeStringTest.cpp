// The bounded copies and formats: results, error numbers, what is left in the destination, and
// the process-wide invalid-parameter handler they call before they fail.
#include <windows.h>

#include "InvalidParameter.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <gtest/gtest.h>

#include <string>

namespace {

typedef std::basic_string<WCHAR> WString;

typedef CountedHandlerTest SafeString;

const WCHAR kFilled[] = TEXT("xxxxxxxxxxxxxxx");

TEST_F(SafeString, CopyAndConcatenationResultsAndDestination) {
    const struct {
        const char* name;
        bool concatenate;
        size_t size;
        errno_t result;
        // the destination before, the source, the destination afterwards
        const WCHAR *start, *src, *left;
    } cases[] = {
        {"fits", false, 16, 0, kFilled, TEXT("hello"), TEXT("hello")},
        {"one too long", false, 5, ERANGE, kFilled, TEXT("hello"), TEXT("")},
        {"null source", false, 16, EINVAL, kFilled, NULL, TEXT("")},
        {"size 0", false, 0, EINVAL, kFilled, TEXT("hello"), kFilled},
        {"appended, fits", true, 16, 0, TEXT("ab"), TEXT("cd"), TEXT("abcd")},
        {"appended, one too long", true, 4, ERANGE, TEXT("ab"), TEXT("cd"), TEXT("")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WCHAR dest[16];
        memcpy(dest, kFilled, sizeof dest);
        memcpy(dest, c.start, (WString(c.start).size() + 1) * sizeof(WCHAR));
        g_handlerCalls = 0;
        errno = 0;
        EXPECT_EQ(c.concatenate ? wcscat_s(dest, c.size, c.src) : wcscpy_s(dest, c.size, c.src),
                  c.result);
        EXPECT_EQ(WString(dest), WString(c.left));
        ExpectHandlerCalls(c.result ? 1 : 0);
        if (!OnWine() || !c.concatenate) {  // Wine's wcscat_s leaves errno alone
            EXPECT_EQ(errno, c.result);
        }
    }
}

const size_t kNoCount = 0;  // the row calls swprintf_s, which takes none

TEST_F(SafeString, BoundedFormatTruncatesOrFails) {
    const struct {
        const char* name;
        size_t size, count;
        int result, handlerCalls;
        const WCHAR* left;
    } cases[] = {
        {"_TRUNCATE, cut", 4, _TRUNCATE, -1, 0, TEXT("123")},
        {"count below size, cut", 8, 2, -1, 0, TEXT("12")},
        {"count at size, too small", 4, 4, -1, 1, TEXT("")},
        {"swprintf_s, just fits", 6, kNoCount, 5, 0, TEXT("12345")},
        {"swprintf_s, too small", 5, kNoCount, -1, 1, TEXT("")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (OnWine() && c.count == c.size && c.result < 0) {
            printf("Wine departs from Windows: %s (it cuts the text)\n", c.name);
            continue;
        }
        WCHAR buffer[16];
        memcpy(buffer, kFilled, sizeof buffer);
        g_handlerCalls = 0;
        errno = 0;
        EXPECT_EQ(c.count == kNoCount ? swprintf_s(buffer, c.size, TEXT("%d"), 12345)
                                      : _snwprintf_s(buffer, c.size, c.count, TEXT("%d"), 12345),
                  c.result);
        EXPECT_EQ(WString(buffer), WString(c.left));
        ExpectHandlerCalls(c.handlerCalls);
        if (c.handlerCalls) {
            EXPECT_EQ(errno, ERANGE);
        }
    }

    WCHAR buffer[8];
    g_handlerCalls = 0;
    EXPECT_EQ(_snwprintf_s(buffer, 8, 4, NULL), -1);
    EXPECT_EQ(swprintf_s(buffer, 0, TEXT("x")), -1);
    ExpectHandlerCalls(2);
    EXPECT_EQ(swprintf_s(buffer, TEXT("%d"), 1234567), 7);  // the array form

    // The array form with the header's bound: the text itself is not the limit.
    WCHAR line[16];
    EXPECT_EQ(_snwprintf_s(line, _TRUNCATE, TEXT("%s|%d"), TEXT("abcdefghijklmno"), 1), -1);
    EXPECT_EQ(WString(line), WString(TEXT("abcdefghijklmno")));
}

// The runtime's plain wide-string functions: search, ASCII case and numbers.
TEST(WideString, SearchCaseAndNumbers) {
    WCHAR text[] = TEXT("Team a\\B");
    EXPECT_EQ(wcslen(text), 8u);
    EXPECT_EQ(wcschr(text, 'a'), text + 2);
    EXPECT_EQ(wcschr(text, 0), text + 8);
    EXPECT_EQ(wcsrchr(text, 'a'), text + 5);
    EXPECT_EQ(wcsrchr(text, 'z'), nullptr);
    EXPECT_EQ(wcsstr(text, TEXT("a\\")), text + 5);
    EXPECT_EQ(wcsstr(text, TEXT("")), text);
    EXPECT_EQ(wcsstr(text, TEXT("Bx")), nullptr);
    EXPECT_LT(_wcsicmp(TEXT("a"), TEXT("B")), 0);
    EXPECT_GT(_wcsicmp(TEXT("ab"), TEXT("A")), 0);
    const struct {
        const WCHAR* text;
        int value, error;
    } numbers[] = {{TEXT(" \t42x"), 42, 0},
                   {TEXT("-17"), -17, 0},
                   {TEXT("+5"), 5, 0},
                   {TEXT("x1"), 0, 0},
                   {TEXT("2147483648"), 2147483647, ERANGE},
                   {TEXT("-2147483649"), -2147483647 - 1, ERANGE}};
    for (const auto& n : numbers) {
        errno = 0;
        EXPECT_EQ(_wtoi(n.text), n.value);
        EXPECT_EQ(errno, n.error);
    }
}

TEST(SafeStringDeathTest, NoHandlerEndsTheProcess) {
    if (OnWine()) {
        // Wine's msvcrt returns the error code instead of ending the process.
        printf("Wine departs from Windows: no handler does not end the process\n");
        return;
    }
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    SetHandler(NULL);
    WCHAR dest[4];
    EXPECT_DEATH(wcscpy_s(dest, 4, TEXT("too long")), "");
}

}  // namespace
