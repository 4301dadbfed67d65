// Which library CHelper::QMLoadLibrary loads for a name, by the directories the registry records,
// and the common resource library that carries several languages.
#include "Helper.h"
#include "ZelRegKey.h"
#include "ZelString.h"

#include "Support/TestMachine.h"
#include "Support/TraceTest.h"

#include <memory>

namespace {

// Libraries where the registry's directories put them, and a German resource library on the
// search path only.
const char kComponents[] = R"({
  "uiLanguage": "de-DE",
  "libraries": [
    {"name": "C:\\Res\\DaruvuZarenu.dll", "strings": {"5": "Fan %s failed", "6": "Stop"}},
    {"name": "C:\\Res\\DaruvuZarfra.dll", "strings": {"5": "Ventilateur %s"}},
    {"name": "C:\\Res\\DaruvuZar.dll",
     "strings": {"en-US": {"5": "Fan %s failed"}, "de-DE": {"5": "L\u00fcfter %s ausgefallen"}}},
    {"name": "DaruvuZardeu.dll"},
    {"name": "C:\\Orvex\\Net\\NetAgent.dll"},
    {"name": "C:\\Windows\\Temp\\Agent\\DcbAgent.dll"},
    {"name": "C:\\Orvex\\TALM\\TalmSvc.dll"},
    {"name": "ZelCore.dll"}
  ]
})";

const WCHAR kZel2Key[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2");
const WCHAR kTalmKey[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\TALM");
const WCHAR kNetAgentKey[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2\\Agents\\NetAgent");
const std::string kNoPath =
    "..\\Common\\Src\\Helper (767): ERROR:  Unable to find path to library!  Defaulting to no path ";

class ComponentLibraryTest : public test::TraceTest {
protected:
    static void SetUpTestSuite() {
        s_machine.reset(new test::TestMachine(kComponents));
        TraceTest::SetUpTestSuite();  // ZEL2's "InstalledDir": the Temp directory
    }
    static void TearDownTestSuite() { s_machine.reset(); }

    // The value set, or deleted when NULL.
    static void Set(const WCHAR* pszKey, const WCHAR* pszName, const WCHAR* pszValue) {
        CZelRegKey key;
        ASSERT_TRUE(key.Create(HKEY_LOCAL_MACHINE, pszKey, true, false));
        if (pszValue != NULL) {
            ASSERT_TRUE(key.SetValue(pszName, CZelString(pszValue), false));
        } else {
            key.DeleteValue(pszName);
        }
    }
    static void SetLanguages(const WCHAR* pszResources, const WCHAR* pszInstalled,
                             const WCHAR* pszLocal) {
        Set(kZel2Key, TEXT("ResourcePath"), pszResources);
        Set(kZel2Key, TEXT("InstalledLangShortString"), pszInstalled);
        Set(kTalmKey, TEXT("LocalLanguage"), pszLocal);
    }

    inline static std::unique_ptr<test::TestMachine> s_machine;
};

TEST_F(ComponentLibraryTest, QMLoadLibraryTakesTheDirectoryOfTheNamesClass) {
    const WCHAR *kRes = TEXT("C:\\Res"), *kEnu = TEXT("enu"), *kDeu = TEXT("deu");
    const WCHAR *kResEnu = TEXT("C:\\Res\\DaruvuZarenu.dll"),
                *kSystemDeu = TEXT("C:\\Windows\\system32\\DaruvuZardeu.dll");
    struct Case {
        const WCHAR* resources;  // "ResourcePath"; NULL: none
        const WCHAR* installed;
        const WCHAR* local;
        const WCHAR* argument;
        const WCHAR* loaded;  // the library's full path; NULL: none loaded
        const char* noPath;   // the path of the error line; NULL: no error line
    } cases[] = {
        {kRes, kEnu, kEnu, TEXT("DaruvuZarenu"), kResEnu, NULL},
        {TEXT("C:\\Res\\"), kEnu, kEnu, TEXT("DaruvuZarENU.Dll"), kResEnu, NULL},
        // The argument's directory is replaced by the class's.
        {kRes, kEnu, NULL, TEXT("D:\\Old\\DaruvuZarenu.dll"), kResEnu, NULL},
        {kRes, NULL, TEXT("fra"), TEXT("DaruvuZarfra"), TEXT("C:\\Res\\DaruvuZarfra.dll"), NULL},
        {kRes, NULL, NULL, TEXT("DaruvuZar"), TEXT("C:\\Res\\DaruvuZar.dll"), NULL},
        // The installed code does not match: no class, the search order finds it.
        {kRes, kEnu, kDeu, TEXT("DaruvuZardeu"), kSystemDeu, "DaruvuZardeu"},
        {kRes, kEnu, kDeu, TEXT("DaruvuZardeu.dll"), kSystemDeu, "DaruvuZardeu.dll"},
        {NULL, kEnu, kEnu, TEXT("DaruvuZarenu"), NULL, "DaruvuZarenu"},
        {NULL, NULL, NULL, TEXT("Unknown"), NULL, "Unknown"},
        // An agent's own value is the library's path; the shared agent without one goes to the
        // common agent directory; service libraries to TALM's; ours and the system's to system32.
        {NULL, NULL, NULL, TEXT("netagent"), TEXT("C:\\Orvex\\Net\\NetAgent.dll"), NULL},
        {NULL, NULL, NULL, TEXT("DcbAgent"), TEXT("C:\\Windows\\Temp\\Agent\\DcbAgent.dll"), NULL},
        {NULL, NULL, NULL, TEXT("TalmSvc.dll"), TEXT("C:\\Orvex\\TALM\\TalmSvc.dll"), NULL},
        {NULL, NULL, NULL, TEXT("ZELCORE"), TEXT("C:\\Windows\\system32\\ZelCore.dll"), NULL},
    };
    Set(kNetAgentKey, TEXT("InstalledDir"), TEXT("C:\\Orvex\\Net\\NetAgent"));
    Set(kTalmKey, TEXT("InstallDir"), TEXT("C:\\Orvex"));
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        SetLanguages(cases[i].resources, cases[i].installed, cases[i].local);
        MarkTrace();
        HMODULE hModule = CHelper::QMLoadLibrary(cases[i].argument);
        if (cases[i].loaded == NULL) {
            EXPECT_EQ(static_cast<HMODULE>(NULL), hModule);
        } else {
            EXPECT_NE(static_cast<HMODULE>(NULL), hModule);
            EXPECT_EQ(GetModuleHandleW(cases[i].loaded), hModule);
        }
        std::vector<std::string> errors;
        for (const std::string& message : NewMessages(kWithoutScopes | kWithoutRegistry)) {
            if (message.compare(0, kNoPath.size(), kNoPath) == 0) {
                errors.push_back(message.substr(kNoPath.size()));
            }
        }
        EXPECT_EQ(cases[i].noPath ? std::vector<std::string>{cases[i].noPath}
                                  : std::vector<std::string>(),
                  errors);
        if (hModule != NULL) {
            EXPECT_TRUE(FreeLibrary(hModule));
        }
    }
}

// With no local language the library without a code answers, in the machine's own language.
TEST_F(ComponentLibraryTest, ResourceLibraryWithoutLanguageAnswersInTheMachinesLanguage) {
    SetLanguages(TEXT("C:\\Res"), NULL, NULL);
    CZelString str;
    EXPECT_EQ(21, str.LoadDaruvuZarString(5));
    EXPECT_EQ(CZelString(TEXT("L\u00fcfter %s ausgefallen")), str);
}

}  // namespace
