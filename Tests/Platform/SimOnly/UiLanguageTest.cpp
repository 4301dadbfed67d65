// The machine's user-interface language picks the executable's strings: the language itself,
// then the neutral entry, then en-US; a thread's own choice wins over the machine's.
#include <windows.h>

#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "ServiceStrings.h"

namespace {

std::u16string Description() {
    WCHAR buffer[1024];
    int length = LoadStringW(GetModuleHandleW(NULL), IDS_SERVICE_DESCRIPTION, buffer, 1024);
    return std::u16string(buffer, length > 0 ? length : 0);
}

TEST(UiLanguage, PicksTheMachinesLanguageThenEnglish) {
    struct {
        const char* language;
        const char16_t* expected;
    } cases[] = {
        {"de-DE", u"" TARVIK_DESCRIPTION_DE_DE},
        {"ja-JP", u"" TARVIK_DESCRIPTION_JA_JP},
        {"zh-TW", u"" TARVIK_DESCRIPTION_ZH_TW},
        {"es-ES", u"" TARVIK_DESCRIPTION_ES_ES},
        {"pt-BR", u"" TARVIK_DESCRIPTION_PT_BR},
        {"en-US", u"" TARVIK_DESCRIPTION_EN_US},
        // No Austrian German, no Portuguese of Portugal, no neutral entry: English.
        {"de-AT", u"" TARVIK_DESCRIPTION_EN_US},
        {"pt-PT", u"" TARVIK_DESCRIPTION_EN_US},
        {"ru-RU", u"" TARVIK_DESCRIPTION_EN_US},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.language);
        test::TestMachine machine(std::string("{\"uiLanguage\": \"") + c.language + "\"}");
        EXPECT_EQ(std::u16string(c.expected), Description());
    }
}

TEST(UiLanguage, ThreadChoiceWinsOnThatThreadOnly) {
    test::TestMachine machine(R"({"uiLanguage": "ko-KR"})");
    EXPECT_EQ(LANGID(0x0412), GetThreadUILanguage());
    std::u16string other;
    std::thread([&] {
        EXPECT_EQ(LANGID(0x040C), SetThreadUILanguage(0x040C));
        other = Description();
    }).join();
    EXPECT_EQ(std::u16string(u"" TARVIK_DESCRIPTION_FR_FR), other);
    EXPECT_EQ(std::u16string(u"" TARVIK_DESCRIPTION_KO_KR), Description());
}

}  // namespace
