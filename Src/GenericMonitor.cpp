#include "GenericMonitor.h"

#include "ZelDebug.h"
#include "ZelRegKey.h"
#include "ZelScopedHandle.h"

namespace {

const WCHAR kServiceKey[] = TEXT("SOFTWARE\\Orvex\\Zuzuvoz_Orodavov\\TALM\\Service\\");
const int kStopWaitSeconds = 60;
const DWORD kPollMs = 100;

}  // namespace

DWORD SecondsSince(DWORD dwStartTicks) {
    ULONGLONG ullElapsed = static_cast<DWORD>(GetTickCount() - dwStartTicks);
    return static_cast<DWORD>((dwStartTicks % 1000 + ullElapsed) / 1000);
}

DWORD WINAPI GenericMonitor::StopperThreadProc(LPVOID pParameter) {
    GenericMonitor* pMonitor = static_cast<GenericMonitor*>(pParameter);
    if (pMonitor == NULL) {
        return 1;
    }
    pMonitor->WaitForStop();
    // The last touch of the object: once the count is down, the destructor may go on.
    EnterCriticalSection(&pMonitor->m_csState);
    --pMonitor->m_nStoppers;
    LeaveCriticalSection(&pMonitor->m_csState);
    return 0;
}

GenericMonitor::GenericMonitor()
    : m_dwState(MONITOR_STOPPED), m_dwDefaultTimeout(10), m_strTimeoutValueName(), m_nStoppers(0) {
    InitializeCriticalSection(&m_csState);
}

GenericMonitor::~GenericMonitor() {
    // A stopper gives up after 60 to 61 seconds; one more second covers its last steps.
    DWORD dwStart = GetTickCount();
    while (SecondsSince(dwStart) <= kStopWaitSeconds + 1) {
        EnterCriticalSection(&m_csState);
        LONG nStoppers = m_nStoppers;
        LeaveCriticalSection(&m_csState);
        if (nStoppers == 0) {
            break;
        }
        Sleep(kPollMs);
    }
    DeleteCriticalSection(&m_csState);
}

bool GenericMonitor::SpawnWorker(LPTHREAD_START_ROUTINE pfnThreadProc, const WCHAR* pszExitLine) {
    CZelKernelHandle hThread(CreateThread(NULL, 0, pfnThreadProc, this, 0, NULL));
    DWORD dwError = GetLastError();
    bool bCreated = static_cast<bool>(hThread);
    if (!bCreated) {
        DebugTrace(TEXT("ERROR:  Unable to  spawn the thread - error=%d"), dwError);
    } else {
        DebugTrace(TEXT("Successfully created the thread"));
        hThread.Reset();  // the worker is never joined by handle
    }
    DebugTrace(TEXT("%s"), pszExitLine);
    SetLastError(dwError);
    return bCreated;
}

void GenericMonitor::SetState(DWORD dwState) {
    EnterCriticalSection(&m_csState);
    m_dwState = dwState;
    LeaveCriticalSection(&m_csState);
}

DWORD GenericMonitor::GetState() {
    EnterCriticalSection(&m_csState);
    DWORD dwState = m_dwState;
    LeaveCriticalSection(&m_csState);
    return dwState;
}

bool GenericMonitor::StartMonitor() {
    DebugTrace(TEXT("Entering GenericMonitor::StartMonitor()"));
    bool bSuccess = true;
    // Running before the worker exists: a worker that ends at once leaves it stopped.
    SetState(MONITOR_RUNNING);
    if (SpawnThread()) {
        DebugTrace(TEXT("Successfully created the thread"));
    } else {
        DebugTrace(TEXT("ERROR:  Unable to create the thread - error=%d"), GetLastError());
        SetState(MONITOR_STOPPED);
        bSuccess = false;
    }
    DebugTrace(TEXT("Exiting GenericMonitor::StartMonitor() - bSuccess=%d"), bSuccess);
    return bSuccess;
}

bool GenericMonitor::StopMonitor() {
    DebugTrace(TEXT("Entering GenericMonitor::StopMonitor()"));
    EnterCriticalSection(&m_csState);
    CZelKernelHandle hThread(CreateThread(NULL, 0, StopperThreadProc, this, 0, NULL));
    DWORD dwError = GetLastError();
    bool bSuccess = static_cast<bool>(hThread);
    if (bSuccess) {
        ++m_nStoppers;
    }
    LeaveCriticalSection(&m_csState);
    if (bSuccess) {
        DebugTrace(TEXT("Successfully created the thread"));
        hThread.Reset();
    } else {
        DebugTrace(TEXT("ERROR:  Unable to create the thread - error=%d"), dwError);
    }
    DebugTrace(TEXT("Exiting GenericMonitor::StopMonitor() - bSuccess=%d"), bSuccess);
    return bSuccess;
}

bool GenericMonitor::IsRunning() {
    DebugTrace(TEXT("Entering GenericMonitor::StopMonitor()"));
    DWORD dwState = GetState();
    DebugTrace(TEXT("Exiting GenericMonitor::StopMonitor() - bRunning = %d"), dwState);
    return dwState != MONITOR_STOPPED;
}

bool GenericMonitor::WaitForStop() {
    DebugTrace(TEXT("Entering GenericMonitor::StopMonitor()"));
    bool bStopped = false;
    // Read and request in one step: a worker that stops in between must not be asked again.
    EnterCriticalSection(&m_csState);
    if (m_dwState == MONITOR_STOPPED) {
        bStopped = true;
    } else {
        m_dwState = MONITOR_STOP_REQUESTED;
    }
    LeaveCriticalSection(&m_csState);
    if (!bStopped) {
        DWORD dwStart = GetTickCount();
        while (SecondsSince(dwStart) <= kStopWaitSeconds) {
            if (GetState() == MONITOR_STOPPED) {
                DebugTrace(TEXT("Successfully stopped the process"));
                bStopped = true;
                break;
            }
            Sleep(kPollMs);
        }
    }
    DebugTrace(TEXT("Exiting GenericMonitor::StopMonitor() - Stopped=%d"), bStopped);
    return bStopped;
}

bool GenericMonitor::CheckForStopCommand(int nSeconds) {
    DebugTrace(TEXT("Entering GenericMonitor::CheckForStopCommand() for %d seconds"), nSeconds);
    DWORD dwState = GetState();
    bool bStop = false;
    if (nSeconds <= 0) {
        bStop = dwState == MONITOR_STOP_REQUESTED;
    } else {
        DWORD dwStart = GetTickCount();
        while (SecondsSince(dwStart) <= static_cast<DWORD>(nSeconds)) {
            if (dwState == MONITOR_STOP_REQUESTED) {
                DebugTrace(TEXT("Found STOP command"));
                bStop = true;
                break;
            }
            Sleep(kPollMs);
            dwState = GetState();
        }
    }
    DebugTrace(TEXT("Exiting GenericMonitor::CheckForStopCommand()"));
    return bStop;
}

DWORD GenericMonitor::GetTimeout() {
    DebugTrace(TEXT("Entering GenericMonitor::GetTimeout()"));
    DWORD dwTimeout = m_dwDefaultTimeout;
    if (!m_strTimeoutValueName.empty()) {
        CZelRegKey key;
        if (!key.Open(HKEY_LOCAL_MACHINE, kServiceKey, false)) {
            DebugTrace(TEXT("ERROR:  Unable to open Service key!"));
        } else {
            DWORD dwValue = 0;
            if (key.GetValue(m_strTimeoutValueName, dwValue) && static_cast<LONG>(dwValue) >= 0) {
                dwTimeout = dwValue;
            }
            key.Close();
        }
    }
    DebugTrace(TEXT("Exiting GenericMonitor::GetTimeout - timeout=%d"), dwTimeout);
    return dwTimeout;
}
