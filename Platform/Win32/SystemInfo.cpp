#include <windows.h>

#include "Machine/Machine.h"
#include "Machine/Processes/ProcessImage.h"

#include <string.h>

namespace {

const LONG kStatusSuccess = 0;
const LONG kStatusUnsuccessful = static_cast<LONG>(0xC0000001);
const LONG kStatusInvalidParameter = static_cast<LONG>(0xC000000D);

void FillSystemInfo(LPSYSTEM_INFO info, WORD architecture) {
    memset(info, 0, sizeof *info);
    info->wProcessorArchitecture = architecture;
    info->dwPageSize = 4096;
    info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(0x10000);
    info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(0x7FFEFFFF);
    info->dwActiveProcessorMask = 3;
    info->dwNumberOfProcessors = 2;
    info->dwProcessorType = architecture == PROCESSOR_ARCHITECTURE_AMD64 ? 8664 : 586;
    info->dwAllocationGranularity = 65536;
    info->wProcessorLevel = 6;
}

}  // namespace

void WINAPI GetNativeSystemInfo(LPSYSTEM_INFO lpSystemInfo) {
    FillSystemInfo(lpSystemInfo, sim::Machine::Get().Settings().os.architecture);
}

// A 32-bit process sees an x86 processor whatever the machine's.
void WINAPI GetSystemInfo(LPSYSTEM_INFO lpSystemInfo) {
    WORD native = sim::Machine::Get().Settings().os.architecture;
    FillSystemInfo(lpSystemInfo, sim::ImageIs32Bit() ? WORD{PROCESSOR_ARCHITECTURE_INTEL} : native);
}

// Exported by ntdll.dll only: code finds it through GetProcAddress, as on Windows.
LONG WINAPI RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
    const sim::OsSettings& os = sim::Machine::Get().Settings().os;
    DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) {
        return kStatusInvalidParameter;
    }
    if (os.rtlGetVersionFails) {
        return kStatusUnsuccessful;
    }
    lpVersionInformation->dwMajorVersion = os.major;
    lpVersionInformation->dwMinorVersion = os.minor;
    lpVersionInformation->dwBuildNumber = os.build;
    lpVersionInformation->dwPlatformId = os.platformId;
    lpVersionInformation->szCSDVersion[0] = 0;
    if (size == sizeof(OSVERSIONINFOEXW)) {
        auto* ex = reinterpret_cast<POSVERSIONINFOEXW>(lpVersionInformation);
        ex->wServicePackMajor = 0;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0;
        ex->wProductType = os.productType;
        ex->wReserved = 0;
    }
    return kStatusSuccess;
}
