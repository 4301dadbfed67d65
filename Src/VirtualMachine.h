// VirtualMachine: one VM network interface on a team's virtual switch, as VM discovery found it.
#pragma once

#include <windows.h>

#include "ZelString.h"

class VirtualMachine {
public:
    VirtualMachine();

    // Name, MAC text (both case-sensitive) and VLAN id all equal.
    bool IsEqual(const VirtualMachine* pOther) const;
    // A new heap copy; null for null.
    static VirtualMachine* Clone(const VirtualMachine* pVirtualMachine);

    CZelString m_strSystemName;
    CZelString m_strMAC;  // as the provider gives it; parsed only for the driver
    int m_nVlanID;        // -1: none
};
