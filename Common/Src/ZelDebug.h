// The trace facility: one CZelDebug object per process (g_ZelDebug), DebugTrace for the service's
// lines, CZelDebug::Error for hard failures with their source position, and CZelTraceScope for
// the entry and exit lines of support-library functions.
#pragma once

#include <windows.h>

#include <stdio.h>

// Trace levels.
#define ZEL_TRACE_OFF 0
#define ZEL_TRACE_ALL 1
#define ZEL_TRACE_ERRORS 2
#define ZEL_TRACE_ALL_FIXED 3
#define ZEL_TRACE_DEBUGGER 4

__declspec(dllexport) void DebugTrace(const WCHAR* pszFormat, ...);

class __declspec(dllexport) CZelDebug {
public:
    CZelDebug();
    virtual ~CZelDebug();

    int Configure(const WCHAR* pszModuleName, const WCHAR* pszFileName, DWORD dwLevel, int nAppend,
                  DWORD dwMaxSize);
    void Print(const WCHAR* pszFormat, ...);
    void Error(const WCHAR* pszSourceFile, int nLine, const WCHAR* pszFormat, ...);
    DWORD GetCurrentLogLevel();
    bool IsConfigured();

private:
    friend class CZelTraceScope;
    friend void DebugTrace(const WCHAR* pszFormat, ...);

    CZelDebug(const CZelDebug&);
    CZelDebug& operator=(const CZelDebug&);

    // The level at which Print writes lines now; ZEL_TRACE_OFF when it writes none. A line reads
    // it once: each read is a locked instruction.
    LONG PrintLevel();
    void PrintLocked(LONG nLevel, const WCHAR* pszFormat, va_list args);
    // Print, at PrintLevel's `nLevel`, of a format whose every conversion is "%s" or "%d", each
    // given as its text (none null), in order: written without the formatting engine.
    void PrintTexts(LONG nLevel, const WCHAR* pszFormat, const WCHAR* const* ppszTexts,
                    size_t nTexts);
    void PrintTextsLocked(LONG nLevel, const WCHAR* pszFormat, const WCHAR* const* ppszTexts,
                          size_t nTexts);
    // Starts a line with its header; the header's length, or -1 when no line is to be written.
    int BeginLineLocked();
    void EndLineLocked(LONG nLevel, int nHeader, int nMessage);
    void BuildPath(const WCHAR* pszModuleName, const WCHAR* pszFileName, WCHAR (&szPath)[1024]);

    // The nesting depth every line shows; scope objects on every thread change it without the
    // lock, so the depth shown with several threads inside traced functions is approximate.
    volatile LONG m_nTier;
    WCHAR* m_pszModuleName;
    FILE* m_pFile;
    CRITICAL_SECTION* m_pLock;
    CRITICAL_SECTION m_CriticalSection;
    bool m_bConfigured;
    // Error raises the level for the length of one line while other threads read it unlocked.
    volatile LONG m_dwLevel;
    DWORD m_dwMaxSize;
};

extern __declspec(dllexport) CZelDebug g_ZelDebug;

class __declspec(dllexport) CZelTraceScope {
public:
    explicit CZelTraceScope(const WCHAR* pszFunction);
    CZelTraceScope(const WCHAR* pszFunction, bool* pbResult);
    CZelTraceScope(const WCHAR* pszFunction, int* pnResult);
    ~CZelTraceScope();

private:
    enum ResultKind { RESULT_NONE = 0, RESULT_BOOL = 1, RESULT_INT = 2 };

    CZelTraceScope(const CZelTraceScope&);
    CZelTraceScope& operator=(const CZelTraceScope&);

    void Enter(const WCHAR* pszFunction);

    WCHAR* m_pszFunction;
    int m_nKind;
    bool* m_pbResult;
    int* m_pnResult;
};
