// HyperVMonitor: the monitor that keeps the teaming driver told which VM interfaces sit on each
// adapter team's virtual switch. This is its snapshot and the two operations on team records:
// the trace dump and the notification of the driver.
#pragma once

#include <windows.h>

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
    CZelPointerArray<TeamedAdapter*> m_Teams;  // the previous pass's snapshot
};
