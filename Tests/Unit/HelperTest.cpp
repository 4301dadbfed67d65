// CHelper's install-state checks, registry paths under HKEY_LOCAL_MACHINE and library names,
// with the trace lines that say what was missing; and a locale's code page.
#include "Helper.h"
#include "ZelString.h"

#include "Support/TraceFiles.h"
#include "Support/TraceTest.h"

namespace {

using test::kTalmKey;
using test::kZel2Key;
using test::SetDword;
using test::SetString;
typedef std::vector<std::string> Lines;

const WCHAR kFcoeServiceKey[] = TEXT("SYSTEM\\CurrentControlSet\\Services\\OFCoES");
const WCHAR kInstalledLanguage[] = TEXT("InstalledLangShortString");

class HelperTest : public test::TraceTest {
protected:
    void SetUp() override {
        test::DeleteKey(kTalmKey);
        test::DeleteKey(kFcoeServiceKey);
        // The trace's own settings share this key: only the language goes.
        SetString(kZel2Key, kInstalledLanguage, nullptr);
        MarkTrace();
    }
    void TearDown() override { SetUp(); }

    // The messages since the last mark, without the registry wrapper's; moves the mark past them.
    Lines TakeMessages() {
        Lines messages = NewMessages(kWithoutRegistry);
        MarkTrace();
        return messages;
    }
};

TEST_F(HelperTest, InstallChecksWantTheirOwnValueToBeOne) {
    const WCHAR* const kValues[] = {TEXT("InstalledTALM_DCB"), TEXT("InstalledTALM_FCOE"),
                                    TEXT("InstalledTALM_ISCSI")};
    struct Component {
        std::string name;
        bool (CHelper::*check)();
        const char *value, *installed;  // what its lines call the value and the component
    } components[] = {
        {"IsDcbInstalled", &CHelper::IsDcbInstalled, "DCB", "DCB"},
        {"IsFcoeInstalled", &CHelper::IsFcoeInstalled, "Fcoe", "fcoe"},
        {"IsIscsiInstalled", &CHelper::IsIscsiInstalled, "iSCSI", "iSCSI"},
    };
    for (size_t i = 0; i < 3; ++i) {
        const Component& c = components[i];
        SCOPED_TRACE(c.name);
        CHelper helper;
        // The registry wrapper's lines are left out: the steps between need no mark.
        auto check = [&](bool installed, const std::string& line) {
            EXPECT_EQ(installed, (helper.*c.check)());
            Lines lines = {"ENTRY:  CHelper::" + c.name, line, "EXIT:  CHelper::" + c.name};
            if (line.empty()) {
                lines.erase(lines.begin() + 1);
            }
            EXPECT_EQ(lines, TakeMessages());
        };
        test::DeleteKey(kTalmKey);
        check(false, c.name + "() - Unable to open the TALM registry key - exiting");
        // The other components installed: only the check's own value counts.
        for (const WCHAR* other : kValues) {
            SetString(kTalmKey, other, other != kValues[i] ? TEXT("1") : nullptr);
        }
        check(false, c.name + "() - Unable to open the " + c.value +
                         " installation status registry value - exiting");
        for (const WCHAR* value : {TEXT("0"), TEXT(""), TEXT("11"), TEXT("1 ")}) {
            SetString(kTalmKey, kValues[i], value);
            check(false, c.name + "() - " + c.installed + " was not installed - exiting");
        }
        SetString(kTalmKey, kValues[i], TEXT("1"));
        check(true, "");
    }
}

TEST_F(HelperTest, FCoEDisklessOnlyWhenTheHardwareOwnerIsOne) {
    const WCHAR* parameters = TEXT("SYSTEM\\CurrentControlSet\\Services\\OFCoES\\Parameters");
    CHelper helper;
    EXPECT_FALSE(helper.IsFCoEDisklessInstall());
    EXPECT_EQ((Lines{"ENTRY:  CHelper::IsFCoEDisklessInstall",
                     "EXIT:  CHelper::IsFCoEDisklessInstall, bReturn=false"}),
              TakeMessages());

    SetString(parameters, TEXT("HwResourceOwner"), nullptr);  // the key alone
    EXPECT_FALSE(helper.IsFCoEDisklessInstall());
    for (DWORD value : {0u, 2u, 0x10001u, 1u}) {
        SetDword(parameters, TEXT("HwResourceOwner"), value);
        EXPECT_EQ(value == 1, helper.IsFCoEDisklessInstall()) << value;
    }

    // The value is a DWORD: the text "1" is not it.
    SetString(parameters, TEXT("HwResourceOwner"), TEXT("1"));
    EXPECT_FALSE(helper.IsFCoEDisklessInstall());
    // Only the FCoE service's parameters count, not a value of the same name beside them.
    test::DeleteKey(parameters);
    SetDword(kFcoeServiceKey, TEXT("HwResourceOwner"), 1);
    EXPECT_FALSE(helper.IsFCoEDisklessInstall());
}

TEST_F(HelperTest, ServicesThatAreNotThereDoNotRun) {
    // None of the maker's services is installed here; a selector outside the table names none.
    for (int selector : {HELPER_SERVICE_DCB, HELPER_SERVICE_FCOE_DCB, 3, -1, 1000}) {
        EXPECT_FALSE(CHelper().IsServiceRunning(selector)) << selector;
    }
}

TEST_F(HelperTest, GetPathFromRegistryNamesWhatIsMissing) {
    const std::string entry = "ENTRY:  CHelper::GetPathFromRegistry";
    const std::string failed = "EXIT:  CHelper::GetPathFromRegistry, bReturn=false";
    CZelString strPath(TEXT("unchanged"));

    EXPECT_FALSE(CHelper::GetPathFromRegistry(kTalmKey, TEXT("InstallDir"), strPath));
    EXPECT_EQ(
        (Lines{entry, "GetPathFromRegistry() - Unable to open the registry key - exiting", failed}),
        TakeMessages());

    SetString(kTalmKey, TEXT("LocalLanguage"), TEXT("DE"));
    EXPECT_FALSE(CHelper::GetPathFromRegistry(kTalmKey, TEXT("InstallDir"), strPath));
    EXPECT_EQ(CZelString(TEXT("unchanged")), strPath);
    EXPECT_EQ((Lines{entry, "GetPathFromRegistry() - Unable to open the registry value - exiting",
                     failed}),
              TakeMessages());

    // Key and value names in any letter case.
    SetString(kTalmKey, TEXT("InstallDir"), TEXT("C:\\Program Files\\Orvex"));
    EXPECT_TRUE(CHelper::GetPathFromRegistry(TEXT("software\\orvex\\Zuzuvoz_Orodavov\\talm"),
                                             TEXT("INSTALLDIR"), strPath));
    EXPECT_EQ(CZelString(TEXT("C:\\Program Files\\Orvex")), strPath);
    EXPECT_EQ((Lines{entry, "EXIT:  CHelper::GetPathFromRegistry, bReturn=true"}), TakeMessages());

    SetString(kTalmKey, TEXT("InstallDir"), TEXT(""));
    EXPECT_TRUE(CHelper::GetPathFromRegistry(kTalmKey, TEXT("InstallDir"), strPath));
    EXPECT_TRUE(strPath.empty());
}

TEST_F(HelperTest, StripLibraryNameTakesTheInstalledLanguageElseTheLocalOne) {
    struct Case {
        const WCHAR* installed;  // NULL: no value
        const WCHAR *local, *path;
        const WCHAR *name, *base;
    } cases[] = {
        {TEXT("enu"), TEXT("deu"), TEXT("C:\\Res\\DaruvuZarENU.dll"), TEXT("DaruvuZarENU"),
         TEXT("DaruvuZar")},
        // The installation's code does not match: the local one is not tried.
        {TEXT("enu"), TEXT("deu"), TEXT("DaruvuZardeu"), TEXT("DaruvuZardeu"),
         TEXT("DaruvuZardeu")},
        {NULL, TEXT("deu"), TEXT("a\\b\\DaruvuZarDEU.DLL"), TEXT("DaruvuZarDEU"),
         TEXT("DaruvuZar")},
        {NULL, NULL, TEXT("DaruvuZarenu.Dll"), TEXT("DaruvuZarenu"), TEXT("DaruvuZarenu")},
        // ".DLL" once, any other extension kept, "/" no separator, a directory alone no name.
        {TEXT("enu"), NULL, TEXT("ZelResenu.dll.dll"), TEXT("ZelResenu.dll"),
         TEXT("ZelResenu.dll")},
        {TEXT("enu"), NULL, TEXT("\\Res\\ZelResenu.mui"), TEXT("ZelResenu.mui"),
         TEXT("ZelResenu.mui")},
        {TEXT("enu"), NULL, TEXT("Res/ZelResenu"), TEXT("Res/ZelResenu"), TEXT("Res/ZelRes")},
        {TEXT("enu"), NULL, TEXT("C:\\Res\\"), TEXT(""), TEXT("")},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        SCOPED_TRACE(i);
        SetUp();
        SetString(kZel2Key, kInstalledLanguage, cases[i].installed);
        if (cases[i].local != NULL) {
            SetString(kTalmKey, TEXT("LocalLanguage"), cases[i].local);
        }
        CZelString strName(TEXT("stale"));
        CZelString strBase(TEXT("stale"));
        EXPECT_TRUE(CHelper::StripLibraryName(cases[i].path, strName, strBase));
        EXPECT_EQ(CZelString(cases[i].name), strName);
        EXPECT_EQ(CZelString(cases[i].base), strBase);
        EXPECT_EQ((Lines{"ENTRY:  CHelper::StripLibraryName", "EXIT:  CHelper::StripLibraryName"}),
                  TakeMessages());
    }
}

TEST(HelperCodePage, LocalesGiveTheirAnsiCodePage) {
    EXPECT_EQ(GetACP(), GetCodePage(0));
    EXPECT_EQ(1251u, GetCodePage(0x0419));
    EXPECT_EQ(932u, GetCodePage(0x0411));
    EXPECT_EQ(0u, GetCodePage(0x12345678));  // no such locale
}

}  // namespace
