#include "ZelRegKey.h"

#include "Support/TraceFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const WCHAR kTestKey[] = TEXT("SOFTWARE\\TarvikTest\\ZelRegKey");

// Each test works in a fresh key under HKEY_LOCAL_MACHINE and removes it afterwards.
class ZelRegKeyTest : public testing::Test {
protected:
    void SetUp() override {
        TearDown();
        ASSERT_TRUE(m_key.Create(HKEY_LOCAL_MACHINE, kTestKey, true, false));
    }
    void TearDown() override {
        m_key.Close();
        test::DeleteKey(kTestKey);
    }

    CZelRegKey m_key;
};

typedef std::vector<CZelString> List;

TEST_F(ZelRegKeyTest, MissingKeyAndClosedObject) {
    CZelRegKey key;
    EXPECT_FALSE(
        key.Open(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\TarvikTest\\ZelRegKey\\None"), false));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.LastResult());
    DWORD value = 7;
    EXPECT_FALSE(key.GetValue(TEXT("x"), value));
    EXPECT_EQ(7u, value);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.LastResult());  // untouched: no registry call
    CZelString text(TEXT("stale"));
    EXPECT_FALSE(key.GetValue(TEXT("x"), text));
    EXPECT_EQ(1, text.IsEmpty());
    EXPECT_FALSE(key.SetValue(TEXT("x"), DWORD(1)));
    EXPECT_TRUE(key.DeleteValue(TEXT("x")));  // nothing open: counts as success
    EXPECT_EQ(0u, key.GetRegType(TEXT("x")));
    EXPECT_FALSE(key.ValueExists(TEXT("x")));
    CZelString name;
    EXPECT_FALSE(key.EnumSubKey(name));
    EXPECT_FALSE(key.DeleteSubKey(TEXT("x")));
}

TEST_F(ZelRegKeyTest, StringsUpTo255Characters) {
    std::basic_string<WCHAR> fits(255, TEXT('s'));
    std::basic_string<WCHAR> tooLong(256, TEXT('l'));
    EXPECT_TRUE(m_key.SetValue(TEXT("Fits"), CZelString(fits.c_str()), false));
    EXPECT_TRUE(m_key.SetValue(TEXT("TooLong"), CZelString(tooLong.c_str()), true));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), m_key.GetRegType(TEXT("Fits")));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), m_key.GetRegType(TEXT("TooLong")));

    CZelString text;
    EXPECT_TRUE(m_key.GetValue(TEXT("Fits"), text));
    EXPECT_TRUE(text == fits.c_str());
    EXPECT_FALSE(m_key.GetValue(TEXT("TooLong"), text));
    EXPECT_EQ(ERROR_MORE_DATA, m_key.LastResult());
    EXPECT_EQ(1, text.IsEmpty());

    // No type check: the first entry of a list reads as text.
    test::SetRaw(kTestKey, TEXT("List"), REG_MULTI_SZ, TEXT("first\0second\0"), 28);
    EXPECT_TRUE(m_key.GetValue(TEXT("List"), text));
    EXPECT_TRUE(text == TEXT("first"));

    BYTE raw[] = {1, 2, 3, 0, 5};
    EXPECT_TRUE(m_key.SetValue(TEXT("Raw"), raw, sizeof raw));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), m_key.GetRegType(TEXT("Raw")));
    BYTE back[8] = {0};
    DWORD length = sizeof back;
    EXPECT_TRUE(m_key.GetValue(TEXT("Raw"), back, length));
    EXPECT_EQ(5u, length);
    EXPECT_EQ(0, memcmp(raw, back, sizeof raw));
    length = 2;
    EXPECT_FALSE(m_key.GetValue(TEXT("Raw"), back, length));
    EXPECT_EQ(ERROR_MORE_DATA, m_key.LastResult());
}

TEST_F(ZelRegKeyTest, MultiStringLists) {
    test::SetRaw(kTestKey, TEXT("Gaps"), REG_MULTI_SZ, TEXT("a\0\0b\0"), 12);
    std::vector<CZelString> list;
    EXPECT_TRUE(m_key.GetValue(TEXT("Gaps"), list));
    EXPECT_EQ(List({TEXT("a"), TEXT("b")}), list);
    test::SetRaw(kTestKey, TEXT("Unterminated"), REG_MULTI_SZ, TEXT("ab\0cd"), 10);
    EXPECT_TRUE(m_key.GetValue(TEXT("Unterminated"), list));
    EXPECT_EQ(List({TEXT("ab"), TEXT("cd")}), list);

    EXPECT_TRUE(m_key.SetValue(TEXT("Empty"), List({})));
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(m_key.GetHKey(), TEXT("Empty"), NULL, NULL, NULL, &size));
    EXPECT_EQ(2u, size);
    EXPECT_TRUE(m_key.GetValue(TEXT("Empty"), list));
    EXPECT_TRUE(list.empty());

    EXPECT_TRUE(m_key.SetValue(TEXT("Written"), List({TEXT("x"), TEXT(""), TEXT("yz")})));
    WCHAR data[16];
    size = sizeof data;
    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(m_key.GetHKey(), TEXT("Written"), NULL, &type,
                                              reinterpret_cast<BYTE*>(data), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
    ASSERT_EQ(14u, size);
    EXPECT_EQ(0, memcmp(TEXT("x\0\0yz\0"), data, size));
}

TEST_F(ZelRegKeyTest, ListOperationsIgnoreCase) {
    EXPECT_TRUE(m_key.AddValueToMultiString(TEXT("Bindings"), TEXT("abc")));  // created
    std::vector<CZelString> list;
    EXPECT_TRUE(m_key.GetValue(TEXT("Bindings"), list));
    EXPECT_EQ(List({TEXT("abc")}), list);
    EXPECT_TRUE(m_key.AddValueToMultiString(TEXT("Bindings"), TEXT("ABC")));  // already there
    EXPECT_TRUE(m_key.AddValueToMultiString(TEXT("Bindings"), TEXT("Network Adapter")));
    EXPECT_TRUE(m_key.AddValueToMultiString(TEXT("Bindings"), TEXT("aBc ")));
    EXPECT_TRUE(m_key.GetValue(TEXT("Bindings"), list));
    EXPECT_EQ(List({TEXT("abc"), TEXT("Network Adapter"), TEXT("aBc ")}), list);

    EXPECT_TRUE(m_key.IsValueInMultiString(TEXT("Bindings"), TEXT("NETWORK adapter")));
    EXPECT_FALSE(m_key.IsValueInMultiString(TEXT("Bindings"), TEXT("Network")));
    EXPECT_FALSE(m_key.IsValueInMultiString(TEXT("Missing"), TEXT("abc")));
    CZelString found(TEXT("untouched"));
    EXPECT_TRUE(m_key.IsSubStringValueInMultiString(TEXT("Bindings"), TEXT("NET"), found));
    EXPECT_TRUE(found == TEXT("Network Adapter"));
    found = TEXT("untouched");
    EXPECT_FALSE(m_key.IsSubStringValueInMultiString(TEXT("Bindings"), TEXT("team"), found));
    EXPECT_TRUE(found == TEXT("untouched"));

    test::SetRaw(kTestKey, TEXT("Twice"), REG_MULTI_SZ, TEXT("x\0X\0y\0\0"), 14);
    EXPECT_TRUE(m_key.RemoveValueFromMultiString(TEXT("Twice"), TEXT("x")));
    EXPECT_TRUE(m_key.GetValue(TEXT("Twice"), list));
    EXPECT_EQ(List({TEXT("y")}), list);
    // Nothing matched: true, and the stored data is left exactly as it was.
    test::SetRaw(kTestKey, TEXT("Kept"), REG_MULTI_SZ, TEXT("p\0\0q\0\0"), 12);
    EXPECT_TRUE(m_key.RemoveValueFromMultiString(TEXT("Kept"), TEXT("z")));
    DWORD size = 0;
    RegQueryValueExW(m_key.GetHKey(), TEXT("Kept"), NULL, NULL, NULL, &size);
    EXPECT_EQ(12u, size);
    EXPECT_TRUE(m_key.RemoveValueFromMultiString(TEXT("Missing"), TEXT("z")));
}

TEST_F(ZelRegKeyTest, EnumerationWrapsAroundAndDeletionIsRecursive) {
    for (const WCHAR* path : {TEXT("Tree\\Level2\\Level3"), TEXT("Tree\\Other"), TEXT("Alpha")}) {
        CZelRegKey child;
        ASSERT_TRUE(child.Create(m_key.GetHKey(), path, true, false));
        ASSERT_TRUE(child.SetValue(TEXT("Deep"), DWORD(3)));
    }

    CZelString name;
    std::vector<CZelString> seen;
    while (m_key.EnumSubKey(name)) {
        seen.push_back(name);
    }
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, m_key.LastResult());
    EXPECT_EQ(List({TEXT("Alpha"), TEXT("Tree")}), seen);
    EXPECT_TRUE(m_key.EnumSubKey(name));  // starts again from the first
    EXPECT_TRUE(name == TEXT("Alpha"));
    m_key.ResetEnumeration();

    EXPECT_TRUE(m_key.SetValue(TEXT("One"), DWORD(1)));
    EXPECT_TRUE(m_key.SetValue(TEXT("Two"), CZelString(TEXT("2")), false));
    seen.clear();
    while (m_key.EnumValue(name)) {
        seen.push_back(name);
    }
    EXPECT_EQ(List({TEXT("One"), TEXT("Two")}), seen);

    EXPECT_TRUE(m_key.SubKeyExists(TEXT("tree\\LEVEL2")));
    EXPECT_TRUE(m_key.DeleteSubKey(TEXT("Tree")));
    EXPECT_FALSE(m_key.SubKeyExists(TEXT("Tree")));
    EXPECT_TRUE(m_key.SubKeyExists(TEXT("Alpha")));
    EXPECT_FALSE(m_key.DeleteSubKey(TEXT("Tree")));
    EXPECT_FALSE(m_key.DeleteSubKey(TEXT("")));
    EXPECT_FALSE(m_key.DeleteSubKey(NULL));
}

TEST_F(ZelRegKeyTest, ValuesAreDeletedAndFlushed) {
    EXPECT_TRUE(m_key.SetValue(TEXT("Marker"), DWORD(1)));
    EXPECT_TRUE(m_key.ValueExists(TEXT("marker")));
    EXPECT_TRUE(m_key.DeleteValue(TEXT("MARKER")));
    EXPECT_FALSE(m_key.ValueExists(TEXT("Marker")));
    EXPECT_FALSE(m_key.DeleteValue(TEXT("Marker")));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_key.LastResult());
    EXPECT_EQ(ERROR_SUCCESS, m_key.FlushKey());

    CZelRegKey reader;
    ASSERT_TRUE(reader.Open(HKEY_LOCAL_MACHINE, kTestKey, false));
    EXPECT_FALSE(reader.SetValue(TEXT("x"), DWORD(1)));
    EXPECT_EQ(ERROR_ACCESS_DENIED, reader.LastResult());
}

TEST_F(ZelRegKeyTest, VolatileKeysAndHandleTakeOver) {
    CZelRegKey volatileKey;
    ASSERT_TRUE(volatileKey.Create(m_key.GetHKey(), TEXT("Volatile"), true, true));
    CZelRegKey child;
    EXPECT_FALSE(child.Create(volatileKey.GetHKey(), TEXT("Stable"), true, false));
    EXPECT_EQ(1021, child.LastResult());  // ERROR_CHILD_MUST_BE_VOLATILE
    EXPECT_TRUE(child.Create(volatileKey.GetHKey(), TEXT("AlsoVolatile"), true, true));

    HKEY raw = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &raw));
    {
        CZelRegKey owner(raw);
        EXPECT_TRUE(owner.SubKeyExists(TEXT("Volatile")));
    }  // closes the handle it took over
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(raw));
}

}  // namespace
