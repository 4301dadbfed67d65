#include "ZelSecure.h"

#include "ZelDebug.h"

#include <errno.h>
#include <stdlib.h>
#include <wchar.h>

#include <atomic>

namespace {

// Installed once by the first safe copy; the handler found before it is kept, never restored.
// Two threads racing through their first copy both install it, which is harmless; the atomic
// only keeps that race well-defined.
std::atomic<_invalid_parameter_handler> g_pfnInstalledHandler{NULL};
_invalid_parameter_handler g_pfnPreviousHandler = NULL;

void InstallHandler(int nLine) {
    if (g_pfnInstalledHandler == ZelSecureInvalidParameterHandler) {
        return;
    }
    g_ZelDebug.Error(
        TEXT("..\\Common\\Src\\ZelSecure"), nLine,
        TEXT("Setting invalid parameter handler to: ZelSecureInvalidParameterHandler"));
    g_pfnPreviousHandler = _set_invalid_parameter_handler(ZelSecureInvalidParameterHandler);
    g_pfnInstalledHandler = ZelSecureInvalidParameterHandler;
}

// Both the copy and the concatenation report with the copy's texts.
int Report(int nError, const WCHAR* pszFile, int nLine, const WCHAR* pszDestination) {
    if (nError == EINVAL && pszDestination == NULL) {
        g_ZelDebug.Error(TEXT("..\\Common\\Src\\ZelSecure"), 189,
                         TEXT("ZelSafeCopy ERROR: NULL == strDestination"));
    } else if (nError == EINVAL) {
        g_ZelDebug.Error(pszFile, nLine, TEXT("ZelSafeCopy ERROR: NULL == strSource"));
    } else if (nError == ERANGE) {
        g_ZelDebug.Error(pszFile, nLine,
                         TEXT("ZelSafeCopy ERROR: strDestination size 0, or too small"));
    }
    return nError;
}

template <size_t N>
int TracedCopy(const WCHAR* pszFile, int nLine, WCHAR (&szDestination)[N], const WCHAR* pszSource) {
    int nResult = 0;
    CZelTraceScope scope(TEXT("ZelSafeCopy"), &nResult);
    nResult = ZelSafeCopy(pszFile, nLine, szDestination, N, pszSource);
    return nResult;
}

template <size_t N>
int TracedCat(const WCHAR* pszFile, int nLine, WCHAR (&szDestination)[N], const WCHAR* pszSource) {
    int nResult = 0;
    CZelTraceScope scope(TEXT("ZelSafeCat"), &nResult);
    nResult = ZelSafeCat(pszFile, nLine, szDestination, N, pszSource);
    return nResult;
}

}  // namespace

int ZelSafeCopy(const WCHAR* pszFile, int nLine, WCHAR* pszDestination, size_t nSize,
                const WCHAR* pszSource) {
    InstallHandler(98);
    int nError = wcscpy_s(pszDestination, nSize, pszSource);
    return Report(nError, pszFile, nLine, pszDestination);
}

int ZelSafeCat(const WCHAR* pszFile, int nLine, WCHAR* pszDestination, size_t nSize,
               const WCHAR* pszSource) {
    InstallHandler(150);
    int nError = wcscat_s(pszDestination, nSize, pszSource);
    return Report(nError, pszFile, nLine, pszDestination);
}

int ZelSafeCopy(const WCHAR* pszFile, int nLine, WCHAR (&szDestination)[260],
                const WCHAR* pszSource) {
    return TracedCopy(pszFile, nLine, szDestination, pszSource);
}

int ZelSafeCopy(const WCHAR* pszFile, int nLine, WCHAR (&szDestination)[1024],
                const WCHAR* pszSource) {
    return TracedCopy(pszFile, nLine, szDestination, pszSource);
}

int ZelSafeCopy(const WCHAR* pszFile, int nLine, WCHAR (&szDestination)[1040],
                const WCHAR* pszSource) {
    return TracedCopy(pszFile, nLine, szDestination, pszSource);
}

int ZelSafeCat(const WCHAR* pszFile, int nLine, WCHAR (&szDestination)[260],
               const WCHAR* pszSource) {
    return TracedCat(pszFile, nLine, szDestination, pszSource);
}

int ZelSafeCat(const WCHAR* pszFile, int nLine, WCHAR (&szDestination)[1024],
               const WCHAR* pszSource) {
    return TracedCat(pszFile, nLine, szDestination, pszSource);
}

// Returning lets the runtime function that found the bad argument give its error number
// instead of ending the process.
void ZelSecureInvalidParameterHandler(const WCHAR*, const WCHAR*, const WCHAR*, unsigned int,
                                      uintptr_t) {
    g_ZelDebug.Print(TEXT("ZelSecureInvalidParameterHandler : ERROR"));
}
