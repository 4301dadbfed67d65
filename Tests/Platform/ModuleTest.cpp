// Modules, directories and process creation as a program sees them on any Windows: the system
// libraries it has loaded, what a missing library, export or program gives, and the size rules of
// the directory functions.
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

    // Loading takes a reference and freeing gives it back; the last reference unloads a library
    // unless the executable imports it (this test's MinGW build does not import oleaut32; the
    // simulated machine's processes do, as the service does).
    bool imported = GetModuleHandleW(TEXT("oleaut32")) != NULL;
    HMODULE oleaut32 = LoadLibraryW(TEXT("OLEAUT32.DLL"));
    ASSERT_NE(HMODULE(NULL), oleaut32);
    EXPECT_EQ(oleaut32, GetModuleHandleW(TEXT("oleaut32")));
    EXPECT_NE(FARPROC(NULL), GetProcAddress(oleaut32, "SetOaNoCache"));
    EXPECT_EQ(oleaut32, LoadLibraryW(TEXT("oleaut32")));
    EXPECT_TRUE(FreeLibrary(oleaut32));
    EXPECT_EQ(oleaut32, GetModuleHandleW(TEXT("oleaut32.dll")));
    EXPECT_TRUE(FreeLibrary(oleaut32));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(imported, GetModuleHandleW(TEXT("oleaut32.dll")) != NULL);
    if (!imported) {
        EXPECT_EQ(DWORD(ERROR_MOD_NOT_FOUND), GetLastError());
    }
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
    WString before = CurrentDirectory();
    ASSERT_FALSE(before.empty());
    ASSERT_TRUE(SetCurrentDirectoryW(TEXT("C:\\Windows\\")));  // kept without the last backslash
    ExpectSizeRules(GetCurrentDirectoryW, TEXT("C:\\Windows"));
    ASSERT_TRUE(SetCurrentDirectoryW(TEXT("system32")));
    EXPECT_EQ(Upper(TEXT("C:\\Windows\\system32")), Upper(CurrentDirectory()));
    ASSERT_TRUE(SetCurrentDirectoryW(TEXT("..\\..")));
    EXPECT_EQ(WString(TEXT("C:\\")), CurrentDirectory());
    EXPECT_TRUE(SetCurrentDirectoryW(before.c_str()));
}

TEST(Process, MissingPrograms) {
    struct {
        const WCHAR* application;
        const WCHAR* commandLine;
        DWORD error;
    } cases[] = {
        {NULL, TEXT("tarvik-no-such-program.exe /x"), ERROR_FILE_NOT_FOUND},
        {NULL, TEXT("tarvik-no-such-program"), ERROR_FILE_NOT_FOUND},
        {NULL, TEXT("\"C:\\Windows\\system32\\tarvik-no-such-program.exe\" /Unreg"),
         ERROR_FILE_NOT_FOUND},
        {NULL, TEXT("C:\\Windows\\system32\\tarvik-no-such-program.exe /Unreg"),
         ERROR_FILE_NOT_FOUND},
        {NULL, TEXT("\"C:\\tarvik-no-such-directory\\program.exe\" /Unreg"), ERROR_PATH_NOT_FOUND},
        {TEXT("C:\\Windows\\system32\\tarvik-no-such-program.exe"), NULL, ERROR_FILE_NOT_FOUND},
        {TEXT("C:\\tarvik-no-such-directory\\program.exe"), TEXT("program.exe /x"),
         ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.commandLine ? c.commandLine : c.application));
        WCHAR commandLine[MAX_PATH] = {0};
        if (c.commandLine) {
            wcscpy_s(commandLine, MAX_PATH, c.commandLine);
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(CreateProcessW(c.application, c.commandLine ? commandLine : NULL, NULL, NULL,
                                    FALSE, CREATE_NO_WINDOW, NULL, NULL, &startup, &info));
        DWORD error = GetLastError();
        if (OnWine() && c.application == NULL) {
            // Wine's search of a command line reports every miss as a missing file.
            EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), error);
        } else {
            EXPECT_EQ(c.error, error);
        }
        EXPECT_EQ(HANDLE(NULL), info.hProcess);
    }
}

}  // namespace
