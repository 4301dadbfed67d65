#include "TeamedAdapter.h"

#include <memory>
#include <new>

TeamedAdapter::TeamedAdapter() : m_strGUID(), m_strName(), m_bBound(false), m_VirtualMachines() {
    m_VirtualMachines.RemoveAll();
}

bool TeamedAdapter::IsEqual(const TeamedAdapter* pOther) const {
    if (pOther == NULL) {
        return false;
    }
    if (!(m_strGUID == pOther->m_strGUID)) {
        return false;
    }
    if (!(m_strName == pOther->m_strName) || m_bBound != pOther->m_bBound) {
        return false;
    }
    if (m_VirtualMachines.size() != pOther->m_VirtualMachines.size()) {
        return false;
    }
    for (size_t i = 0; i < m_VirtualMachines.size(); ++i) {
        const VirtualMachine* pMine = m_VirtualMachines[i];
        const VirtualMachine* pTheirs = pOther->m_VirtualMachines[i];
        // A null slot matches only a null slot.
        if (pMine == NULL ? pTheirs != NULL : !pMine->IsEqual(pTheirs)) {
            return false;
        }
    }
    return true;
}

TeamedAdapter* TeamedAdapter::Clone(const TeamedAdapter* pTeam) {
    if (pTeam == NULL) {
        return NULL;
    }
    std::unique_ptr<TeamedAdapter> pCopy(new TeamedAdapter);
    pCopy->m_strGUID = pTeam->m_strGUID;
    pCopy->m_strName = pTeam->m_strName;
    pCopy->m_bBound = pTeam->m_bBound;
    for (size_t i = 0; i < pTeam->m_VirtualMachines.size(); ++i) {
        std::unique_ptr<VirtualMachine> pMachine(
            VirtualMachine::Clone(pTeam->m_VirtualMachines[i]));
        pCopy->m_VirtualMachines.push_back(pMachine.get());
        pMachine.release();
    }
    return pCopy.release();
}

void TeamedAdapter::RemoveAllVirtualMachines() {
    m_VirtualMachines.RemoveAll();
}
