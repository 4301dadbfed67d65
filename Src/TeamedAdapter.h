// TeamedAdapter: one adapter of the teaming driver bound to a Hyper-V external port, with the
// VMs on that port's switch. m_strGUID holds the adapter's GUID while discovery examines it and
// its network device interface name once accepted; traces still call it GUID.
#pragma once

#include <windows.h>

#include "VirtualMachine.h"
#include "ZelPointerArray.h"
#include "ZelString.h"

class TeamedAdapter {
public:
    TeamedAdapter();

    // Identity, name and bound flag equal, and the same VMs in the same order; identity and names
    // compare with case.
    bool IsEqual(const TeamedAdapter* pOther) const;
    // A new heap copy with copies of the VMs; null for null.
    static TeamedAdapter* Clone(const TeamedAdapter* pTeam);
    void RemoveAllVirtualMachines();

    CZelString m_strGUID;
    CZelString m_strName;
    bool m_bBound;
    CZelPointerArray<VirtualMachine*> m_VirtualMachines;  // in discovery order; owned
};
