// The registry functions, as Windows gives them. Runs on the simulated machine and under Wine;
// everything happens below HKEY_CURRENT_USER\Software\TarvikTest, removed afterwards.
#include <windows.h>

#include "LastError.h"
#include "Support/ScopedHandles.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
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

// A key's subkeys (or values) in the order enumeration gives them, then the error that ends it.
WString Names(HKEY key, bool values = false) {
    WString names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[32];
        DWORD length = 32;
        FILETIME written = {0, 0};  // a key's last write time
        LONG error = values ? RegEnumValueW(key, i, name, &length, NULL, NULL, NULL, NULL)
                            : RegEnumKeyExW(key, i, name, &length, NULL, NULL, NULL, &written);
        if (error != ERROR_SUCCESS) {
            std::string end = std::to_string(error);
            return names + WString(end.begin(), end.end());
        }
        EXPECT_EQ(WString(name).size(), length);
        EXPECT_TRUE(values || written.dwHighDateTime != 0);
        names += WString(name) + TEXT(",");
    }
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteTree(HKEY_CURRENT_USER, kTestKey);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, NULL, 0,
                                                 KEY_ALL_ACCESS, NULL, m_key.Receive(), NULL));
    }
    void TearDown() override { DeleteTree(HKEY_CURRENT_USER, kTestKey); }

    ScopedKey Create(HKEY parent, const WCHAR* name, DWORD* disposition = NULL) {
        ScopedKey key;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(parent, name, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                                 key.Receive(), disposition));
        return key;
    }

    static void SetString(HKEY key, const WCHAR* name, const WCHAR* text) {
        DWORD size = static_cast<DWORD>((WString(text).size() + 1) * sizeof(WCHAR));
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size));
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
        const WCHAR *name, *left;  // the value, and the buffer afterwards
        bool buffer;
        LONG result;
        DWORD room, size, type;  // bytes of room before, the size and type after
    } queries[] = {
        {TEXT("Text"), TEXT("xxx"), false, ERROR_SUCCESS, 0, 14, REG_SZ},
        {TEXT("TEXT"), TEXT("xxx"), true, ERROR_MORE_DATA, 4, 14, REG_SZ},  // left alone
        {TEXT("Text"), TEXT("foobar"), true, ERROR_SUCCESS, 14, 14, REG_SZ},
        {TEXT("Short"), TEXT("abc"), true, ERROR_SUCCESS, 32, 8, REG_SZ},
        {TEXT(""), TEXT("default"), true, ERROR_SUCCESS, 32, 16, REG_SZ},
        {TEXT("Empty"), TEXT("xxx"), false, ERROR_SUCCESS, 99, 0, REG_BINARY},
        {TEXT("Missing"), TEXT("xxx"), true, ERROR_FILE_NOT_FOUND, 32, 32, 0},
    };
    for (const auto& q : queries) {
        SCOPED_TRACE(&q - queries);
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

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(m_key, NULL));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(m_key, TEXT(""), NULL, NULL, NULL, NULL));
}

TEST_F(Registry, NamesAreCaseInsensitiveEnumeratedInOrder) {
    Create(m_key, TEXT("b"));
    ScopedKey opened;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(m_key, TEXT("B"), 0, KEY_READ, opened.Receive()));
    DWORD disposition = 0;
    Create(m_key, TEXT("B"), &disposition);
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    for (const WCHAR* name : {TEXT("C"), TEXT("a"), TEXT("B2")}) {
        Create(m_key, name);
    }
    // Subkeys come in case-insensitive alphabetical order, each named as first made; 259: no more.
    EXPECT_EQ(WString(TEXT("a,b,B2,C,259")), Names(m_key));
    WCHAR name[8] = {'x', 0};
    DWORD length = 2;  // "B2" needs 3 with its terminator
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExW(m_key, 2, name, &length, NULL, NULL, NULL, NULL));
    EXPECT_EQ(2u, length);
    EXPECT_EQ(WString(TEXT("x")), name);

    // Values come in the order they were made on Windows; Wine (8.0) sorts them by name.
    for (const WCHAR* value : {TEXT("zeta"), TEXT("Alpha"), TEXT("mid"), TEXT("MID")}) {
        SetString(m_key, value, TEXT("foobar"));
    }
    EXPECT_EQ(WString(OnWine() ? TEXT("Alpha,mid,zeta,259") : TEXT("zeta,Alpha,mid,259")),
              Names(m_key, true));

    const struct {
        DWORD nameRoom, dataRoom, nameOut, dataOut;
        LONG result;
        bool nameWritten, dataWritten;
    } cases[] = {
        {4, 20, 4, 14, ERROR_MORE_DATA, false, false},  // "zeta" needs 5
        {20, 20, 4, 14, ERROR_SUCCESS, true, true},
    };
    DWORD zeta = OnWine() ? 2 : 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.nameRoom << ", " << c.dataRoom);
        WCHAR valueName[20] = {'x', 0}, data[10] = {'y', 0};
        DWORD nameRoom = c.nameRoom, dataRoom = c.dataRoom, type = 0;
        EXPECT_EQ(c.result, RegEnumValueW(m_key, zeta, valueName, &nameRoom, NULL, &type,
                                          reinterpret_cast<BYTE*>(data), &dataRoom));
        EXPECT_EQ(std::make_tuple(c.nameOut, c.dataOut, DWORD(REG_SZ)),
                  std::make_tuple(nameRoom, dataRoom, type));
        EXPECT_EQ(WString(c.nameWritten ? TEXT("zeta") : TEXT("x")), valueName);
        EXPECT_EQ(WString(c.dataWritten ? TEXT("foobar") : TEXT("y")), data);
    }

    DWORD subKeys = 0, maxSubKey = 0, valueCount = 0, maxValueName = 0, maxValue = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(m_key, NULL, NULL, NULL, &subKeys, &maxSubKey, NULL,
                                              &valueCount, &maxValueName, &maxValue, NULL, NULL));
    EXPECT_EQ((std::vector<DWORD>{4, 2, 3, 5, 14}),
              (std::vector<DWORD>{subKeys, maxSubKey, valueCount, maxValueName, maxValue}));
}

TEST_F(Registry, DeletionRefusesKeysWithSubkeysAndInvalidatesHandles) {
    ScopedKey parent = Create(m_key, TEXT("Parent"));
    Create(parent, TEXT("Child"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(m_key, TEXT("Parent")));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(m_key, TEXT("Nothing")));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(parent, TEXT("CHILD")));

    HKEY second = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(m_key, TEXT("Parent"), 0, KEY_ALL_ACCESS, &second));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(parent, TEXT("")));

    HKEY sub = NULL;
    EXPECT_EQ(ERROR_KEY_DELETED, RegOpenKeyExW(second, TEXT("y"), 0, KEY_READ, &sub));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(second));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(parent.Detach()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(m_key, TEXT("Parent"), 0, KEY_READ, &sub));
}

// One row for each kind of error a program can meet.
TEST_F(Registry, HandlesPathsAndAccessRights) {
    // A handle opened only to set values cannot read.
    ScopedKey writer;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_SET_VALUE, writer.Receive()));
    SetString(writer, TEXT("Value"), TEXT("data"));
    DWORD size = 0;
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegQueryValueExW(writer, TEXT("Value"), NULL, NULL, NULL, &size));
    EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(writer));

    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, NULL, 0, KEY_READ, &key));
    EXPECT_EQ(HKEY_CURRENT_USER, key);
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(m_key, TEXT(""), 0, KEY_READ, &key));
    EXPECT_NE(m_key, key) << "a new handle to the same key";
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(m_key, TEXT("None"), 0, KEY_READ, &key));
    EXPECT_TRUE(key == NULL);
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Software\\TarvikTest\\\\"), 0,
                                           KEY_READ, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW(key, TEXT("x"), NULL, NULL, NULL, &size));
    // Wine 8 writes through the null result pointer instead of refusing it.
    if (!OnWine()) {
        EXPECT_EQ(ERROR_BADKEY,
                  RegCreateKeyExW(m_key, TEXT("x"), 0, NULL, 0, KEY_ALL_ACCESS, NULL, NULL, NULL));
    }
    EXPECT_EQ(ERROR_BAD_PATHNAME,
              RegCreateKeyExW(m_key, TEXT("\\x"), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL));
}

}  // namespace
