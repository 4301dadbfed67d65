// TarvikMonitor: the executable's entry and service host, and its installation and removal.
//
// Run by the service control manager without arguments, main hands its thread to the dispatcher;
// RunService starts the monitors and the control handler stops them. Run with "-i" or "-u" by an
// administrator, it registers (InstallService) or stops and removes (MarkServiceForDelete) the
// service. Every way through main returns 0.
//
// The three monitors and the trace object are static objects of TarvikMonitor.cpp, which builds
// g_ZelDebug first and destroys it last.
#pragma once

#include <windows.h>

#include "HyperVMonitor.h"
#include "InstallerUpdates.h"
#include "TarvikWarnings.h"
#include "ZelString.h"

#define TARVIK_SERVICE_NAME TEXT("Orvex(R) Tarvik Monitoring Service")

extern HyperVMonitor g_HyperVMonitor;
extern InstallerUpdates g_InstallerUpdates;
extern TarvikWarnings g_TarvikWarnings;

// Service entry and lifecycle -------------------------------------------------------------------

void WINAPI RunService(DWORD dwArgc, LPWSTR* lpszArgv);
// Only the control code is used; every control returns NO_ERROR. Stop, shutdown and pre-shutdown
// complete the whole stop (or give up on it) before the handler returns.
DWORD WINAPI ServiceCtrlHandler(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData,
                                LPVOID lpContext);
// Reports `dwCurrentState` with a new checkpoint for a pending state, checkpoint 0 otherwise.
void ReportStatus(DWORD dwCurrentState);
bool StartMonitors();
// Asks the Hyper-V and upgrade monitors to stop and waits 30 to 31 seconds at most.
bool StopMonitors();
void DisableCaching();
void InitializeTrace();

// Installation and removal ----------------------------------------------------------------------

// True when installed now or already present (an existing registration is left unchanged).
bool InstallService();
// Stops the installed service and deletes it; false leaves it registered.
bool MarkServiceForDelete();
// Both handles are set to null first; on failure the manager handle may be left open for the
// caller to close with DisposeHandlesForService.
bool GetHandleToService(SC_HANDLE& hSCManager, SC_HANDLE& hService);
// Closes whichever handle is not null; the handles themselves are not reset.
bool DisposeHandlesForService(SC_HANDLE& hSCManager, SC_HANDLE& hService);
// With bStartService false, sends the stop control unless the service is stopped or stopping;
// true when the service is (or, by the control's return, has become) stopped.
bool WaitOnStatus(SC_HANDLE hService, bool bStartService);
// String 101 of this module in the process's user-interface language; a missing string gives an
// empty description and still true.
bool GetServiceDescription(CZelString& strDescription);
