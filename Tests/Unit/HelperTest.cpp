// CHelper's install-state checks, registry paths under HKEY_LOCAL_MACHINE and library names,
// with the trace lines that say what was missing; and a locale's code page.
#include "Helper.h"
#include "ZelRegKey.h"
#include "ZelString.h"

#include "Support/TraceTest.h"

namespace {

typedef std::vector<std::string> Lines;

const WCHAR kTalmKey[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\TALM");
const WCHAR kFcoeServiceKey[] = TEXT("SYSTEM\\CurrentControlSet\\Services\\OFCoES");
const WCHAR kZel2Key[] = TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov\\ZEL2");
const WCHAR kInstalledLanguage[] = TEXT("InstalledLangShortString");

class HelperTest : public test::TraceTest {
protected:
    void SetUp() override {
        RemoveKey(TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov"), TEXT("TALM"));
        RemoveKey(TEXT("SYSTEM\\CurrentControlSet\\Services"), TEXT("OFCoES"));
        // The trace's own settings share this key: only the language goes.
        CZelRegKey zel2;
        if (zel2.Open(HKEY_LOCAL_MACHINE, kZel2Key, true)) {
            zel2.DeleteValue(kInstalledLanguage);
        }
        MarkTrace();
    }
    void TearDown() override { SetUp(); }

    static void RemoveKey(const WCHAR* pszParent, const WCHAR* pszName) {
        CZelRegKey parent;
        if (parent.Open(HKEY_LOCAL_MACHINE, pszParent, true)) {
            parent.DeleteSubKey(pszName);
        }
    }
    // Creates the key, and sets the value when one is named.
    static void SetString(const WCHAR* pszKey, const WCHAR* pszName, const WCHAR* pszValue) {
        CZelRegKey key;
        ASSERT_TRUE(key.Create(HKEY_LOCAL_MACHINE, pszKey, true, false));
        if (pszName != NULL) {
            ASSERT_TRUE(key.SetValue(pszName, CZelString(pszValue), false));
        }
    }
    static void SetDword(const WCHAR* pszKey, const WCHAR* pszName, DWORD dwValue) {
        CZelRegKey key;
        ASSERT_TRUE(key.Create(HKEY_LOCAL_MACHINE, pszKey, true, false));
        ASSERT_TRUE(key.SetValue(pszName, dwValue));
    }

    // The messages since the last mark, without the registry wrapper's; moves the mark past them.
    Lines TakeMessages() {
        Lines messages = NewMessages(kWithoutRegistry);
        MarkTrace();
        return messages;
    }
};

TEST_F(HelperTest, InstallChecksWantTheirOwnValueToBeOne) {
    struct Component {
        const char* name;
        bool (CHelper::*check)();
        const WCHAR *value, *other1, *other2;
        const char *noValue, *notInstalled;
    } components[] = {
        {"IsDcbInstalled", &CHelper::IsDcbInstalled, TEXT("InstalledTALM_DCB"),
         TEXT("InstalledTALM_FCOE"), TEXT("InstalledTALM_ISCSI"),
         "IsDcbInstalled() - Unable to open the DCB installation status registry value - exiting",
         "IsDcbInstalled() - DCB was not installed - exiting"},
        {"IsFcoeInstalled", &CHelper::IsFcoeInstalled, TEXT("InstalledTALM_FCOE"),
         TEXT("InstalledTALM_DCB"), TEXT("InstalledTALM_ISCSI"),
         "IsFcoeInstalled() - Unable to open the Fcoe installation status registry value - exiting",
         "IsFcoeInstalled() - fcoe was not installed - exiting"},
        {"IsIscsiInstalled", &CHelper::IsIscsiInstalled, TEXT("InstalledTALM_ISCSI"),
         TEXT("InstalledTALM_DCB"), TEXT("InstalledTALM_FCOE"),
         "IsIscsiInstalled() - Unable to open the iSCSI installation status registry value - "
         "exiting",
         "IsIscsiInstalled() - iSCSI was not installed - exiting"},
    };
    for (const Component& c : components) {
        SCOPED_TRACE(c.name);
        CHelper helper;
        // The registry wrapper's lines are left out: the steps between need no mark.
        auto check = [&](bool installed, const std::string& line) {
            EXPECT_EQ(installed, (helper.*c.check)());
            Lines lines = {std::string("ENTRY:  CHelper::") + c.name, line,
                           std::string("EXIT:  CHelper::") + c.name};
            if (line.empty()) {
                lines.erase(lines.begin() + 1);
            }
            EXPECT_EQ(lines, TakeMessages());
        };
        RemoveKey(TEXT("SOFTWARE\\ORVEX\\Zuzuvoz_Orodavov"), TEXT("TALM"));
        check(false, std::string(c.name) + "() - Unable to open the TALM registry key - exiting");
        // The other components installed: only the check's own value counts.
        SetString(kTalmKey, c.other1, TEXT("1"));
        SetString(kTalmKey, c.other2, TEXT("1"));
        check(false, c.noValue);
        for (const WCHAR* value : {TEXT("0"), TEXT(""), TEXT("11"), TEXT("1 ")}) {
            SetString(kTalmKey, c.value, value);
            check(false, c.notInstalled);
        }
        SetString(kTalmKey, c.value, TEXT("1"));
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

    SetString(parameters, NULL, NULL);
    EXPECT_FALSE(helper.IsFCoEDisklessInstall());
    for (DWORD value : {0u, 2u, 0x10001u, 1u}) {
        SCOPED_TRACE(value);
        SetDword(parameters, TEXT("HwResourceOwner"), value);
        EXPECT_EQ(value == 1, helper.IsFCoEDisklessInstall());
        Lines lines = TakeMessages();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(std::string("EXIT:  CHelper::IsFCoEDisklessInstall, bReturn=") +
                      (value == 1 ? "true" : "false"),
                  lines.back());
    }

    // The value is a DWORD: the text "1" is not it.
    SetString(parameters, TEXT("HwResourceOwner"), TEXT("1"));
    EXPECT_FALSE(helper.IsFCoEDisklessInstall());
    // Only the FCoE service's parameters count, not a value of the same name beside them.
    RemoveKey(kFcoeServiceKey, TEXT("Parameters"));
    SetDword(kFcoeServiceKey, TEXT("HwResourceOwner"), 1);
    EXPECT_FALSE(helper.IsFCoEDisklessInstall());
}

TEST_F(HelperTest, ServicesThatAreNotThereDoNotRun) {
    // None of the maker's services is installed here; a selector outside the table names none.
    CHelper helper;
    for (int selector : {HELPER_SERVICE_DCB, HELPER_SERVICE_FCOE_DCB, 3, -1, 1000}) {
        SCOPED_TRACE(selector);
        EXPECT_FALSE(helper.IsServiceRunning(selector));
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
        if (cases[i].installed != NULL) {
            SetString(kZel2Key, kInstalledLanguage, cases[i].installed);
        }
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
