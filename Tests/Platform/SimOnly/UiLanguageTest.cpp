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
    // Each region its own entry, and the fallback; en-US and ja-JP reach the installed service in
    // ServiceInstall, and the other translations follow the same rule.
    const std::pair<const char*, const char16_t*> cases[] = {
        {"zh-TW", u"" TARVIK_DESCRIPTION_ZH_TW},
        {"zh-CN", u"" TARVIK_DESCRIPTION_ZH_CN},
        {"de-DE", u"" TARVIK_DESCRIPTION_DE_DE},
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
