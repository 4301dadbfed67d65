// CZelString::LoadStringW over a library's string table on the machine: texts longer than the
// first buffer, texts that fill it exactly, a missing module or string, and an allocation that
// fails.
#include "ZelString.h"

#include "Machine/Faults/Faults.h"
#include "Machine/Machine.h"
#include "Support/Narrow.h"
#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using test::Narrow;

std::basic_string<WCHAR> Text(size_t length) {
    std::basic_string<WCHAR> text;
    for (size_t i = 0; i < length; ++i) {
        text += static_cast<WCHAR>(u'a' + i % 26);
    }
    return text;
}

TEST(ZelStringLoadString, TextsOfEveryLengthComeWhole) {
    const size_t lengths[] = {0, 1, 1022, 1023, 1024, 2047, 2048, 5000};
    std::string strings;
    for (size_t i = 0; i < sizeof lengths / sizeof *lengths; ++i) {
        strings += (i ? ", \"" : "\"") + std::to_string(i + 1) + "\": \"" +
                   Narrow(Text(lengths[i])) + "\"";
    }
    test::TestMachine machine(R"({"libraries": [{"name": "Texts.dll", "strings": {)" + strings +
                              "}}]}");
    HMODULE hTexts = LoadLibraryW(TEXT("Texts.dll"));
    ASSERT_NE(static_cast<HMODULE>(NULL), hTexts);

    for (size_t i = 0; i < sizeof lengths / sizeof *lengths; ++i) {
        SCOPED_TRACE(lengths[i]);
        CZelString str(TEXT("before"));
        EXPECT_EQ(static_cast<int>(lengths[i]), str.LoadStringW(hTexts, static_cast<UINT>(i + 1)));
        EXPECT_EQ(Text(lengths[i]), static_cast<const std::basic_string<WCHAR>&>(str));
    }

    // No module or no buffer at all: nothing loaded, the string as it was.
    CZelString str(TEXT("before"));
    EXPECT_EQ(0, str.LoadStringW(NULL, 1));
    sim::Machine::Get().Faults().FailAllocation(1);
    EXPECT_EQ(0, str.LoadStringW(hTexts, 8));
    sim::Machine::Get().Faults().FailAllocation(0);
    EXPECT_EQ(CZelString(TEXT("before")), str);
    // No such string: the text is emptied.
    EXPECT_EQ(0, str.LoadStringW(hTexts, 99));
    EXPECT_TRUE(str.empty());

    FreeLibrary(hTexts);
}

}  // namespace
