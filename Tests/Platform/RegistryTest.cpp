// The registry functions, as Windows gives them. Runs on the simulated machine and under Wine;
// everything happens below HKEY_CURRENT_USER\Software\TarvikTest, removed afterwards.
#include <windows.h>

#include "LastError.h"
#include "Support/ScopedHandles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using test::ScopedKey;
typedef std::basic_string<WCHAR> WString;

const WCHAR kTestKey[] = TEXT("Software\\TarvikTest");

void DeleteTree(HKEY parent, const WCHAR* name) {
    ScopedKey key;
    if (RegOpenKeyExW(parent, name, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) {
        return;
    }
    WCHAR child[256];
    DWORD length = 256;
    while (RegEnumKeyExW(key, 0, child, &length, NULL, NULL, NULL, NULL) == ERROR_SUCCESS) {
        DeleteTree(key, child);
        length = 256;
    }
    RegDeleteKeyW(parent, name);
}

std::vector<BYTE> Bytes(const WCHAR* text) {
    const BYTE* begin = reinterpret_cast<const BYTE*>(text);
    return std::vector<BYTE>(begin, begin + (WString(text).size() + 1) * sizeof(WCHAR));
}

// The name of a key's subkey (or value) at `index`, or the error the enumeration gives.
WString NameAt(HKEY key, DWORD index, bool value = false) {
    WCHAR name[32];
    DWORD length = 32;
    FILETIME written = {0, 0};  // a key's last write time
    LONG error = value ? RegEnumValueW(key, index, name, &length, NULL, NULL, NULL, NULL)
                       : RegEnumKeyExW(key, index, name, &length, NULL, NULL, NULL, &written);
    if (error != ERROR_SUCCESS) {
        std::string text = "error " + std::to_string(error);
        return WString(text.begin(), text.end());
    }
    EXPECT_EQ(WString(name).size(), length);
    EXPECT_TRUE(value || written.dwHighDateTime != 0);
    return name;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteTree(HKEY_CURRENT_USER, kTestKey);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, NULL, 0,
                                                 KEY_ALL_ACCESS, NULL, m_key.Receive(), NULL));
    }
    void TearDown() override { DeleteTree(HKEY_CURRENT_USER, kTestKey); }

    ScopedKey Create(HKEY parent, const WCHAR* name, DWORD options = 0, DWORD* disposition = NULL) {
        ScopedKey key;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(parent, name, 0, NULL, options, KEY_ALL_ACCESS,
                                                 NULL, key.Receive(), disposition));
        return key;
    }

    void SetString(HKEY key, const WCHAR* name, const WCHAR* text, DWORD type = REG_SZ) {
        std::vector<BYTE> data = Bytes(text);
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())));
    }

    ScopedKey m_key;
};

TEST_F(Registry, ValuesAreStoredAndQueriedAsOnWindows) {
    SetString(m_key, TEXT("Text"), TEXT("foobar"));
    // A string whose size leaves out its terminator keeps it; a null name is the default value.
    const WCHAR abc[] = TEXT("abc");
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(m_key, TEXT("Short"), 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(abc), 3 * sizeof(WCHAR)));
    SetString(m_key, NULL, TEXT("default"));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(m_key, TEXT("Empty"), 0, REG_BINARY, NULL, 0));
    EXPECT_EQ(ERROR_NOACCESS, RegSetValueExW(m_key, TEXT("Bad"), 0, REG_DWORD, NULL, 4));
    const struct {
        const WCHAR* name;
        bool buffer;
        DWORD room;  // bytes
        LONG result;
        DWORD size, type;
        const WCHAR* left;  // the buffer afterwards
    } queries[] = {
        {TEXT("Text"), false, 0, ERROR_SUCCESS, 14, REG_SZ, TEXT("xxx")},
        {TEXT("TEXT"), true, 4, ERROR_MORE_DATA, 14, REG_SZ, TEXT("xxx")},  // left alone
        {TEXT("Text"), true, 14, ERROR_SUCCESS, 14, REG_SZ, TEXT("foobar")},
        {TEXT("Short"), true, 32, ERROR_SUCCESS, 8, REG_SZ, TEXT("abc")},
        {TEXT(""), true, 32, ERROR_SUCCESS, 16, REG_SZ, TEXT("default")},
        {TEXT("Empty"), false, 99, ERROR_SUCCESS, 0, REG_BINARY, TEXT("xxx")},
        // A missing value: with no buffer the size becomes 0, with one it stays.
        {TEXT("Missing"), false, 99, ERROR_FILE_NOT_FOUND, 0, 0, TEXT("xxx")},
        {TEXT("Missing"), true, 32, ERROR_FILE_NOT_FOUND, 32, 0, TEXT("xxx")},
    };
    for (size_t i = 0; i < sizeof(queries) / sizeof(queries[0]); ++i) {
        const auto& q = queries[i];
        SCOPED_TRACE(i);
        WCHAR buffer[16] = {'x', 'x', 'x', 0};
        DWORD size = q.room, type = 0;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(q.result,
                  RegQueryValueExW(m_key, q.name, NULL, &type,
                                   q.buffer ? reinterpret_cast<BYTE*>(buffer) : NULL, &size));
        EXPECT_EQ(0xdeadbeefu, GetLastError()) << "registry functions return their code";
        EXPECT_EQ(q.size, size);
        if (q.result != ERROR_FILE_NOT_FOUND) {
            EXPECT_EQ(q.type, type);
        }
        EXPECT_EQ(WString(q.left), buffer);
    }
    WCHAR buffer[16];
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExW(m_key, TEXT("Text"), NULL, NULL,
                                                        reinterpret_cast<BYTE*>(buffer), NULL));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(m_key, TEXT("Text"), NULL, NULL, NULL, NULL));

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(m_key, TEXT("EMPTY")));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(m_key, TEXT("Empty")));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(m_key, NULL));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(m_key, TEXT(""), NULL, NULL, NULL, NULL));
}

TEST_F(Registry, NamesAreCaseInsensitiveEnumeratedInOrder) {
    Create(m_key, TEXT("b"));
    ScopedKey opened;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(m_key, TEXT("B"), 0, KEY_READ, opened.Receive()));
    DWORD disposition = 0;
    Create(m_key, TEXT("B"), 0, &disposition);
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    for (const WCHAR* name : {TEXT("C"), TEXT("a"), TEXT("B2")}) {
        Create(m_key, name);
    }
    // Subkeys come in case-insensitive alphabetical order, each named as first made.
    const WCHAR* expected[] = {TEXT("a"), TEXT("b"), TEXT("B2"), TEXT("C"), TEXT("error 259")};
    for (DWORD i = 0; i < 5; ++i) {
        EXPECT_EQ(WString(expected[i]), NameAt(m_key, i)) << i;  // 259: no more items
    }
    WCHAR name[8] = {'x', 0};
    DWORD length = 2;  // "B2" needs 3 with its terminator
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExW(m_key, 2, name, &length, NULL, NULL, NULL, NULL));
    EXPECT_EQ(2u, length);
    EXPECT_EQ(WString(TEXT("x")), name);

    // Values come in the order they were made on Windows; Wine (8.0) sorts them by name.
    const WCHAR* values[] = {TEXT("zeta"), TEXT("Alpha"), TEXT("mid")};
    for (const WCHAR* value : values) {
        SetString(m_key, value, TEXT("foobar"));
    }
    SetString(m_key, TEXT("MID"), TEXT("foobar"));
    const WCHAR* sorted[] = {TEXT("Alpha"), TEXT("mid"), TEXT("zeta")};
    const WCHAR** order = OnWine() ? sorted : values;
    for (DWORD i = 0; i < 3; ++i) {
        EXPECT_EQ(WString(order[i]), NameAt(m_key, i, true)) << i;
    }
    EXPECT_EQ(WString(TEXT("error 259")), NameAt(m_key, 3, true));

    struct Case {
        DWORD nameRoom, dataRoom;
        LONG result;
        DWORD nameOut, dataOut;
        bool nameWritten, dataWritten;
    };
    const Case cases[] = {
        {2, 2, ERROR_MORE_DATA, 2, 14, false, false},   // both short
        {4, 20, ERROR_MORE_DATA, 4, 14, false, false},  // "zeta" needs 5
        {20, 2, ERROR_MORE_DATA, 4, 14, true, false},   // data short
        {20, 20, ERROR_SUCCESS, 4, 14, true, true},
    };
    DWORD zeta = OnWine() ? 2 : 0;
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        SCOPED_TRACE(i);
        WCHAR valueName[20] = {'x', 0};
        WCHAR data[10] = {'y', 0};
        DWORD nameRoom = cases[i].nameRoom, dataRoom = cases[i].dataRoom, type = 0;
        EXPECT_EQ(cases[i].result, RegEnumValueW(m_key, zeta, valueName, &nameRoom, NULL, &type,
                                                 reinterpret_cast<BYTE*>(data), &dataRoom));
        EXPECT_EQ(cases[i].nameOut, nameRoom);
        EXPECT_EQ(cases[i].dataOut, dataRoom);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
        EXPECT_EQ(WString(cases[i].nameWritten ? TEXT("zeta") : TEXT("x")), valueName);
        EXPECT_EQ(WString(cases[i].dataWritten ? TEXT("foobar") : TEXT("y")), data);
    }

    DWORD subKeys = 0, maxSubKey = 0, valueCount = 0, maxValueName = 0, maxValue = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(m_key, NULL, NULL, NULL, &subKeys, &maxSubKey, NULL,
                                              &valueCount, &maxValueName, &maxValue, NULL, NULL));
    EXPECT_EQ(4u, subKeys);
    EXPECT_EQ(2u, maxSubKey);
    EXPECT_EQ(3u, valueCount);
    EXPECT_EQ(5u, maxValueName);
    EXPECT_EQ(14u, maxValue);
}

TEST_F(Registry, DeletionRefusesKeysWithSubkeysAndInvalidatesHandles) {
    ScopedKey parent = Create(m_key, TEXT("Parent"));
    Create(parent, TEXT("Child"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(m_key, TEXT("Parent")));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(m_key, TEXT("Nothing")));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyW(m_key, NULL));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(parent, TEXT("CHILD")));

    HKEY second = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(m_key, TEXT("Parent"), 0, KEY_ALL_ACCESS, &second));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(parent, TEXT("")));

    DWORD size = 0;
    WCHAR name[8];
    DWORD length = 8;
    HKEY sub = NULL;
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExW(second, TEXT("x"), NULL, NULL, NULL, &size));
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExW(second, TEXT("x"), 0, REG_BINARY, NULL, 0));
    EXPECT_EQ(ERROR_KEY_DELETED, RegEnumKeyExW(second, 0, name, &length, NULL, NULL, NULL, NULL));
    EXPECT_EQ(ERROR_KEY_DELETED, RegOpenKeyExW(second, TEXT("y"), 0, KEY_READ, &sub));
    EXPECT_EQ(ERROR_KEY_DELETED,
              RegCreateKeyExW(second, TEXT("y"), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &sub, NULL));
    EXPECT_EQ(ERROR_KEY_DELETED, RegFlushKey(second));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(second));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(parent.Detach()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(m_key, TEXT("Parent"), 0, KEY_READ, &sub));
}

// A handle opened only to set values can neither read nor enumerate.
TEST_F(Registry, AccessRightsOfTheHandleAreChecked) {
    ScopedKey writer;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_SET_VALUE, writer.Receive()));
    SetString(writer, TEXT("Value"), TEXT("data"));
    DWORD size = 0, length = 8;
    WCHAR name[8];
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegQueryValueExW(writer, TEXT("Value"), NULL, NULL, NULL, &size));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegEnumKeyExW(writer, 0, name, &length, NULL, NULL, NULL, NULL));
    EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(writer));
}

TEST_F(Registry, HandlesAndPaths) {
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, NULL, 0, KEY_READ, &key));
    EXPECT_EQ(HKEY_CURRENT_USER, key);
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(m_key, TEXT(""), 0, KEY_READ, &key));
    EXPECT_NE(m_key, key) << "a new handle to the same key";
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));

    EXPECT_EQ(
        ERROR_FILE_NOT_FOUND,
        RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\TarvikTest\\None"), 0, KEY_READ, &key));
    EXPECT_TRUE(key == NULL);
    EXPECT_EQ(ERROR_BAD_PATHNAME,
              RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("\\Software\\TarvikTest"), 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\TarvikTest\\\\"), 0,
                                           KEY_READ, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    DWORD size = 0;
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW(key, TEXT("x"), NULL, NULL, NULL, &size));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(NULL));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExW(NULL, TEXT("x"), 0, KEY_READ, &key));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExW(m_key, TEXT("x"), 0, KEY_READ, NULL));
    // Wine 8 writes through the null result pointer instead of refusing it.
    if (!OnWine()) {
        EXPECT_EQ(ERROR_BADKEY,
                  RegCreateKeyExW(m_key, TEXT("x"), 0, NULL, 0, KEY_ALL_ACCESS, NULL, NULL, NULL));
    }
    EXPECT_EQ(ERROR_BAD_PATHNAME,
              RegCreateKeyExW(m_key, TEXT("\\x"), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL));
}

}  // namespace
