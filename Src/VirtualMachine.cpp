#include "VirtualMachine.h"

#include <memory>
#include <new>

VirtualMachine::VirtualMachine() : m_strSystemName(), m_strMAC(), m_nVlanID(-1) {}

bool VirtualMachine::IsEqual(const VirtualMachine* pOther) const {
    if (pOther == NULL) {
        return false;
    }
    return m_strSystemName == pOther->m_strSystemName && m_strMAC == pOther->m_strMAC &&
           m_nVlanID == pOther->m_nVlanID;
}

VirtualMachine* VirtualMachine::Clone(const VirtualMachine* pVirtualMachine) {
    if (pVirtualMachine == NULL) {
        return NULL;
    }
    std::unique_ptr<VirtualMachine> pCopy(new VirtualMachine);
    pCopy->m_strSystemName = pVirtualMachine->m_strSystemName;
    pCopy->m_strMAC = pVirtualMachine->m_strMAC;
    pCopy->m_nVlanID = pVirtualMachine->m_nVlanID;
    return pCopy.release();
}
