// HyperVMonitor: the monitor that keeps the teaming driver told which VM interfaces sit on each
// adapter team's virtual switch: its life and COM set-up, its snapshot, and the two operations on
// team records, the trace dump and the notification of the driver.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <wbemidl.h>

#include "GenericMonitor.h"
#include "TeamedAdapter.h"
#include "ZelPointerArray.h"

class HyperVMonitor : public GenericMonitor {
public:
    HyperVMonitor();
    virtual ~HyperVMonitor();

    void DumpTeams(CZelPointerArray<TeamedAdapter*>* pTeams);
    bool WriteUpdateToBRX(TeamedAdapter* pTeam);

protected:
    // The process's multithreaded apartment and process-wide security, set up on the thread that
    // builds the monitor (the main thread, before main); the worker uses that apartment.
    bool InitializeCOM();
    bool UninitializeCOM();

    CZelPointerArray<TeamedAdapter*> m_Teams;  // the previous pass's snapshot
    bool m_bCOMInitialized;                    // this object's CoInitializeEx succeeded
    IWbemServices* m_pIWbemService;  // the virtualization namespace; null when not connected
    bool m_bTeamsInitialized;        // every team of a first pass reached the driver
};
