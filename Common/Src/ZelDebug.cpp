#include "ZelDebug.h"

#include "ZelScopedHandle.h"
#include "ZelSecure.h"

#include <io.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <exception>
#include <new>

namespace {

const size_t kLineBufferSize = 1152;
const size_t kErrorBufferSize = 1024;
const size_t kMessageMax = 1023;
const size_t kLineMax = 1150;  // characters before the line feed
const size_t kFileNameMax = 245;
const size_t kPathBufferSize = 1024;
const size_t kTempBufferSize = 260;
const DWORD kInstalledDirBytes = 1024;

const WCHAR kZel2Key[] = TEXT("SOFTWARE\\ORVEX\\ZUZUVOZ_ORODAVOV\\ZEL2");
const WCHAR kHeaderFormat[] =
    TEXT("%s\tPID:%x\tTID:%x\t%02.2d:%02.2d:%02.2d.%03.3d\t(%I64X)\tTIER %d\t\t");

// Used only under the trace's lock: lines are built without a heap allocation.
WCHAR g_szLine[kLineBufferSize];
WCHAR g_szError[kErrorBufferSize];

LONG ReadShared(volatile LONG* pValue) {
    return InterlockedCompareExchange(pValue, 0, 0);
}

// Module names up to this length take WriteHeader; a longer one (which may not fit the line)
// takes the runtime's formatting, so that its result stays the runtime's own.
const size_t kFastModuleMax = 256;

WCHAR* PutText(WCHAR* p, const WCHAR* pszText, size_t nLength) {
    memcpy(p, pszText, nLength * sizeof(WCHAR));
    return p + nLength;
}

// Digits of `value` with at least `nMinDigits` of them, as %.<nMinDigits>u writes it.
WCHAR* PutDecimal(WCHAR* p, unsigned value, int nMinDigits) {
    int n = 1;
    for (unsigned nRest = value / 10; nRest != 0; nRest /= 10) {
        ++n;
    }
    WCHAR* pEnd = p + (n > nMinDigits ? n : nMinDigits);
    for (WCHAR* q = pEnd; q != p; value /= 10) {
        *--q = static_cast<WCHAR>(TEXT('0') + value % 10);
    }
    return pEnd;
}

// As %x or %X writes an unsigned value: no leading zeros, "0" for zero.
WCHAR* PutHex(WCHAR* p, unsigned long long value, bool bUpper) {
    const char* pszSet = bUpper ? "0123456789ABCDEF" : "0123456789abcdef";
    int n = 1;
    for (unsigned long long nRest = value >> 4; nRest != 0; nRest >>= 4) {
        ++n;
    }
    for (WCHAR* q = p + n; q != p; value >>= 4) {
        *--q = static_cast<WCHAR>(pszSet[value & 15]);
    }
    return p + n;
}

// As %d writes `value`.
WCHAR* PutSigned(WCHAR* p, int value) {
    unsigned nMagnitude = static_cast<unsigned>(value);
    if (value < 0) {
        *p++ = TEXT('-');
        nMagnitude = 0u - nMagnitude;
    }
    return PutDecimal(p, nMagnitude, 1);
}

// The header exactly as kHeaderFormat formats it, written directly: every line has one, and
// parsing its nine conversions on every line was most of the line's formatting time. Returns
// its length.
int WriteHeader(WCHAR* pszLine, const WCHAR* pszModule, size_t nModule, DWORD dwProcess,
                DWORD dwThread, const SYSTEMTIME& now, LONGLONG nCounter, int nTier) {
    WCHAR* p = PutText(pszLine, pszModule, nModule);
    p = PutText(p, TEXT("\tPID:"), 5);
    p = PutHex(p, dwProcess, false);
    p = PutText(p, TEXT("\tTID:"), 5);
    p = PutHex(p, dwThread, false);
    *p++ = TEXT('\t');
    p = PutDecimal(p, now.wHour, 2);  // the precision of %02.2d gives the two digits
    *p++ = TEXT(':');
    p = PutDecimal(p, now.wMinute, 2);
    *p++ = TEXT(':');
    p = PutDecimal(p, now.wSecond, 2);
    *p++ = TEXT('.');
    p = PutDecimal(p, now.wMilliseconds, 3);
    p = PutText(p, TEXT("\t("), 2);
    p = PutHex(p, static_cast<unsigned long long>(nCounter), true);
    p = PutText(p, TEXT(")\tTIER "), 7);
    p = PutSigned(p, nTier);
    p = PutText(p, TEXT("\t\t"), 2);
    *p = 0;
    return static_cast<int>(p - pszLine);
}

}  // namespace

CZelDebug::CZelDebug()
    : m_nTier(0),
      m_pszModuleName(NULL),
      m_pFile(NULL),
      m_pLock(&m_CriticalSection),
      m_bConfigured(false),
      m_dwLevel(ZEL_TRACE_OFF),
      m_dwMaxSize(0) {
    InitializeCriticalSection(m_pLock);
}

CZelDebug::~CZelDebug() {
    if (m_pFile != NULL) {
        fclose(m_pFile);
        m_pFile = NULL;
    }
    delete[] m_pszModuleName;
    m_pszModuleName = NULL;
    DeleteCriticalSection(&m_CriticalSection);
    m_pLock = NULL;
}

int CZelDebug::Configure(const WCHAR* pszModuleName, const WCHAR* pszFileName, DWORD dwLevel,
                         int nAppend, DWORD dwMaxSize) {
    if (dwLevel == ZEL_TRACE_OFF) {
        InterlockedExchange(&m_dwLevel, ZEL_TRACE_OFF);
        return -1;
    }
    if (dwLevel == ZEL_TRACE_ALL || dwLevel == ZEL_TRACE_ERRORS) {
        CZelKeyHandle hKey;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kZel2Key, 0, KEY_READ, hKey.Receive()) !=
            ERROR_SUCCESS) {
            return -1;
        }
        DWORD dwTrace = 0;
        DWORD dwSize = sizeof dwTrace;
        if (RegQueryValueExW(hKey, TEXT("TRACE"), NULL, NULL, reinterpret_cast<BYTE*>(&dwTrace),
                             &dwSize) == ERROR_SUCCESS) {
            dwLevel = dwTrace;
        }
        hKey.Reset();
        if (dwLevel == ZEL_TRACE_OFF) {
            return -1;
        }
    }
    if (pszFileName == NULL || pszModuleName == NULL || pszFileName[0] == 0 ||
        wcslen(pszFileName) > kFileNameMax) {
        return -1;
    }
    size_t nNameSize = wcslen(pszModuleName) + 1;
    WCHAR* pszName = new (std::nothrow) WCHAR[nNameSize];
    if (pszName == NULL) {
        return -1;
    }
    memcpy(pszName, pszModuleName, nNameSize * sizeof(WCHAR));
    delete[] m_pszModuleName;
    m_pszModuleName = pszName;
    m_dwMaxSize = dwMaxSize;

    WCHAR szPath[kPathBufferSize] = {0};
    BuildPath(pszModuleName, pszFileName, szPath);
    const WCHAR* pszMode = nAppend != 0 ? TEXT("a+") : TEXT("w");
    if (m_pFile != NULL) {
        // The service configures once; a second configuration must not leak the first file.
        fclose(m_pFile);
        m_pFile = NULL;
        m_bConfigured = false;
    }
    m_pFile = _wfopen(szPath, pszMode);
    if (m_pFile == NULL) {
        // Where the registry points cannot be written: the same file name in Temp.
        const WCHAR* pszLastSlash = wcsrchr(szPath, TEXT('\\'));
        if (pszLastSlash == NULL) {
            return -1;
        }
        WCHAR szFallback[kTempBufferSize] = {0};
        GetEnvironmentVariableW(TEXT("Temp"), szFallback, kTempBufferSize);
        ZelSafeCat(TEXT("..\\Common\\Src\\ZelDebug"), __LINE__, szFallback, pszLastSlash);
        m_pFile = _wfopen(szFallback, pszMode);
        if (m_pFile == NULL) {
            return -1;
        }
    }
    m_bConfigured = true;
    InterlockedExchange(&m_dwLevel, static_cast<LONG>(dwLevel));
    return 0;
}

void CZelDebug::BuildPath(const WCHAR* pszModuleName, const WCHAR* pszFileName,
                          WCHAR (&szPath)[kPathBufferSize]) {
    if (_wcsicmp(pszModuleName, TEXT("QmSetup")) == 0) {
        ZelSafeCopy(TEXT("..\\Common\\Src\\ZelDebug"), __LINE__, szPath, pszFileName);
        return;
    }
    WCHAR szDirectory[kPathBufferSize] = {0};
    CZelKeyHandle hKey;
    bool bOpened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kZel2Key, 0, KEY_READ, hKey.Receive()) == ERROR_SUCCESS;
    if (bOpened && _wcsicmp(pszModuleName, TEXT("Zel2Setp")) != 0) {
        DWORD dwSize = kInstalledDirBytes;
        RegQueryValueExW(hKey, TEXT("InstalledDir"), NULL, NULL,
                         reinterpret_cast<BYTE*>(szDirectory), &dwSize);
        szDirectory[kPathBufferSize - 1] = 0;
    } else {
        GetEnvironmentVariableW(TEXT("Temp"), szDirectory, kTempBufferSize);
    }
    hKey.Reset();
    ZelSafeCopy(TEXT("..\\Common\\Src\\ZelDebug"), __LINE__, szPath, szDirectory);
    ZelSafeCat(TEXT("..\\Common\\Src\\ZelDebug"), __LINE__, szPath, TEXT("\\"));
    ZelSafeCat(TEXT("..\\Common\\Src\\ZelDebug"), __LINE__, szPath, pszFileName);
}

LONG CZelDebug::PrintLevel() {
    LONG nLevel = ReadShared(&m_dwLevel);
    bool bWrites =
        nLevel != ZEL_TRACE_OFF && nLevel != ZEL_TRACE_ERRORS && m_bConfigured && m_pFile != NULL;
    return bWrites ? nLevel : ZEL_TRACE_OFF;
}

void CZelDebug::Print(const WCHAR* pszFormat, ...) {
    LONG nLevel = PrintLevel();
    if (nLevel == ZEL_TRACE_OFF) {
        return;
    }
    EnterCriticalSection(m_pLock);
    va_list args;
    va_start(args, pszFormat);
    try {
        PrintLocked(nLevel, pszFormat, args);
    } catch (...) {
        Print(TEXT("CZelDebug::Error - EXCEPTION DURING DEBUG PRINT."));
    }
    va_end(args);
    LeaveCriticalSection(m_pLock);
}

void CZelDebug::PrintTexts(LONG nLevel, const WCHAR* pszFormat, const WCHAR* const* ppszTexts,
                           size_t nTexts) {
    if (nLevel == ZEL_TRACE_OFF) {
        return;
    }
    EnterCriticalSection(m_pLock);
    try {
        PrintTextsLocked(nLevel, pszFormat, ppszTexts, nTexts);
    } catch (...) {
        Print(TEXT("CZelDebug::Error - EXCEPTION DURING DEBUG PRINT."));
    }
    LeaveCriticalSection(m_pLock);
}

int CZelDebug::BeginLineLocked() {
    if (m_dwMaxSize != 0) {
        long nLength = _filelength(_fileno(m_pFile));
        // Writing stops for good at the limit: no truncation, rotation or second file.
        if (nLength >= 0 && m_dwMaxSize <= static_cast<unsigned long>(nLength)) {
            return -1;
        }
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    DWORD dwProcess = GetCurrentProcessId();
    DWORD dwThread = GetCurrentThreadId();
    int nTier = static_cast<int>(ReadShared(&m_nTier));
    size_t nModule = m_pszModuleName != NULL ? wcslen(m_pszModuleName) : kFastModuleMax + 1;
    if (nModule <= kFastModuleMax) {
        return WriteHeader(g_szLine, m_pszModuleName, nModule, dwProcess, dwThread, now,
                           counter.QuadPart, nTier);
    }
    return _snwprintf_s(g_szLine, kLineBufferSize, kLineBufferSize - 1, kHeaderFormat,
                        m_pszModuleName, dwProcess, dwThread, now.wHour, now.wMinute, now.wSecond,
                        now.wMilliseconds, counter.QuadPart, nTier);
}

void CZelDebug::PrintLocked(LONG nLevel, const WCHAR* pszFormat, va_list args) {
    int nHeader = BeginLineLocked();
    if (nHeader < 0) {
        return;
    }
    size_t nRoom = kLineBufferSize - static_cast<size_t>(nHeader);
    size_t nCount = nRoom - 1 < kMessageMax ? nRoom - 1 : kMessageMax;
    int nMessage = _vsnwprintf_s(g_szLine + nHeader, nRoom, nCount, pszFormat, args);
    EndLineLocked(nLevel, nHeader, nMessage);
}

void CZelDebug::PrintTextsLocked(LONG nLevel, const WCHAR* pszFormat, const WCHAR* const* ppszTexts,
                                 size_t nTexts) {
    int nHeader = BeginLineLocked();
    if (nHeader < 0) {
        return;
    }
    size_t nRoom = kLineBufferSize - static_cast<size_t>(nHeader);
    size_t nCount = nRoom - 1 < kMessageMax ? nRoom - 1 : kMessageMax;
    // What the engine gives with this count: the message, or its first nCount characters and -1.
    WCHAR* pszMessage = g_szLine + nHeader;
    size_t nUsed = 0;
    bool bCut = false;
    size_t nNext = 0;
    for (const WCHAR* p = pszFormat; *p != 0;) {
        bool bConversion = p[0] == TEXT('%') && (p[1] == TEXT('s') || p[1] == TEXT('d'));
        const WCHAR* pszPart = bConversion && nNext < nTexts ? ppszTexts[nNext++] : p;
        size_t nLength = pszPart == p ? 1 : wcslen(pszPart);
        p += pszPart == p ? 1 : 2;
        if (nLength > nCount - nUsed) {
            nLength = nCount - nUsed;
            bCut = true;
        }
        memcpy(pszMessage + nUsed, pszPart, nLength * sizeof(WCHAR));
        nUsed += nLength;
    }
    pszMessage[nUsed] = 0;
    EndLineLocked(nLevel, nHeader, bCut ? -1 : static_cast<int>(nUsed));
}

void CZelDebug::EndLineLocked(LONG nLevel, int nHeader, int nMessage) {
    size_t n = static_cast<size_t>(nHeader) + (nMessage < 0 ? kMessageMax : nMessage);
    if (n > kLineMax) {
        n = kLineMax;
    }
    g_szLine[n] = TEXT('\n');
    g_szLine[n + 1] = 0;
    fwprintf(m_pFile, TEXT("%s"), g_szLine);
    fflush(m_pFile);
    if (nLevel == ZEL_TRACE_DEBUGGER) {
        OutputDebugStringW(g_szLine);
    }
}

void CZelDebug::Error(const WCHAR* pszSourceFile, int nLine, const WCHAR* pszFormat, ...) {
    if (ReadShared(&m_dwLevel) == ZEL_TRACE_OFF || m_pFile == NULL) {
        return;
    }
    EnterCriticalSection(m_pLock);
    va_list args;
    va_start(args, pszFormat);
    try {
        _vsnwprintf_s(g_szError, kErrorBufferSize, kErrorBufferSize - 1, pszFormat, args);
        g_szError[kErrorBufferSize - 1] = 0;
        LONG nSaved = ReadShared(&m_dwLevel);
        if (nSaved != ZEL_TRACE_DEBUGGER) {
            InterlockedExchange(&m_dwLevel, ZEL_TRACE_ALL);
        }
        Print(TEXT("%s (%d): %s"), pszSourceFile, nLine, g_szError);
        InterlockedExchange(&m_dwLevel, nSaved);
    } catch (...) {
        // The line is lost; the trace goes on.
    }
    va_end(args);
    LeaveCriticalSection(m_pLock);
}

DWORD CZelDebug::GetCurrentLogLevel() {
    return static_cast<DWORD>(ReadShared(&m_dwLevel));
}

bool CZelDebug::IsConfigured() {
    return m_bConfigured;
}

void DebugTrace(const WCHAR* pszFormat, ...) {
    LONG nLevel = g_ZelDebug.PrintLevel();
    if (nLevel == ZEL_TRACE_OFF) {
        return;  // no line: no need to format it
    }
    // Without a conversion the engine would copy the format: most lines are such.
    if (pszFormat != NULL && wcschr(pszFormat, TEXT('%')) == NULL) {
        g_ZelDebug.PrintTexts(nLevel, TEXT("%s"), &pszFormat, 1);
        return;
    }
    WCHAR szMessage[kErrorBufferSize];
    va_list args;
    va_start(args, pszFormat);
    _vsnwprintf_s(szMessage, kErrorBufferSize, _TRUNCATE, pszFormat, args);
    va_end(args);
    const WCHAR* pszMessage = szMessage;
    g_ZelDebug.PrintTexts(nLevel, TEXT("%s"), &pszMessage, 1);
}

CZelTraceScope::CZelTraceScope(const WCHAR* pszFunction)
    : m_pszFunction(NULL), m_nKind(RESULT_NONE), m_pbResult(NULL), m_pnResult(NULL) {
    Enter(pszFunction);
}

CZelTraceScope::CZelTraceScope(const WCHAR* pszFunction, bool* pbResult)
    : m_pszFunction(NULL),
      m_nKind(pbResult != NULL ? RESULT_BOOL : RESULT_NONE),
      m_pbResult(pbResult),
      m_pnResult(NULL) {
    Enter(pszFunction);
}

CZelTraceScope::CZelTraceScope(const WCHAR* pszFunction, int* pnResult)
    : m_pszFunction(NULL),
      m_nKind(pnResult != NULL ? RESULT_INT : RESULT_NONE),
      m_pbResult(NULL),
      m_pnResult(pnResult) {
    Enter(pszFunction);
}

void CZelTraceScope::Enter(const WCHAR* pszFunction) {
    InterlockedIncrement(&g_ZelDebug.m_nTier);
    size_t nSize = wcslen(pszFunction) + 1;
    m_pszFunction = new (std::nothrow) WCHAR[nSize];
    if (m_pszFunction != NULL) {
        ZelSafeCopy(TEXT("..\\Common\\Src\\ZelDebug"), __LINE__, m_pszFunction, nSize, pszFunction);
    }
    // The scopes' lines take no engine: their conversions are texts already.
    g_ZelDebug.PrintTexts(g_ZelDebug.PrintLevel(), TEXT("ENTRY:  %s"), &pszFunction, 1);
}

CZelTraceScope::~CZelTraceScope() {
    if (m_pszFunction == NULL) {
        return;
    }
    WCHAR szNumber[12] = {0};
    const WCHAR* ppszTexts[] = {m_pszFunction, szNumber};
    const WCHAR* pszFormat = TEXT("EXIT:  %s");
    if (m_nKind == RESULT_BOOL && m_pbResult != NULL) {
        pszFormat = TEXT("EXIT:  %s, bReturn=%s");
        ppszTexts[1] = *m_pbResult ? TEXT("true") : TEXT("false");
    } else if (m_nKind == RESULT_INT && m_pnResult != NULL) {
        pszFormat = TEXT("EXIT:  %s, nReturn=%d");
        *PutSigned(szNumber, *m_pnResult) = 0;
    }
    g_ZelDebug.PrintTexts(g_ZelDebug.PrintLevel(), pszFormat, ppszTexts, 2);
    InterlockedDecrement(&g_ZelDebug.m_nTier);
    delete[] m_pszFunction;
    m_pszFunction = NULL;
}
