// GenericMonitor: the base of every monitor. It owns the monitor's run state and the lock that
// guards it, starts the worker through the derived class's SpawnThread, and gives the workers a
// stop-aware pause and a time-out that the registry can override.
//
// The state is the only link between the object and its worker: no thread handle is kept. A
// derived DoMonitor sets the state to running when it begins and to stopped on every way out
// (SetState), and between cycles leaves as soon as CheckForStopCommand returns true.
#pragma once

#include <windows.h>

#include "ZelString.h"

// Run states.
#define MONITOR_STOPPED 0
#define MONITOR_RUNNING 1
#define MONITOR_STOP_REQUESTED 2

// Whole seconds of the tick counter passed since dwStartTicks: the seconds boundaries crossed, as
// GetTickCount() / 1000 - dwStartTicks / 1000 counts them, but taken from the unsigned difference
// so that the counter's wrap after 49.7 days does not end a wait early. Every wait of the monitors
// and of the service's stop counts time this way.
DWORD SecondsSince(DWORD dwStartTicks);

class GenericMonitor {
public:
    GenericMonitor();
    virtual ~GenericMonitor();

    // Creates the worker thread, closes its handle and reports whether it was created.
    virtual bool SpawnThread() = 0;

    bool StartMonitor();
    // Asks for a stop on a thread of its own and returns without waiting.
    bool StopMonitor();
    bool IsRunning();
    // Asks for a stop and waits 60 to 61 seconds at most; true once the worker has stopped.
    bool WaitForStop();
    // With nSeconds <= 0 a poll; otherwise pauses nSeconds to nSeconds + 1 seconds unless a stop
    // is requested first. True when a stop was requested.
    bool CheckForStopCommand(int nSeconds);
    DWORD GetTimeout();

protected:
    // For SpawnThread: a worker running pfnThreadProc with this monitor as its parameter, left
    // to run detached. The outcome is traced, then pszExitLine; a failure's code stays the last
    // error, for StartMonitor to report.
    bool SpawnWorker(LPTHREAD_START_ROUTINE pfnThreadProc, const WCHAR* pszExitLine);

    void SetState(DWORD dwState);
    DWORD GetState();

    DWORD m_dwState;
    CRITICAL_SECTION m_csState;
    DWORD m_dwDefaultTimeout;
    CZelString m_strTimeoutValueName;

private:
    static DWORD WINAPI StopperThreadProc(LPVOID pParameter);

    // Stopper threads that may still touch this object; the destructor waits for them, since at
    // process exit a stopper can outlive the stop that started it. Guarded by m_csState.
    LONG m_nStoppers;

    GenericMonitor(const GenericMonitor&);
    GenericMonitor& operator=(const GenericMonitor&);
};
