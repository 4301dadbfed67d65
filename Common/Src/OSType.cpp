#include "OSType.h"

#include <string.h>

namespace {

typedef LONG(WINAPI* PFN_RtlGetVersion)(PRTL_OSVERSIONINFOEXW);

// GetProcAddress hands out every export as a FARPROC; void(*)() converts to and from any
// function pointer type without a cast warning.
template <typename Function>
Function ExportOf(LPCWSTR moduleName, LPCSTR exportName) {
    HMODULE module = GetModuleHandleW(moduleName);
    if (module == NULL) {
        return NULL;
    }
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, exportName)));
}

}  // namespace

COSType::COSType() : m_pfnGetNativeSystemInfo(NULL), m_bVersionValid(FALSE) {
    memset(&m_VersionInfo, 0, sizeof m_VersionInfo);
    memset(&m_SystemInfo, 0, sizeof m_SystemInfo);
    m_bVersionValid = ReadVersion();
}

BOOL COSType::ReadVersion() {
    m_pfnGetNativeSystemInfo =
        ExportOf<PFN_GetNativeSystemInfo>(TEXT("kernel32.dll"), "GetNativeSystemInfo");
    if (m_pfnGetNativeSystemInfo != NULL) {
        m_pfnGetNativeSystemInfo(&m_SystemInfo);
    }
    memset(&m_VersionInfo, 0, sizeof m_VersionInfo);
    m_VersionInfo.dwOSVersionInfoSize = sizeof m_VersionInfo;
    PFN_RtlGetVersion pfnRtlGetVersion =
        ExportOf<PFN_RtlGetVersion>(TEXT("ntdll.dll"), "RtlGetVersion");
    if (pfnRtlGetVersion == NULL) {
        return FALSE;
    }
    if (pfnRtlGetVersion(&m_VersionInfo) != 0) {
        memset(&m_VersionInfo, 0, sizeof m_VersionInfo);  // all zero when the call failed
        return FALSE;
    }
    return TRUE;
}

bool COSType::IsX64() const {
    return m_pfnGetNativeSystemInfo != NULL &&
           m_SystemInfo.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}

bool COSType::IsItanium() const {
    return m_pfnGetNativeSystemInfo != NULL &&
           m_SystemInfo.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
}

int COSType::ByArchitecture(int x64, int itanium, int other) const {
    if (IsX64()) {
        return x64;
    }
    return IsItanium() ? itanium : other;
}

int COSType::GetOSType() {
    if (!m_bVersionValid) {
        return OS_UNKNOWN;
    }
    DWORD major = m_VersionInfo.dwMajorVersion;
    DWORD minor = m_VersionInfo.dwMinorVersion;
    bool nt = m_VersionInfo.dwPlatformId == VER_PLATFORM_WIN32_NT;
    BYTE product = m_VersionInfo.wProductType;
    bool workstation = product == VER_NT_WORKSTATION;
    bool server = product == VER_NT_DOMAIN_CONTROLLER || product == VER_NT_SERVER;

    if (major == 5 && minor == 1) {
        return nt ? OS_XP : OS_UNKNOWN;
    }
    if (major == 5 && minor == 2 && nt && workstation) {
        return ByArchitecture(OS_XP_X64, OS_XP_IA64, OS_UNKNOWN);
    }
    if (major == 5 && minor == 2 && nt && server) {
        return ByArchitecture(OS_2003_X64, OS_2003_IA64, OS_2003);
    }
    if (major == 6 && minor == 0 && workstation) {
        return ByArchitecture(OS_VISTA_X64, OS_VISTA, OS_VISTA);
    }
    if (major == 6 && minor == 0 && server) {
        return ByArchitecture(OS_2008_X64, OS_2008_IA64, OS_2008);
    }
    if (major == 6 && minor == 1) {
        return workstation ? ByArchitecture(OS_WIN7_X64, OS_WIN7, OS_WIN7)
                           : ByArchitecture(OS_2008R2_X64, OS_2008R2_IA64, OS_UNKNOWN);
    }
    if (major == 6 && minor == 2) {
        return ByArchitecture(workstation ? OS_WIN8_X64 : OS_2012_X64, OS_WIN8, OS_WIN8);
    }
    if (major == 6 && minor == 3) {
        return ByArchitecture(workstation ? OS_WIN81_X64 : OS_2012R2_X64, OS_WIN81, OS_WIN81);
    }
    if (major == 10 && minor == 0) {
        return ByArchitecture(workstation ? OS_WIN10_X64 : OS_WIN10_SERVER_X64, OS_WIN10, OS_WIN10);
    }
    return OS_UNKNOWN;
}

bool COSType::IsWin8() {
    int os = GetOSType();
    return os == OS_WIN8 || os == OS_WIN8_X64 || os == OS_2012_X64;
}

bool COSType::IsWin10() {
    int os = GetOSType();
    return os == OS_WIN10 || os == OS_WIN10_X64 || os == OS_WIN10_SERVER_X64;
}

bool COSType::IsWin8OrLater() {
    bool win8 = IsWin8();
    if (m_VersionInfo.dwMajorVersion > 6) {
        return true;
    }
    if (m_VersionInfo.dwMajorVersion < 6 || m_VersionInfo.dwMinorVersion < 2) {
        return win8;
    }
    return true;
}
