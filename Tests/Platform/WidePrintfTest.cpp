// How the wide printf functions read a format: flags, width, precision, the runtime's size
// prefixes, and which conversions take wide or narrow arguments.
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

struct Case {
    const char* name;
    WString actual;
    const WCHAR* expected;
};

void Check(const Case* cases, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i << ": " << cases[i].name);
        EXPECT_EQ(cases[i].actual, WString(cases[i].expected));
    }
}

TEST(WidePrintf, IntegersWithFlagsWidthAndPrecision) {
    const Case cases[] = {
        {"%d negative", Format(TEXT("%d"), -42), TEXT("-42")},
        {"width", Format(TEXT("[%5d]"), 42), TEXT("[   42]")},
        {"left", Format(TEXT("[%-5d]"), 42), TEXT("[42   ]")},
        {"zero pad after sign", Format(TEXT("%05d"), -42), TEXT("-0042")},
        {"plus and space", Format(TEXT("%+d %+d % d"), 7, -7, 7), TEXT("+7 -7  7")},
        {"precision", Format(TEXT("%.3d"), 7), TEXT("007")},
        {"header field", Format(TEXT("%02.2d:%02.2d:%03.3d"), 5, 42, 7), TEXT("05:42:007")},
        {"precision 0 of 0", Format(TEXT("[%.0d]"), 0), TEXT("[]")},
        {"hex and octal", Format(TEXT("%x %X %#o"), 255, 255, 8), TEXT("ff FF 010")},
        {"alternate hex", Format(TEXT("%#x %#X %#x"), 255, 255, 0), TEXT("0xff 0XFF 0")},
        {"star widths", Format(TEXT("[%*d|%*d]"), 5, 42, -3, 7), TEXT("[   42|7  ]")},
        {"star precision", Format(TEXT("%.*d"), 3, 7), TEXT("007")},
    };
    Check(cases, sizeof cases / sizeof *cases);

    // A precision turns the 0 flag off, as C says and Windows' runtime does; Wine's msvcrt pads
    // with zeros all the same.
    WString padded = Format(TEXT("[%08.3d]"), 7);
    if (GetProcAddress(GetModuleHandleW(TEXT("ntdll")), "wine_get_version") != NULL &&
        padded == WString(TEXT("[00000007]"))) {
        printf("Wine departs from Windows: %%08.3d\n");
    } else {
        EXPECT_EQ(padded, WString(TEXT("[     007]")));
    }
}

TEST(WidePrintf, SizePrefixesReadTheWindowsWidths) {
    const LONG minusOne = -1;
    const DWORD allBits = 0xFFFFFFFF;
    const Case cases[] = {
        {"%I64X", Format(TEXT("(%I64X)"), 0x2F3A4B5C6DULL), TEXT("(2F3A4B5C6D)")},
        {"%I64d", Format(TEXT("%I64d"), -1099511627776LL), TEXT("-1099511627776")},
        {"%I64u max", Format(TEXT("%I64u"), 0xFFFFFFFFFFFFFFFFULL), TEXT("18446744073709551615")},
        {"%llx %lld", Format(TEXT("%llx %lld"), 0x123456789ABCULL, -5LL), TEXT("123456789abc -5")},
        // l is 32 bits on Windows: a LONG and a DWORD are read whole and nothing after them shifts.
        {"%ld", Format(TEXT("%ld %d"), minusOne, 5), TEXT("-1 5")},
        {"%lx", Format(TEXT("%lx %d"), allBits, 5), TEXT("ffffffff 5")},
        {"%Iu", Format(TEXT("%Iu %d"), size_t(123), 6), TEXT("123 6")},
        {"%hd", Format(TEXT("%hd"), 65537), TEXT("1")},
        {"%hx", Format(TEXT("%hx"), 0x12345), TEXT("2345")},
    };
    Check(cases, sizeof cases / sizeof *cases);
}

TEST(WidePrintf, StringsAndCharactersWideAndNarrow) {
    const WCHAR* nullWide = NULL;
    const char* nullNarrow = NULL;
    const Case cases[] = {
        {"%s is wide", Format(TEXT("<%s>"), TEXT("wide")), TEXT("<wide>")},
        {"%S is narrow", Format(TEXT("<%S>"), "narrow"), TEXT("<narrow>")},
        {"%lS is wide", Format(TEXT("<%lS>"), TEXT("wide")), TEXT("<wide>")},
        // E9 is U+00E9 in the ANSI code page and in the runtime's "C" locale alike.
        {"narrow accent", Format(TEXT("%S"), "caf\xE9"), TEXT("caf\x00E9")},
        {"wide above Latin-1", Format(TEXT("%s"), TEXT("\x20AC\x4E00")), TEXT("\x20AC\x4E00")},
        {"zero pads strings", Format(TEXT("[%05s]"), TEXT("ab")), TEXT("[000ab]")},
        {"precision cuts", Format(TEXT("[%.2s]"), TEXT("abcdef")), TEXT("[ab]")},
        {"null wide", Format(TEXT("%s"), nullWide), TEXT("(null)")},
        {"null narrow", Format(TEXT("%S"), nullNarrow), TEXT("(null)")},
        {"%c is wide", Format(TEXT("%c"), TEXT('\x4E00')), TEXT("\x4E00")},
        {"%C and %hc are narrow", Format(TEXT("%C%hc"), 'y', 'z'), TEXT("yz")},
        {"%wc and %lc are wide", Format(TEXT("%wc%lc"), TEXT('v'), TEXT('w')), TEXT("vw")},
        {"percent in an argument", Format(TEXT("%s"), TEXT("%s %d")), TEXT("%s %d")},
    };
    Check(cases, sizeof cases / sizeof *cases);
}

}  // namespace
