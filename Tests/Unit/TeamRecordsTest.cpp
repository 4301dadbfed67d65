// Team and VM records: equality of teams and their VMs, deep copies, the owning array, and the
// snapshot's trace dump.
#include "TeamedAdapter.h"
#include "VirtualMachine.h"
#include "ZelPointerArray.h"

#include "Support/IdleHyperVMonitor.h"
#include "Support/TraceTest.h"

#include <algorithm>

namespace {

VirtualMachine* NewVM(const WCHAR* name, const WCHAR* mac, int vlan) {
    VirtualMachine* vm = new VirtualMachine;
    vm->m_strSystemName = name;
    vm->m_strMAC = mac;
    vm->m_nVlanID = vlan;
    return vm;
}

TeamedAdapter* NewTeam(const WCHAR* guid, const WCHAR* name) {
    TeamedAdapter* team = new TeamedAdapter;
    team->m_strGUID = guid;
    team->m_strName = name;
    team->m_bBound = true;
    return team;
}

// Each case changes a clone: a clone that shared its VMs with the original would change both.
TEST(TeamedAdapter, EqualityComparesEveryFieldAndTheVMsInOrder) {
    TeamedAdapter* base = NewTeam(
        TEXT("PCI#VEN_8086&DEV_1572#3&1#{ad498944-762f-11d0-8dcb-00c04fc3358c}"), TEXT("Team 1"));
    base->m_VirtualMachines.push_back(NewVM(TEXT("A"), TEXT("00155D000001"), 5));
    base->m_VirtualMachines.push_back(NewVM(TEXT("B"), TEXT("00155D000002"), -1));
    typedef TeamedAdapter& Team;
    struct Case {
        const char* name;
        void (*change)(Team);
    } cases[] = {
        {"same", [](Team) {}},  // the only one equal
        {"same VMs in another order",
         [](Team t) { std::reverse(t.m_VirtualMachines.begin(), t.m_VirtualMachines.end()); }},
        {"a VM's name in other case",
         [](Team t) { t.m_VirtualMachines[0]->m_strSystemName.MakeLower(); }},
        {"a VM's VLAN 0 for none", [](Team t) { t.m_VirtualMachines[1]->m_nVlanID = 0; }},
        {"a VM's other VLAN", [](Team t) { t.m_VirtualMachines[0]->m_nVlanID = 6; }},
        {"a VM's MAC in other case", [](Team t) { t.m_VirtualMachines[0]->m_strMAC.MakeLower(); }},
        {"a VM fewer", [](Team t) { t.m_VirtualMachines.erase(t.m_VirtualMachines.end() - 1); }},
        {"identity in other case", [](Team t) { t.m_strGUID.MakeUpper(); }},
        {"other name", [](Team t) { t.m_strName = TEXT("Team 2"); }},
        {"unbound", [](Team t) { t.m_bBound = false; }},
        {"no VMs", [](Team t) { t.RemoveAllVirtualMachines(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TeamedAdapter* other = TeamedAdapter::Clone(base);
        ASSERT_NE(nullptr, other);
        c.change(*other);
        bool equal = &c == &cases[0];
        EXPECT_EQ(equal, base->IsEqual(other));
        EXPECT_EQ(equal, other->IsEqual(base));
        delete other;
    }
    EXPECT_FALSE(base->IsEqual(NULL));
    EXPECT_FALSE(base->m_VirtualMachines[0]->IsEqual(NULL));
    EXPECT_EQ(nullptr, TeamedAdapter::Clone(NULL));
    EXPECT_EQ(nullptr, VirtualMachine::Clone(NULL));
    EXPECT_EQ(-1, VirtualMachine().m_nVlanID);  // no VLAN
    // Teams without VMs are equal on their other fields alone.
    TeamedAdapter* bare = TeamedAdapter::Clone(base);
    base->RemoveAllVirtualMachines();
    bare->RemoveAllVirtualMachines();
    EXPECT_TRUE(base->IsEqual(bare));
    delete bare;
    delete base;
}

// Erasing a range, a null element in it, deletes what it takes (the leak checker sees the rest).
TEST(CZelPointerArray, ErasingARangeDeletesIt) {
    CZelPointerArray<VirtualMachine*> vms;
    vms.push_back(NewVM(TEXT("A"), TEXT(""), 1));
    vms.push_back(NewVM(TEXT("B"), TEXT(""), 2));
    vms.push_back(NULL);
    vms.erase(vms.begin() + 1, vms.end());
    ASSERT_EQ(1u, vms.size());
    EXPECT_TRUE(vms[0]->m_strSystemName == TEXT("A"));
}

class DumpTeamsTest : public test::TraceTest {};

TEST_F(DumpTeamsTest, WritesEveryTeamAndVM) {
    test::IdleHyperVMonitor monitor;
    CZelPointerArray<TeamedAdapter*> teams;
    TeamedAdapter* first =
        NewTeam(TEXT("ROOT#NET#0001#{ad498944-762f-11d0-8dcb-00c04fc3358c}"), TEXT("Team Alpha"));
    first->m_VirtualMachines.push_back(NewVM(TEXT("Web 01"), TEXT("00155D0A0B0C"), -1));
    teams.push_back(first);
    teams.push_back(NewTeam(TEXT("ROOT#NET#0002"), TEXT("Team Beta")));
    teams[1]->m_VirtualMachines.push_back(NewVM(TEXT("Db"), TEXT("00155d0a0b0d"), 12));
    MarkTrace();
    monitor.DumpTeams(&teams);
    EXPECT_EQ(
        std::vector<std::string>(
            {"--------------------------------", "#0", "Name:         Team Alpha",
             "GUID:         ROOT#NET#0001#{ad498944-762f-11d0-8dcb-00c04fc3358c}",
             "1 Virtual Machine(s):", "System Name:    Web 01", "Internal MAC:   00155D0A0B0C",
             "Vlan ID:        -1", "#1", "Name:         Team Beta", "GUID:         ROOT#NET#0002",
             "1 Virtual Machine(s):", "System Name:    Db", "Internal MAC:   00155d0a0b0d",
             "Vlan ID:        12"}),
        NewMessages());
}

}  // namespace
