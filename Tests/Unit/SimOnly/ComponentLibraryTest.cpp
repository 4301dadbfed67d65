// Which library CHelper::QMLoadLibrary loads for a name, by the directories the registry records;
// the common resource library that carries several languages; and CZelString::LoadStringW over a
// library's string table: texts longer than the first buffer, texts that fill it exactly, a
// missing module or string, and an allocation that fails.
#include "Helper.h"
#include "ZelString.h"

#include "Machine/Faults/Faults.h"
#include "Machine/Machine.h"
#include "Support/Narrow.h"
#include "Support/TestMachine.h"
#include "Support/TraceFiles.h"
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

using test::kTalmKey;
using test::kZel2Key;
using test::Narrow;
using test::SetString;

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

    static void SetLanguages(const WCHAR* pszResources, const WCHAR* pszInstalled,
                             const WCHAR* pszLocal) {
        SetString(kZel2Key, TEXT("ResourcePath"), pszResources);
        SetString(kZel2Key, TEXT("InstalledLangShortString"), pszInstalled);
        SetString(kTalmKey, TEXT("LocalLanguage"), pszLocal);
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
    SetString(kNetAgentKey, TEXT("InstalledDir"), TEXT("C:\\Orvex\\Net\\NetAgent"));
    SetString(kTalmKey, TEXT("InstallDir"), TEXT("C:\\Orvex"));
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        SetLanguages(cases[i].resources, cases[i].installed, cases[i].local);
        MarkTrace();
        HMODULE hModule = CHelper::QMLoadLibrary(cases[i].argument);
        EXPECT_EQ(cases[i].loaded != NULL, hModule != NULL);
        if (cases[i].loaded != NULL) {
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
