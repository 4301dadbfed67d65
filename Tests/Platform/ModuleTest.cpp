// Modules, directories and process creation as a program sees them on any Windows: the system
// libraries it has loaded, what a missing library, export or program gives, and the size rules of
// the directory functions.
#include <windows.h>

#include "Support/Narrow.h"

#include <stdio.h>
#include <wchar.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using test::Narrow;

typedef std::basic_string<WCHAR> WString;

bool OnWine() {
    return GetProcAddress(GetModuleHandleW(TEXT("ntdll")), "wine_get_version") != NULL;
}

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
    EXPECT_NE(FARPROC(NULL), GetProcAddress(oleaut32, "SetOaNoCache"));
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
        SetLastError(0xdeadbeef);
        EXPECT_EQ(HMODULE(NULL), LoadLibraryW(library.name));
        EXPECT_EQ(DWORD(ERROR_MOD_NOT_FOUND), GetLastError());
        SetLastError(0xdeadbeef);
        EXPECT_EQ(HMODULE(NULL), GetModuleHandleW(library.name));
        EXPECT_EQ(DWORD(ERROR_MOD_NOT_FOUND), GetLastError());
    }

    SetLastError(0xdeadbeef);
    EXPECT_EQ(HMODULE(NULL), LoadLibraryW(NULL));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());

    HMODULE kernel32 = GetModuleHandleW(TEXT("kernel32"));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FARPROC(NULL), GetProcAddress(kernel32, "TarvikNoSuchFunction"));
    EXPECT_EQ(DWORD(ERROR_PROC_NOT_FOUND), GetLastError());
    // A null module is the executable, which exports nothing.
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FARPROC(NULL), GetProcAddress(NULL, "TarvikNoSuchFunction"));
    EXPECT_EQ(DWORD(ERROR_PROC_NOT_FOUND), GetLastError());

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(FreeLibrary(NULL));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(Directory, SystemDirectorySizeRules) {
    WCHAR buffer[MAX_PATH];
    UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(size_t(length), wcslen(buffer));
    // Wine's prefix spells it "C:\windows\system32".
    EXPECT_EQ(Upper(TEXT("C:\\Windows\\system32")), Upper(buffer));

    EXPECT_EQ(length + 1, GetSystemDirectoryW(NULL, 0));
    WCHAR small[MAX_PATH];
    small[0] = 'x';
    EXPECT_EQ(length + 1, GetSystemDirectoryW(small, length));
    EXPECT_EQ(WCHAR('x'), small[0]);
    EXPECT_EQ(length, GetSystemDirectoryW(small, length + 1));
    EXPECT_EQ(WString(buffer), WString(small));
}

TEST(Directory, CurrentDirectory) {
    WString before = CurrentDirectory();
    ASSERT_FALSE(before.empty());

    ASSERT_TRUE(SetCurrentDirectoryW(TEXT("C:\\Windows\\")));
    DWORD length = GetCurrentDirectoryW(0, NULL);
    EXPECT_EQ(DWORD(11), length);  // "C:\Windows" and its terminator: no trailing backslash
    WCHAR small[MAX_PATH];
    small[0] = 'x';
    EXPECT_EQ(DWORD(11), GetCurrentDirectoryW(10, small));
    EXPECT_EQ(WCHAR('x'), small[0]);
    EXPECT_EQ(DWORD(10), GetCurrentDirectoryW(11, small));
    EXPECT_EQ(Upper(TEXT("C:\\Windows")), Upper(small));

    ASSERT_TRUE(SetCurrentDirectoryW(TEXT("system32")));
    EXPECT_EQ(Upper(TEXT("C:\\Windows\\system32")), Upper(CurrentDirectory()));
    ASSERT_TRUE(SetCurrentDirectoryW(TEXT("..\\..")));
    EXPECT_EQ(WString(TEXT("C:\\")), CurrentDirectory());

    FILE* file = _wfopen(TEXT("C:\\Windows\\Temp\\tarvik-not-a-directory.txt"), TEXT("w"));
    ASSERT_TRUE(file != NULL);
    fclose(file);
    struct {
        const WCHAR* path;
        DWORD error;
    } bad[] = {{TEXT("C:\\tarvik-no-such-directory"), ERROR_FILE_NOT_FOUND},
               {TEXT("C:\\tarvik-no-such-directory\\sub"), ERROR_PATH_NOT_FOUND},
               {TEXT("C:\\Windows\\Temp\\tarvik-not-a-directory.txt"), ERROR_DIRECTORY}};
    for (const auto& c : bad) {
        SCOPED_TRACE(Narrow(c.path));
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(SetCurrentDirectoryW(c.path));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(WString(TEXT("C:\\")), CurrentDirectory());
    }
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
