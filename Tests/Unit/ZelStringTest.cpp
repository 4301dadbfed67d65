#include "ZelString.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<CZelString> List;

TEST(CZelString, SplitKeepsEmptyFieldsButDropsOneTrailingField) {
    struct Case {
        const WCHAR* text;
        std::vector<CZelString> pieces;
        bool result;
    } cases[] = {
        {TEXT("a,b,c"), List({TEXT("a"), TEXT("b"), TEXT("c")}), true},
        {TEXT("abc"), List({}), false},
        {TEXT("a,,b"), List({TEXT("a"), TEXT(""), TEXT("b")}), true},
        {TEXT(",a"), List({TEXT(""), TEXT("a")}), true},
        {TEXT("a,b,"), List({TEXT("a"), TEXT("b")}), true},
        {TEXT(","), List({TEXT("")}), true},
        {TEXT(",,"), List({TEXT(""), TEXT("")}), true},
        {TEXT(""), List({}), false},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        CZelString text(cases[i].text);
        std::vector<CZelString> pieces = List({TEXT("stale")});
        EXPECT_EQ(cases[i].result, text.Split(',', pieces));
        EXPECT_EQ(cases[i].pieces, pieces);
        EXPECT_TRUE(text == cases[i].text);  // the string itself is untouched
    }
    // A separator above 0x7F is sign-extended and matches no Latin-1 character.
    CZelString latin(TEXT("a\u00E9b"));
    std::vector<CZelString> pieces;
    EXPECT_FALSE(latin.Split(static_cast<char>(0xE9), pieces));
    EXPECT_TRUE(pieces.empty());
}

TEST(CZelString, TrimsOnlyBlanksAndCutsByCount) {
    typedef void (*Edit)(CZelString&);
    const struct {
        Edit edit;
        const WCHAR *text, *result;
    } cases[] = {
        {[](CZelString& s) { s.TrimLeft(); }, TEXT("\t a b  "), TEXT("\t a b  ")},
        {[](CZelString& s) { s.TrimRight(); }, TEXT("\t a b  "), TEXT("\t a b")},
        {[](CZelString& s) { s.Trim(); }, TEXT("    "), TEXT("")},
        {[](CZelString& s) { s.Trim(); }, TEXT("  x y  "), TEXT("x y")},
        {[](CZelString& s) { s.Left(5); }, TEXT("abcd"), TEXT("abcd")},
        {[](CZelString& s) { s.Left(3); }, TEXT("abcd"), TEXT("abc")},
        {[](CZelString& s) { s.Left(0); }, TEXT("abcd"), TEXT("")},
        {[](CZelString& s) { s.Right(2); }, TEXT("abcd"), TEXT("cd")},
        {[](CZelString& s) { s.Right(7); }, TEXT("cd"), TEXT("cd")},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        CZelString text(cases[i].text);
        cases[i].edit(text);
        EXPECT_EQ(CZelString(cases[i].result), text) << i;
    }
}

TEST(CZelString, ClassifiesCharacters) {
    // Nothing above 0x7F has a class.
    struct {
        const WCHAR* text;
        int classes;
        bool is;
    } types[] = {
        {TEXT("0123"), 0x2, true},       {TEXT("01a3"), 0x2, false},  {TEXT("01-3"), 0x2, false},
        {TEXT("01-3"), 0x6, true},       {TEXT("a b"), 0x5, true},    {TEXT("a b"), 0x1, false},
        {TEXT("\x00E9\x4E2D"), 0, true}, {TEXT("\x7F\x1F"), 0, true}, {TEXT(""), 0, true}};
    for (const auto& t : types) {
        EXPECT_EQ(t.is, CZelString(t.text).IsStringType(t.classes)) << t.classes;
    }
    CZelString empty;
    EXPECT_FALSE(empty.IsNumeric());
    EXPECT_TRUE(empty.IsStringHexadecimal());
    EXPECT_TRUE(empty.IsWithinAsciiRange(0x20, 0x7E));
    EXPECT_TRUE(CZelString(TEXT("0019")).IsNumeric());
    EXPECT_FALSE(CZelString(TEXT("19 ")).IsNumeric());
    EXPECT_TRUE(CZelString(TEXT("00aFbC9")).IsStringHexadecimal());
    EXPECT_FALSE(CZelString(TEXT("0g")).IsStringHexadecimal());
    EXPECT_FALSE(CZelString(TEXT("a\tb")).IsWithinAsciiRange(0x20, 0x7E));
    EXPECT_TRUE(CZelString(TEXT("~ ")).IsWithinAsciiRange(0x20, 0x7E));

    for (int c = 0; c < 0x100; ++c) {
        WCHAR w = static_cast<WCHAR>(c);
        bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        bool digit = c >= '0' && c <= '9';
        EXPECT_EQ(alpha, CZelString::IsAlphaChar(w)) << c;
        EXPECT_EQ(digit, CZelString::IsNumericChar(w)) << c;
        EXPECT_EQ(c >= 0x20 && c <= 0x7E && !alpha && !digit, CZelString::IsSymbolicChar(w)) << c;
        EXPECT_EQ(digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'),
                  CZelString::IsHexadecimal(w))
            << c;
    }
}

TEST(CZelString, ComparesExactlyOrIgnoringAsciiCase) {
    CZelString mixed(TEXT("Orvex Team 1"));
    EXPECT_TRUE(mixed.CompareI(TEXT("ORVEX team 1")));
    EXPECT_FALSE(mixed.CompareI(TEXT("ORVEX team 2")));
    EXPECT_TRUE(mixed == TEXT("Orvex Team 1"));
    EXPECT_FALSE(mixed == TEXT("orvex Team 1"));
    EXPECT_TRUE(CZelString::IsStrGreater(TEXT("a"), TEXT("b")));
    EXPECT_FALSE(CZelString::IsStrGreater(TEXT("b"), TEXT("a")));
    EXPECT_TRUE(CZelString(TEXT("B")) < CZelString(TEXT("a")));

    EXPECT_TRUE(CZelString::CompareVectors(List({TEXT("x"), TEXT("y")}),
                                           List({TEXT("y"), TEXT("x")}), true));
    EXPECT_FALSE(CZelString::CompareVectors(List({TEXT("x")}), List({TEXT("x"), TEXT("x")}), true));
    EXPECT_FALSE(CZelString::CompareVectors(List({TEXT("x"), TEXT("Y")}),
                                            List({TEXT("y"), TEXT("x")}), true));
    EXPECT_TRUE(CZelString::CompareVectors(List({TEXT("b"), TEXT("a")}),
                                           List({TEXT("A"), TEXT("B")}), false));
    // The sort is case-sensitive whatever the flag: (B, a) and (A, b) pair up B with A.
    EXPECT_FALSE(CZelString::CompareVectors(List({TEXT("B"), TEXT("a")}),
                                            List({TEXT("A"), TEXT("b")}), false));
    EXPECT_TRUE(CZelString::CompareVectors(List({}), List({}), true));

    // Case changes touch ASCII letters only.
    CZelString cased(TEXT("Caf\x00C9 Team-7 \x00E9"));
    cased.MakeLower();
    EXPECT_TRUE(cased == TEXT("caf\x00C9 team-7 \x00E9"));
    cased.MakeUpper();
    EXPECT_TRUE(cased == TEXT("CAF\x00C9 TEAM-7 \x00E9"));
}

TEST(CZelString, IntegersAndConcatenation) {
    int largest = 2147483647;
    int smallest = -2147483647 - 1;
    int zero = 0;
    EXPECT_TRUE(CZelString(largest) == TEXT("2147483647"));
    CZelString text;
    text = smallest;
    EXPECT_TRUE(text == TEXT("-2147483648"));
    EXPECT_TRUE(CZelString(zero) == TEXT("0"));
    EXPECT_TRUE(CZelString(TEXT("ab")) + CZelString(TEXT("cd")) == TEXT("abcd"));
    text.ClearString();
    EXPECT_EQ(1, text.IsEmpty());
}

TEST(CZelString, FormatStringKeepsAtMost1024Characters) {
    CZelString text(TEXT("old"));
    EXPECT_EQ(10, text.FormatString(TEXT("%s-%d-%04x"), TEXT("ab"), 42, 0x1f));
    EXPECT_TRUE(text == TEXT("ab-42-001f"));
    std::basic_string<WCHAR> longText(1500, TEXT('x'));
    EXPECT_EQ(-1, text.FormatString(TEXT("%s"), longText.c_str()));
    EXPECT_EQ(1024u, text.Length());
    std::basic_string<WCHAR> exact(1024, TEXT('y'));
    EXPECT_EQ(1024, text.FormatString(TEXT("%s"), exact.c_str()));
    EXPECT_EQ(1024u, text.Length());
}

TEST(CZelString, ConversionsBoundTheirOutput) {
    WCHAR wide[16];
    EXPECT_EQ(6, CZelString::ZelMultiByteToWideChar(CP_UTF8, 0, "Caf\xC3\xA9!", -1, wide, 16));
    EXPECT_EQ(0, std::basic_string<WCHAR>(TEXT("Caf\x00E9!")).compare(wide));
    // An explicit length without a terminator: the last character gives way to it.
    EXPECT_EQ(3, CZelString::ZelMultiByteToWideChar(1252, 0, "abcdef", 3, wide, 16));
    EXPECT_EQ(0, std::basic_string<WCHAR>(TEXT("ab")).compare(wide));
    EXPECT_EQ(4, CZelString::ZelMultiByteToWideChar(1252, 0, "abcdef", -1, wide, 4));
    EXPECT_EQ(0, std::basic_string<WCHAR>(TEXT("abc")).compare(wide));
    EXPECT_EQ(0, CZelString::ZelMultiByteToWideChar(1252, 0, "abc", 0, wide, 4));
    EXPECT_EQ(0, CZelString::ZelMultiByteToWideChar(1252, 0, "abc", -2, wide, 4));
    EXPECT_EQ(0, CZelString::ZelMultiByteToWideChar(1252, 0, "abc", -1, NULL, 4));

    char narrow[16];
    EXPECT_EQ(5, CZelString::ZelWideCharToMultiByte(1252, 0, TEXT("Caf\x00E9"), -1, narrow, 16,
                                                    NULL, NULL));
    EXPECT_STREQ("Caf\xE9", narrow);
    EXPECT_EQ(3, CZelString::ZelWideCharToMultiByte(CP_UTF8, 0, TEXT("Caf\x00E9"), -1, narrow, 3,
                                                    NULL, NULL));
    EXPECT_STREQ("Ca", narrow);

    LPWSTR allocated = NULL;
    EXPECT_EQ(4, CZelString::ZelMultiByteToWideChar_alloc(CP_UTF8, 0, "xyz", allocated));
    ASSERT_NE(nullptr, allocated);
    EXPECT_EQ(0, std::basic_string<WCHAR>(TEXT("xyz")).compare(allocated));
    EXPECT_EQ(0, CZelString::ZelMultiByteToWideChar_alloc(CP_UTF8, 0, "again", allocated));
    CZelString::ZelMultiByteToWideChar_dealloc(allocated);
    EXPECT_EQ(nullptr, allocated);

    LPSTR bytes = NULL;
    EXPECT_EQ(6, CZelString::ZelWideCharToMultiByte_alloc(CP_UTF8, 0, TEXT("Caf\x00E9"), bytes,
                                                          NULL, NULL));
    ASSERT_NE(nullptr, bytes);
    EXPECT_STREQ("Caf\xC3\xA9", bytes);
    CZelString::ZelWideCharToMultiByte_dealloc(bytes);
    EXPECT_EQ(nullptr, bytes);
}

}  // namespace

TEST(CZelString, FormatWarningMessageFillsPlaceholdersInOrder) {
    struct Case {
        const WCHAR* text;
        std::vector<CZelString> params;
        const WCHAR* result;
    } cases[] = {
        {TEXT("%s on %s"), List({TEXT("A"), TEXT("B")}), TEXT("A on B")},
        {TEXT("%s on %s"), List({TEXT("A"), TEXT("B"), TEXT("C")}), TEXT("A on B\nC")},
        {TEXT("%s on %s"), List({TEXT("A")}), TEXT("A on %s")},
        {TEXT("%d of %s"), List({TEXT("A")}), TEXT("%d of A")},
        // No format but "%s": "%%" and a lone "%" stay; "%%s" holds a placeholder after its "%".
        {TEXT("100%% %s"), List({TEXT("A")}), TEXT("100%% A")},
        {TEXT("%%s"), List({TEXT("A")}), TEXT("%A")},
        {TEXT("50%"), List({TEXT("A"), TEXT("B")}), TEXT("50%\nA\nB")},
        // Each search starts over: a parameter's own "%s" is filled by the next one.
        {TEXT("[%s] %s"), List({TEXT("x%sy"), TEXT("B"), TEXT("C")}), TEXT("[xBy] C")},
        {TEXT(""), List({TEXT("A")}), TEXT("\nA")},
        {TEXT("%s"), List({}), TEXT("%s")},
        {TEXT("%s %s"), List({TEXT(""), TEXT("B")}), TEXT(" B")},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        CZelString text(cases[i].text);
        text.FormatWarningMessage(cases[i].params);
        EXPECT_EQ(CZelString(cases[i].result), text);
    }
}
