// The executable's own string table: string 101 in each of its ten languages, picked by the
// thread's user-interface language, and LoadStringW's size rules. The test links the resources
// the product carries: the compiled resource script on Windows, the same texts as the simulated
// machine's table on Linux.
#include <windows.h>

#include "LastError.h"

#include <string.h>
#include <wchar.h>

#include <gtest/gtest.h>

#include <string>

#include "ServiceStrings.h"

namespace {

typedef std::basic_string<WCHAR> WString;

#define LANG_PAIR(primary, sub) MAKELANGID(primary, sub)
#define LANG_OF(pair) LANG_PAIR(pair)

struct Translation {
    const char* name;
    LANGID language;
    const WCHAR* text;
};

const Translation kTranslations[] = {
    {"zh-TW", LANG_OF(TARVIK_LANG_ZH_TW), TEXT("") TARVIK_DESCRIPTION_ZH_TW},
    {"zh-CN", LANG_OF(TARVIK_LANG_ZH_CN), TEXT("") TARVIK_DESCRIPTION_ZH_CN},
    {"de-DE", LANG_OF(TARVIK_LANG_DE_DE), TEXT("") TARVIK_DESCRIPTION_DE_DE},
    {"en-US", LANG_OF(TARVIK_LANG_EN_US), TEXT("") TARVIK_DESCRIPTION_EN_US},
    {"fr-FR", LANG_OF(TARVIK_LANG_FR_FR), TEXT("") TARVIK_DESCRIPTION_FR_FR},
    {"it-IT", LANG_OF(TARVIK_LANG_IT_IT), TEXT("") TARVIK_DESCRIPTION_IT_IT},
    {"ja-JP", LANG_OF(TARVIK_LANG_JA_JP), TEXT("") TARVIK_DESCRIPTION_JA_JP},
    {"ko-KR", LANG_OF(TARVIK_LANG_KO_KR), TEXT("") TARVIK_DESCRIPTION_KO_KR},
    {"pt-BR", LANG_OF(TARVIK_LANG_PT_BR), TEXT("") TARVIK_DESCRIPTION_PT_BR},
    {"es-ES", LANG_OF(TARVIK_LANG_ES_ES), TEXT("") TARVIK_DESCRIPTION_ES_ES},
};

// Windows picks resources by the thread's UI language; Wine's SetThreadUILanguage changes
// nothing and Wine picks by the thread's locale instead.
void UseLanguage(LANGID language) {
    SetThreadUILanguage(language);
    if (OnWine()) {
        typedef BOOL(WINAPI * SetLocale)(LCID);
        SetLocale set = reinterpret_cast<SetLocale>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(TEXT("kernel32")), "SetThreadLocale")));
        ASSERT_TRUE(set != NULL);
        set(MAKELCID(language, SORT_DEFAULT));
    }
}

class StringTable : public testing::Test {
protected:
    void TearDown() override { UseLanguage(LANG_OF(TARVIK_LANG_EN_US)); }
};

TEST_F(StringTable, DescriptionInEveryLanguage) {
    HMODULE self = GetModuleHandleW(NULL);
    for (const Translation& t : kTranslations) {
        SCOPED_TRACE(t.name);
        UseLanguage(t.language);
        WCHAR buffer[1024];
        SetLastError(0xdeadbeef);
        int length = LoadStringW(self, IDS_SERVICE_DESCRIPTION, buffer, 1024);
        EXPECT_EQ(WString(t.text), WString(buffer));
        EXPECT_EQ(int(wcslen(t.text)), length);
    }
    // The English text is the one the service is known by.
    EXPECT_EQ(WString(TEXT("The Orvex(R) Tarvik Monitoring Service actively monitors changes to "
                           "the system and updates affected network devices to keep them running "
                           "in optimal condition.  Stopping this service may negatively affect the "
                           "performance of the network devices on the system.")),
              WString(kTranslations[3].text));
}

TEST_F(StringTable, SizeRulesAndMissingStrings) {
    UseLanguage(LANG_OF(TARVIK_LANG_EN_US));
    HMODULE self = GetModuleHandleW(NULL);
    const WString english = TEXT("") TARVIK_DESCRIPTION_EN_US;

    WCHAR small[11];
    EXPECT_EQ(10, LoadStringW(self, IDS_SERVICE_DESCRIPTION, small, 11));
    EXPECT_EQ(english.substr(0, 10), WString(small));

    // A buffer size of 0 hands out the resource itself, which has no terminator.
    const WCHAR* resource = NULL;
    int length = LoadStringW(self, IDS_SERVICE_DESCRIPTION, reinterpret_cast<LPWSTR>(&resource), 0);
    ASSERT_EQ(int(english.size()), length);
    ASSERT_TRUE(resource != NULL);
    EXPECT_EQ(english, WString(resource, length));

    // A null module is the executable.
    WCHAR buffer[1024];
    EXPECT_EQ(int(english.size()), LoadStringW(NULL, IDS_SERVICE_DESCRIPTION, buffer, 1024));

    // 100 shares 101's block of sixteen: it is there, and empty.
    buffer[0] = 'x';
    EXPECT_LAST_ERROR(0, 0xdeadbeef, LoadStringW(self, 100, buffer, 1024));
    EXPECT_EQ(WCHAR(0), buffer[0]);

    EXPECT_LAST_ERROR(0, ERROR_RESOURCE_NAME_NOT_FOUND, LoadStringW(self, 5000, buffer, 1024));
}

#ifdef _WIN32
// The manifest is a Windows resource only; the simulated machine has none to show.
TEST(Manifest, AsInvokerOnTheFourSystems) {
    HRSRC found = FindResourceW(NULL, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_TRUE(found != NULL);
    const char* data = static_cast<const char*>(LockResource(LoadResource(NULL, found)));
    std::string manifest(data, SizeofResource(NULL, found));
    EXPECT_NE(std::string::npos,
              manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"));
    const char* systems[] = {
        "e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
        "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"};
    for (const char* id : systems) {
        EXPECT_NE(std::string::npos, manifest.find(id)) << id;
    }
    EXPECT_EQ(std::string::npos, manifest.find("4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38"));  // 8
}
#endif

}  // namespace
