// How the wide printf functions read the conversions the product's formats use: width,
// precision, the runtime's size prefixes, and which conversions take wide or narrow arguments.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <gtest/gtest.h>

#include <string>

namespace {

typedef std::basic_string<WCHAR> WString;

WString Format(const WCHAR* format, ...) {
    WCHAR buffer[512];
    va_list args;
    va_start(args, format);
    int length = _vsnwprintf_s(buffer, 512, _TRUNCATE, format, args);
    va_end(args);
    EXPECT_GE(length, 0);
    EXPECT_EQ(size_t(length), wcslen(buffer));
    return buffer;
}

TEST(WidePrintf, IntegersWithWidthPrecisionAndTheWindowsSizes) {
    const LONG minusOne = -1;
    EXPECT_EQ(TEXT("[   42|123456]"), Format(TEXT("[%5d|%5d]"), 42, 123456)) << "width";
    EXPECT_EQ(TEXT("05:42:007"), Format(TEXT("%02.2d:%02.2d:%03.3d"), 5, 42, 7)) << "header field";
    EXPECT_EQ(TEXT("ff FF 00001A2B 4000000000"),
              Format(TEXT("%x %X %08X %u"), 255, 255, 0x1A2B, 4000000000u));
    EXPECT_EQ(TEXT("(2F3A4B5C6D)"), Format(TEXT("(%I64X)"), 0x2F3A4B5C6DULL));
    // l is 32 bits on Windows: a LONG is read whole and nothing after it shifts.
    EXPECT_EQ(TEXT("-1 5"), Format(TEXT("%ld %d"), minusOne, 5));
}

TEST(WidePrintf, StringsAndCharactersWideAndNarrow) {
    const WCHAR* nullWide = NULL;
    EXPECT_EQ(TEXT("<narrow>"), Format(TEXT("<%S>"), "narrow"));
    EXPECT_EQ(TEXT("\x20AC\x4E00"), Format(TEXT("%s"), TEXT("\x20AC\x4E00")));
    EXPECT_EQ(TEXT("[ab          |abc]"), Format(TEXT("[%-12s|%.3s]"), TEXT("ab"), TEXT("abcdef")))
        << "left and cut";
    EXPECT_EQ(TEXT("(null)"), Format(TEXT("%s"), nullWide)) << "null wide";
    EXPECT_EQ(TEXT("\x4E00%"), Format(TEXT("%c%%"), TEXT('\x4E00')));
    EXPECT_EQ(TEXT("%s %d"), Format(TEXT("%s"), TEXT("%s %d"))) << "percent in an argument";
}

}  // namespace
