// Modules and directories as a program sees them on any Windows: the system libraries it has
// loaded, what a missing library or export gives, and the size rules of the directory functions.
#include <windows.h>

#include "LastError.h"
#include "Support/Narrow.h"

#include <stdio.h>
#include <wchar.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using test::Narrow;

typedef std::basic_string<WCHAR> WString;

WString Upper(WString text) {
    for (WCHAR& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<WCHAR>(c - 'a' + 'A');
        }
    }
    return text;
}

WString CurrentDirectory() {
    WCHAR buffer[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, buffer);
    return WString(buffer, length < MAX_PATH ? length : 0);
}

TEST(Module, SystemLibrariesStayLoaded) {
    HMODULE kernel32 = GetModuleHandleW(TEXT("kernel32.dll"));
    ASSERT_NE(HMODULE(NULL), kernel32);
    const WCHAR* sameNames[] = {TEXT("KERNEL32"), TEXT("Kernel32.DLL"),
                                TEXT("C:\\Windows\\system32\\kernel32.dll")};
    for (const WCHAR* name : sameNames) {
        SCOPED_TRACE(Narrow(name));
        EXPECT_EQ(kernel32, GetModuleHandleW(name));
    }
    EXPECT_NE(HMODULE(NULL), GetModuleHandleW(NULL));
    EXPECT_NE(GetModuleHandleW(NULL), kernel32);

    // The service turns OLEAUT32's string cache off through its export.
    HMODULE oleaut32 = LoadLibraryW(TEXT("OLEAUT32.DLL"));
    ASSERT_NE(HMODULE(NULL), oleaut32);
    EXPECT_EQ(oleaut32, GetModuleHandleW(TEXT("oleaut32")));
    FARPROC setOaNoCache = GetProcAddress(oleaut32, "SetOaNoCache");
    ASSERT_NE(FARPROC(NULL), setOaNoCache);
    reinterpret_cast<void(WINAPI*)(void)>(reinterpret_cast<void (*)()>(setOaNoCache))();
    EXPECT_TRUE(FreeLibrary(oleaut32));
    EXPECT_EQ(kernel32, LoadLibraryW(TEXT("kernel32")));
    EXPECT_TRUE(FreeLibrary(kernel32));
}

TEST(Module, MissingLibrariesAndExports) {
    struct {
        const WCHAR* name;
    } libraries[] = {{TEXT("tarvik-no-such-library.dll")},
                     {TEXT("tarvik-no-such-library")},
                     {TEXT("C:\\Windows\\system32\\tarvik-no-such-library.dll")},
                     {TEXT("C:\\tarvik-no-such-directory\\kernel32.dll")}};
    for (const auto& library : libraries) {
        SCOPED_TRACE(Narrow(library.name));
        EXPECT_LAST_ERROR(HMODULE(NULL), ERROR_MOD_NOT_FOUND, LoadLibraryW(library.name));
        EXPECT_LAST_ERROR(HMODULE(NULL), ERROR_MOD_NOT_FOUND, GetModuleHandleW(library.name));
    }

    EXPECT_LAST_ERROR(HMODULE(NULL), ERROR_INVALID_PARAMETER, LoadLibraryW(NULL));

    HMODULE kernel32 = GetModuleHandleW(TEXT("kernel32"));
    EXPECT_LAST_ERROR(FARPROC(NULL), ERROR_PROC_NOT_FOUND,
                      GetProcAddress(kernel32, "TarvikNoSuchFunction"));
    // A null module is the executable, which exports nothing.
    EXPECT_LAST_ERROR(FARPROC(NULL), ERROR_PROC_NOT_FOUND,
                      GetProcAddress(NULL, "TarvikNoSuchFunction"));

    EXPECT_LAST_ERROR(FALSE, ERROR_INVALID_HANDLE, FreeLibrary(NULL));
}

// A directory function's size rules: too short a buffer (left alone) gives the size needed with
// the terminator, one that fits the length without it.
template <typename Get>
void ExpectSizeRules(Get get, const WString& expected) {
    DWORD length = static_cast<DWORD>(expected.size());
    EXPECT_EQ(length + 1, get(0, NULL));
    WCHAR buffer[MAX_PATH] = {'x', 0};
    EXPECT_EQ(length + 1, get(length, buffer));
    EXPECT_EQ(WCHAR('x'), buffer[0]);
    EXPECT_EQ(length, get(length + 1, buffer));
    // Wine's prefix spells it "C:\windows".
    EXPECT_EQ(Upper(expected), Upper(buffer));
}

TEST(Directory, SizeRules) {
    ExpectSizeRules([](DWORD size, WCHAR* buffer) { return GetSystemDirectoryW(buffer, size); },
                    TEXT("C:\\Windows\\system32"));
    WString current = CurrentDirectory();
    ASSERT_FALSE(current.empty());
    ExpectSizeRules(GetCurrentDirectoryW, current);
}

}  // namespace
