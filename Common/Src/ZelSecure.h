// Bounded copies and concatenations into fixed wide buffers, with failures reported through the
// trace, and the process's handler for invalid arguments to the runtime's bounded functions.
#pragma once

#include <windows.h>

#include <stddef.h>

__declspec(dllexport) int ZelSafeCopy(const WCHAR* pszFile, int nLine, WCHAR* pszDestination,
                                      size_t nSize, const WCHAR* pszSource);
__declspec(dllexport) int ZelSafeCat(const WCHAR* pszFile, int nLine, WCHAR* pszDestination,
                                     size_t nSize, const WCHAR* pszSource);

// The buffer sizes in use; each form traces its call with its result.
__declspec(dllexport) int ZelSafeCopy(const WCHAR* pszFile, int nLine, WCHAR (&szDestination)[260],
                                      const WCHAR* pszSource);
__declspec(dllexport) int ZelSafeCopy(const WCHAR* pszFile, int nLine, WCHAR (&szDestination)[1024],
                                      const WCHAR* pszSource);
__declspec(dllexport) int ZelSafeCopy(const WCHAR* pszFile, int nLine, WCHAR (&szDestination)[1040],
                                      const WCHAR* pszSource);
__declspec(dllexport) int ZelSafeCat(const WCHAR* pszFile, int nLine, WCHAR (&szDestination)[260],
                                     const WCHAR* pszSource);
__declspec(dllexport) int ZelSafeCat(const WCHAR* pszFile, int nLine, WCHAR (&szDestination)[1024],
                                     const WCHAR* pszSource);

__declspec(dllexport) void ZelSecureInvalidParameterHandler(const WCHAR* pszExpression,
                                                            const WCHAR* pszFunction,
                                                            const WCHAR* pszFile,
                                                            unsigned int nLine,
                                                            uintptr_t pReserved);
