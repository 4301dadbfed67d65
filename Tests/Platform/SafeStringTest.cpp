// The bounded copies and formats: results, error numbers, what is left in the destination, and
// the process-wide invalid-parameter handler they call before they fail.
#include <windows.h>

#include "LastError.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <gtest/gtest.h>

#include <string>

namespace {

typedef std::basic_string<WCHAR> WString;

int g_handlerCalls = 0;

// WCHAR is wchar_t on Windows, where the handler's parameters are wchar_t.
void CountingHandler(const WCHAR*, const WCHAR*, const WCHAR*, unsigned int, uintptr_t) {
    ++g_handlerCalls;
}

_invalid_parameter_handler SetHandler(_invalid_parameter_handler handler) {
#ifdef _WIN32
    // MinGW's import library keeps a handler of its own that msvcrt.dll never sees; the bounded
    // functions of the DLL call the one installed in the DLL.
    typedef _invalid_parameter_handler(__cdecl * Setter)(_invalid_parameter_handler);
    Setter set = reinterpret_cast<Setter>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("msvcrt.dll"), "_set_invalid_parameter_handler")));
    if (set) {
        return set(handler);
    }
#endif
    return _set_invalid_parameter_handler(handler);
}

// Wine's msvcrt, as a MinGW build reaches it, never calls a handler the test can install.
void ExpectHandlerCalls(int calls) {
    if (!OnWine()) {
        EXPECT_EQ(g_handlerCalls, calls);
    }
}

class SafeString : public testing::Test {
protected:
    void SetUp() override {
        m_previous = SetHandler(CountingHandler);
        g_handlerCalls = 0;
    }
    void TearDown() override { SetHandler(m_previous); }

private:
    _invalid_parameter_handler m_previous = NULL;
};

const WCHAR kFilled[] = TEXT("xxxxxxxxxxxxxxx");

TEST_F(SafeString, CopyAndConcatenationResultsAndDestination) {
    const struct {
        const char* name;
        bool concatenate;
        const WCHAR* start;  // the destination before; NULL: no destination
        size_t size;
        const WCHAR* src;
        errno_t result;
        const WCHAR* left;  // the destination afterwards
    } cases[] = {
        {"fits", false, kFilled, 16, TEXT("hello"), 0, TEXT("hello")},
        {"one too long", false, kFilled, 5, TEXT("hello"), ERANGE, TEXT("")},
        {"empty source", false, kFilled, 1, TEXT(""), 0, TEXT("")},
        {"null source", false, kFilled, 16, NULL, EINVAL, TEXT("")},
        {"size 0", false, kFilled, 0, TEXT("hello"), EINVAL, kFilled},
        {"null destination", false, NULL, 16, TEXT("hello"), EINVAL, kFilled},
        {"appended, fits", true, TEXT("ab"), 16, TEXT("cd"), 0, TEXT("abcd")},
        {"appended to an empty string", true, TEXT(""), 3, TEXT("cd"), 0, TEXT("cd")},
        {"appended, one too long", true, TEXT("ab"), 4, TEXT("cd"), ERANGE, TEXT("")},
        {"appended, null source", true, TEXT("ab"), 16, NULL, EINVAL, TEXT("")},
        {"appended to nothing", true, NULL, 16, TEXT("x"), EINVAL, kFilled},
        // Wine gives ERANGE here.
        {"no terminator within size", true, TEXT("abcd"), 4, TEXT("e"), EINVAL, TEXT("")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (OnWine() && c.concatenate && c.size == 4 && c.result == EINVAL) {
            printf("Wine departs from Windows: %s\n", c.name);
            continue;
        }
        WCHAR dest[16];
        memcpy(dest, kFilled, sizeof dest);
        if (c.start) {
            memcpy(dest, c.start, (WString(c.start).size() + 1) * sizeof(WCHAR));
        }
        g_handlerCalls = 0;
        errno = 0;
        WCHAR* to = c.start ? dest : NULL;
        EXPECT_EQ(c.concatenate ? wcscat_s(to, c.size, c.src) : wcscpy_s(to, c.size, c.src),
                  c.result);
        EXPECT_EQ(WString(dest), WString(c.left));
        ExpectHandlerCalls(c.result ? 1 : 0);
        if (!OnWine() || !c.concatenate) {  // Wine's wcscat_s leaves errno alone
            EXPECT_EQ(errno, c.result);
        }
    }
}

int Snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int result = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return result;
}

TEST_F(SafeString, CountedFormatLeavesTheTerminatorOutWhenFull) {
    struct Case {
        size_t count;
        int result;
        const WCHAR* left;  // the buffer's first count + 1 characters afterwards
    } const cases[] = {
        {8, 5, TEXT("12345")},   // terminated
        {5, 5, TEXT("12345x")},  // exactly full: no terminator
        {3, -1, TEXT("123x")},   // cut: no terminator
    };
    for (size_t i = 0; i < sizeof cases / sizeof *cases; ++i) {
        SCOPED_TRACE(testing::Message() << "count " << cases[i].count);
        WCHAR buffer[16];
        memcpy(buffer, kFilled, sizeof buffer);
        EXPECT_EQ(Snwprintf(buffer, cases[i].count, TEXT("%d"), 12345), cases[i].result);
        WString left(cases[i].left);
        EXPECT_EQ(WString(buffer, left.size()), left);
    }
    ExpectHandlerCalls(0);
}

const size_t kNoCount = 0;  // the row calls swprintf_s, which takes none

TEST_F(SafeString, BoundedFormatTruncatesOrFails) {
    struct Case {
        const char* name;
        size_t size;
        size_t count;
        int result;
        const WCHAR* left;
        int handlerCalls;
    } const cases[] = {
        {"_TRUNCATE, fits", 8, _TRUNCATE, 5, TEXT("12345"), 0},
        {"_TRUNCATE, cut", 4, _TRUNCATE, -1, TEXT("123"), 0},
        {"count below size, cut", 8, 2, -1, TEXT("12"), 0},
        {"count at size, too small", 4, 4, -1, TEXT(""), 1},
        {"count above size, too small", 4, 10, -1, TEXT(""), 1},
        {"swprintf_s, fits", 6, kNoCount, 5, TEXT("12345"), 0},
        {"swprintf_s, too small", 5, kNoCount, -1, TEXT(""), 1},
    };
    for (const Case& c : cases) {
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
    EXPECT_EQ(_wcsicmp(TEXT("ORVEX"), TEXT("orvex")), 0);
    EXPECT_LT(_wcsicmp(TEXT("a"), TEXT("B")), 0);
    EXPECT_GT(_wcsicmp(TEXT("ab"), TEXT("A")), 0);
    EXPECT_EQ(WString(_wcslwr(text)), WString(TEXT("team a\\b")));
    EXPECT_EQ(WString(_wcsupr(text)), WString(TEXT("TEAM A\\B")));
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
