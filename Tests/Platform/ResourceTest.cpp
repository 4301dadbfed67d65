// The executable's own string table: string 101 in English, and LoadStringW's size rules. The test
// links the resources the product carries: the compiled resource script on Windows, the same texts
// as the simulated machine's table on Linux.
#include <windows.h>

#include <string.h>
#include <wchar.h>

#include <gtest/gtest.h>

#include <string>

#include "ServiceStrings.h"

namespace {

typedef std::basic_string<WCHAR> WString;

TEST(StringTable, EnglishTextAndSizeRules) {
#ifdef _WIN32
    // English, the language the service is known by: on Windows the thread's UI language picks
    // resources, under Wine its locale; the simulated machine's language is en-US unless set.
    LANGID language = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    SetThreadUILanguage(language);
    SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
#endif
    HMODULE self = GetModuleHandleW(NULL);
    const WString english = TEXT("") TARVIK_DESCRIPTION_EN_US;
    EXPECT_EQ(WString(TEXT("The Orvex(R) Tarvik Monitoring Service actively monitors changes to "
                           "the system and updates affected network devices to keep them running "
                           "in optimal condition.  Stopping this service may negatively affect the "
                           "performance of the network devices on the system.")),
              english);

    // A buffer size of 0 hands out the resource itself, which has no terminator.
    const WCHAR* resource = NULL;
    int length = LoadStringW(self, IDS_SERVICE_DESCRIPTION, reinterpret_cast<LPWSTR>(&resource), 0);
    ASSERT_EQ(int(english.size()), length);
    ASSERT_TRUE(resource != NULL);
    EXPECT_EQ(english, WString(resource, length));
}

}  // namespace
