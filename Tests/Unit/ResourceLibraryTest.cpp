// The common resource library's strings in the local language, from a library the resource
// compiler built (under Wine) or the machine declares (on Linux): the same test against both.
#include "ZelString.h"

#include "Resources/DaruvuZarStrings.h"
#include "Support/TraceFiles.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using test::kTalmKey;
using test::kZel2Key;
using test::SetString;

// The libraries' directory, and the language both the installation and the user have.
void UseLanguage(const WCHAR* pszLanguage) {
    SetString(kZel2Key, TEXT("ResourcePath"), TEXT("") TARVIK_RESOURCE_DIR);
    SetString(kZel2Key, TEXT("InstalledLangShortString"), pszLanguage);
    SetString(kTalmKey, TEXT("LocalLanguage"), pszLanguage);
}

TEST(ResourceLibraryTest, StringsComeFromTheLocalLanguagesLibrary) {
    struct Case {
        const WCHAR* language;
        UINT number;
        int result;
        const WCHAR* text;  // NULL: the string as it was
    } cases[] = {
        {TEXT("enu"), IDS_FAN_FAILED, 13, TEXT("") DARUVUZAR_ENU_FAN_FAILED},
        {TEXT("enu"), IDS_STOPPED, 7, TEXT("") DARUVUZAR_ENU_STOPPED},
        // German only: the loader takes it whatever the user's language.
        {TEXT("deu"), IDS_FAN_FAILED, 22, TEXT("") DARUVUZAR_DEU_FAN_FAILED},
        {TEXT("deu"), IDS_STOPPED, 0, TEXT("")},  // in the block of one it has, not there
        {TEXT("ita"), IDS_FAN_FAILED, -1, NULL},  // no such library
    };
    const WCHAR kEnuPath[] = TEXT("") TARVIK_RESOURCE_DIR "\\DaruvuZarenu.dll";
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        UseLanguage(cases[i].language);
        CZelString str(TEXT("before"));
        EXPECT_EQ(cases[i].result, str.LoadDaruvuZarString(cases[i].number));
        EXPECT_EQ(CZelString(cases[i].text ? cases[i].text : TEXT("before")), str);
        // Loaded for the one string and freed.
        EXPECT_EQ(static_cast<HMODULE>(NULL), GetModuleHandleW(kEnuPath));
    }

    // The message number's top byte is not part of it; the parameters follow the load.
    UseLanguage(TEXT("enu"));
    CZelString str;
    EXPECT_EQ(13, str.LoadWarningMessage(0x7F000000 | IDS_FAN_FAILED,
                                         std::vector<CZelString>(1, TEXT("2"))));
    EXPECT_EQ(CZelString(TEXT("Fan 2 failed")), str);
}

}  // namespace
