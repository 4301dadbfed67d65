// COSType: which Windows release the service runs on, read once at construction.
#pragma once

#include <windows.h>

// OS codes of GetOSType; 0 is "unknown", not an error. Codes 1 to 6 are never produced.
enum {
    OS_UNKNOWN = 0,
    OS_XP = 7,
    OS_XP_IA64 = 8,
    OS_XP_X64 = 9,
    OS_2003 = 10,
    OS_2003_IA64 = 11,
    OS_2003_X64 = 12,
    OS_VISTA = 13,
    OS_VISTA_X64 = 14,
    OS_2008 = 15,
    OS_2008_X64 = 16,
    OS_2008_IA64 = 17,
    OS_WIN7 = 18,
    OS_WIN7_X64 = 19,
    OS_2008R2_X64 = 20,
    OS_2008R2_IA64 = 21,
    OS_WIN8 = 22,
    OS_WIN8_X64 = 23,
    OS_2012_X64 = 24,
    OS_WIN81 = 25,
    OS_WIN81_X64 = 26,
    OS_2012R2_X64 = 27,
    OS_WIN10 = 28,
    OS_WIN10_X64 = 29,
    OS_WIN10_SERVER_X64 = 30,
};

class __declspec(dllexport) COSType {
public:
    COSType();

    virtual int GetOSType();
    bool IsWin8();
    bool IsWin10();
    bool IsWin8OrLater();

private:
    typedef void(WINAPI* PFN_GetNativeSystemInfo)(LPSYSTEM_INFO);

    BOOL ReadVersion();
    bool IsX64() const;
    bool IsItanium() const;
    // The code of the x64, Itanium or other column of one row of the table.
    int ByArchitecture(int x64, int itanium, int other) const;

    RTL_OSVERSIONINFOEXW m_VersionInfo;
    PFN_GetNativeSystemInfo m_pfnGetNativeSystemInfo;
    SYSTEM_INFO m_SystemInfo;
    BOOL m_bVersionValid;
};
