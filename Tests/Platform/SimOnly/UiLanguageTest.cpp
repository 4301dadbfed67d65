// The machine's user-interface language picks the executable's strings: the language itself,
// then the neutral entry, then en-US.
#include <windows.h>

#include "Support/TestMachine.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "ServiceStrings.h"

namespace {

TEST(UiLanguage, PicksTheMachinesLanguageThenEnglish) {
    const std::pair<const char*, const char16_t*> cases[] = {
        {"zh-TW", u"" TARVIK_DESCRIPTION_ZH_TW}, {"zh-CN", u"" TARVIK_DESCRIPTION_ZH_CN},
        {"de-DE", u"" TARVIK_DESCRIPTION_DE_DE}, {"en-US", u"" TARVIK_DESCRIPTION_EN_US},
        {"fr-FR", u"" TARVIK_DESCRIPTION_FR_FR}, {"it-IT", u"" TARVIK_DESCRIPTION_IT_IT},
        {"ja-JP", u"" TARVIK_DESCRIPTION_JA_JP}, {"ko-KR", u"" TARVIK_DESCRIPTION_KO_KR},
        {"pt-BR", u"" TARVIK_DESCRIPTION_PT_BR}, {"es-ES", u"" TARVIK_DESCRIPTION_ES_ES},
        {"de-AT", u"" TARVIK_DESCRIPTION_EN_US},  // no Austrian German, no neutral entry
    };
    for (const auto& [language, expected] : cases) {
        SCOPED_TRACE(language);
        test::TestMachine machine(std::string("{\"uiLanguage\": \"") + language + "\"}");
        WCHAR buffer[1024];
        int length = LoadStringW(GetModuleHandleW(NULL), IDS_SERVICE_DESCRIPTION, buffer, 1024);
        EXPECT_EQ(std::u16string(expected), std::u16string(buffer, length > 0 ? length : 0));
    }
}

}  // namespace
