// How the wide printf functions read a format: flags, width, precision, the runtime's size
// prefixes, and which conversions take wide or narrow arguments.
#include <windows.h>

#include "LastError.h"

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

TEST(WidePrintf, IntegersWithFlagsWidthAndPrecision) {
    EXPECT_EQ(TEXT("[   42]"), Format(TEXT("[%5d]"), 42)) << "width";
    EXPECT_EQ(TEXT("[42   ]"), Format(TEXT("[%-5d]"), 42)) << "left";
    EXPECT_EQ(TEXT("-0042"), Format(TEXT("%05d"), -42)) << "zero pad after sign";
    EXPECT_EQ(TEXT("+7 -7  7"), Format(TEXT("%+d %+d % d"), 7, -7, 7)) << "plus and space";
    EXPECT_EQ(TEXT("05:42:007"), Format(TEXT("%02.2d:%02.2d:%03.3d"), 5, 42, 7)) << "header field";
    EXPECT_EQ(TEXT("[]"), Format(TEXT("[%.0d]"), 0)) << "precision 0 of 0";
    EXPECT_EQ(TEXT("ff FF 010"), Format(TEXT("%x %X %#o"), 255, 255, 8)) << "hex and octal";
    EXPECT_EQ(TEXT("0xff 0XFF 0"), Format(TEXT("%#x %#X %#x"), 255, 255, 0)) << "alternate hex";
    EXPECT_EQ(TEXT("[   42|7  ]"), Format(TEXT("[%*d|%*d]"), 5, 42, -3, 7)) << "star widths";
    EXPECT_EQ(TEXT("007"), Format(TEXT("%.*d"), 3, 7)) << "star precision";

    // A precision turns the 0 flag off, as C says and Windows' runtime does; Wine's msvcrt pads
    // with zeros all the same.
    WString padded = Format(TEXT("[%08.3d]"), 7);
    if (OnWine() && padded == WString(TEXT("[00000007]"))) {
        printf("Wine departs from Windows: %%08.3d\n");
    } else {
        EXPECT_EQ(padded, WString(TEXT("[     007]")));
    }
}

TEST(WidePrintf, SizePrefixesReadTheWindowsWidths) {
    const LONG minusOne = -1;
    const DWORD allBits = 0xFFFFFFFF;
    EXPECT_EQ(TEXT("(2F3A4B5C6D)"), Format(TEXT("(%I64X)"), 0x2F3A4B5C6DULL));
    EXPECT_EQ(TEXT("-1099511627776"), Format(TEXT("%I64d"), -1099511627776LL));
    EXPECT_EQ(TEXT("123456789abc -5"), Format(TEXT("%llx %lld"), 0x123456789ABCULL, -5LL));
    // l is 32 bits on Windows: a LONG and a DWORD are read whole and nothing after them shifts.
    EXPECT_EQ(TEXT("-1 5"), Format(TEXT("%ld %d"), minusOne, 5));
    EXPECT_EQ(TEXT("ffffffff 5"), Format(TEXT("%lx %d"), allBits, 5));
    EXPECT_EQ(TEXT("123 6"), Format(TEXT("%Iu %d"), size_t(123), 6));
    EXPECT_EQ(TEXT("1"), Format(TEXT("%hd"), 65537));
}

TEST(WidePrintf, StringsAndCharactersWideAndNarrow) {
    const WCHAR* nullWide = NULL;
    const char* nullNarrow = NULL;
    EXPECT_EQ(TEXT("<narrow>"), Format(TEXT("<%S>"), "narrow"));
    EXPECT_EQ(TEXT("<wide>"), Format(TEXT("<%lS>"), TEXT("wide")));
    // E9 is U+00E9 in the ANSI code page and in the runtime's "C" locale alike.
    EXPECT_EQ(TEXT("caf\x00E9"), Format(TEXT("%S"), "caf\xE9")) << "narrow accent";
    EXPECT_EQ(TEXT("\x20AC\x4E00"), Format(TEXT("%s"), TEXT("\x20AC\x4E00")));
    EXPECT_EQ(TEXT("[000ab]"), Format(TEXT("[%05s]"), TEXT("ab"))) << "zero pads strings";
    EXPECT_EQ(TEXT("[ab]"), Format(TEXT("[%.2s]"), TEXT("abcdef"))) << "precision cuts";
    EXPECT_EQ(TEXT("(null)"), Format(TEXT("%s"), nullWide)) << "null wide";
    EXPECT_EQ(TEXT("(null)"), Format(TEXT("%S"), nullNarrow)) << "null narrow";
    EXPECT_EQ(TEXT("\x4E00"), Format(TEXT("%c"), TEXT('\x4E00')));
    EXPECT_EQ(TEXT("yz"), Format(TEXT("%C%hc"), 'y', 'z'));
    EXPECT_EQ(TEXT("vw"), Format(TEXT("%wc%lc"), TEXT('v'), TEXT('w')));
    EXPECT_EQ(TEXT("%s %d"), Format(TEXT("%s"), TEXT("%s %d"))) << "percent in an argument";
}

}  // namespace
