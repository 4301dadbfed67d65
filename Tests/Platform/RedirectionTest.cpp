// What WOW64 shows a 32-bit process on 64-bit Windows: HKLM\SOFTWARE redirected to WOW6432Node but
// for the keys both views share, the view flags, and system32 redirected to SysWOW64. Runs on the
// simulated machine as a 32-bit process and under Wine's WoW64 as the PE32, with one set of
// expectations; elsewhere (a 64-bit build, 32-bit Windows) it is skipped.
#include <windows.h>

#include "Support/ScopedHandles.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <utility>

namespace {

using test::ScopedKey;
typedef std::basic_string<WCHAR> WString;

const WCHAR kKey[] = TEXT("SOFTWARE\\TarvikRedirection");
const WCHAR kChild[] = TEXT("SOFTWARE\\TarvikRedirection\\Child");
const WCHAR kSharedKey[] = TEXT("SOFTWARE\\Classes\\TarvikRedirection");
const WCHAR kSystemKey[] = TEXT("SYSTEM\\TarvikRedirection");

bool IsWow64() {
    SYSTEM_INFO own = {}, native = {};
    GetSystemInfo(&own);
    GetNativeSystemInfo(&native);
    return own.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL &&
           native.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_INTEL;
}

// Makes `path` in a view with a DWORD "view" telling which.
void MakeKey(const WCHAR* path, REGSAM view, DWORD mark) {
    ASSERT_EQ(test::SetDword(path, TEXT("view"), mark, view), ERROR_SUCCESS);
}

// The "view" mark of `path` opened from `parent` with `view`; 0 when it cannot be opened (the
// query on the null handle fails).
DWORD MarkOf(HKEY parent, const WCHAR* path, REGSAM view) {
    ScopedKey key;
    DWORD mark = 0, size = sizeof(mark);
    RegOpenKeyExW(parent, path, 0, KEY_READ | view, key.Receive());
    RegQueryValueExW(key, TEXT("view"), NULL, NULL, reinterpret_cast<BYTE*>(&mark), &size);
    return mark;
}

// Whether HKLM's `path`, opened in `view`, lists a subkey `name`.
bool ListsSubKey(const WCHAR* path, REGSAM view, const WString& name) {
    ScopedKey key;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, key.Receive());
    WCHAR child[256];
    DWORD length = 256;
    for (DWORD i = 0;
         RegEnumKeyExW(key, i, child, &length, NULL, NULL, NULL, NULL) == ERROR_SUCCESS; ++i) {
        if (_wcsicmp(child, name.c_str()) == 0) {
            return true;
        }
        length = 256;
    }
    return false;
}

class Redirection : public testing::Test {
protected:
    void SetUp() override {
        if (!IsWow64()) {
            GTEST_SKIP() << "not a 32-bit process on 64-bit Windows";
        }
        TearDown();
    }
    void TearDown() override {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kChild, view, 0);
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, view, 0);
        }
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSharedKey, KEY_WOW64_64KEY, 0);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSystemKey, KEY_WOW64_64KEY, 0);
    }
};

TEST_F(Redirection, SoftwareHasAViewForEachKindOfProcess) {
    MakeKey(kKey, KEY_WOW64_64KEY, 64);
    MakeKey(kKey, 0, 32);
    MakeKey(kChild, KEY_WOW64_64KEY, 64);

    // Opened from the root: the process's view unless a flag asks for the other; a path through
    // WOW6432Node is the 32-bit view whatever the flag.
    EXPECT_EQ(MarkOf(HKEY_LOCAL_MACHINE, kKey, 0), 32u);
    EXPECT_EQ(MarkOf(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_32KEY), 32u);
    EXPECT_EQ(MarkOf(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY), 64u);
    EXPECT_EQ(MarkOf(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\WOW6432Node\\TarvikRedirection"),
                     KEY_WOW64_64KEY),
              32u);
    EXPECT_EQ(MarkOf(HKEY_LOCAL_MACHINE, kChild, 0), 0u);
    EXPECT_EQ(MarkOf(HKEY_LOCAL_MACHINE, kChild, KEY_WOW64_64KEY), 64u);

    // A key opened in one view keeps its subkeys in it; from the 64-bit one, WOW6432Node is an
    // ordinary key, and from the 32-bit one there is none.
    ScopedKey software32, software64;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE"), 0, KEY_READ, software32.Receive()),
        ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE"), 0, KEY_READ | KEY_WOW64_64KEY,
                            software64.Receive()),
              ERROR_SUCCESS);
    EXPECT_EQ(MarkOf(software32, TEXT("TarvikRedirection"), 0), 32u);
    EXPECT_EQ(MarkOf(software32, TEXT("TarvikRedirection"), KEY_WOW64_64KEY), 32u);
    EXPECT_EQ(MarkOf(software64, TEXT("TarvikRedirection"), 0), 64u);
    EXPECT_EQ(MarkOf(software64, TEXT("TarvikRedirection"), KEY_WOW64_32KEY), 32u);
    EXPECT_EQ(MarkOf(software64, TEXT("WOW6432Node\\TarvikRedirection"), 0), 32u);
    EXPECT_EQ(MarkOf(software32, TEXT("WOW6432Node\\TarvikRedirection"), 0), 0u);
    EXPECT_TRUE(ListsSubKey(TEXT("SOFTWARE"), KEY_WOW64_64KEY, TEXT("WOW6432Node")));
    EXPECT_FALSE(ListsSubKey(TEXT("SOFTWARE"), 0, TEXT("WOW6432Node")));
    EXPECT_TRUE(ListsSubKey(kKey, KEY_WOW64_64KEY, TEXT("Child")));
    EXPECT_FALSE(ListsSubKey(kKey, 0, TEXT("Child")));

    // Deleting: RegDeleteKeyW in the process's view, RegDeleteKeyExW in the one it names.
    EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kChild, KEY_WOW64_64KEY, 0), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey), ERROR_SUCCESS);
    EXPECT_EQ(MarkOf(HKEY_LOCAL_MACHINE, kKey, 0), 0u);
    EXPECT_EQ(MarkOf(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY), 64u);
    EXPECT_EQ(RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY, 0), ERROR_SUCCESS);
    EXPECT_EQ(MarkOf(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY), 0u);
}

// HKLM\SOFTWARE\Classes is one of the keys the views share; HKLM\SYSTEM is shared whole.
TEST_F(Redirection, SharedKeysAreTheSameInBothViews) {
    MakeKey(kSharedKey, 0, 32);
    EXPECT_EQ(MarkOf(HKEY_LOCAL_MACHINE, kSharedKey, KEY_WOW64_64KEY), 32u);
    MakeKey(kSharedKey, KEY_WOW64_64KEY, 64);
    EXPECT_EQ(MarkOf(HKEY_LOCAL_MACHINE, kSharedKey, 0), 64u);
    EXPECT_TRUE(ListsSubKey(TEXT("SOFTWARE"), 0, TEXT("Classes")));
    MakeKey(kSystemKey, KEY_WOW64_64KEY, 64);
    EXPECT_EQ(MarkOf(HKEY_LOCAL_MACHINE, kSystemKey, KEY_WOW64_32KEY), 64u);
}

// The system directory a 32-bit process is told of is system32, and what it opens there lies in
// SysWOW64; Sysnative is the real system32.
TEST_F(Redirection, System32IsSysWow64) {
    WCHAR directory[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(directory, MAX_PATH), 0u);
    EXPECT_EQ(_wcsicmp(directory, TEXT("C:\\Windows\\system32")), 0);

    FILE* file = _wfopen(TEXT("C:\\Windows\\system32\\TarvikRedirection.txt"), TEXT("w"));
    ASSERT_NE(file, nullptr);
    fclose(file);
    const std::pair<const WCHAR*, bool> places[] = {
        {TEXT("C:\\Windows\\SysWOW64\\TarvikRedirection.txt"), true},
        {TEXT("C:\\Windows\\Sysnative\\TarvikRedirection.txt"), false}};
    for (const auto& [path, there] : places) {
        FILE* found = _wfopen(path, TEXT("r"));
        EXPECT_EQ(found != nullptr, there) << there;
        if (found != nullptr) {
            fclose(found);
        }
    }
}

}  // namespace
