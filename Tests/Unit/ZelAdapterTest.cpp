// Team and VM records (equality, deep copies), the VM interface list
// built from them and the private request around it byte for byte, and the device routines'
// local failures.
#include "TeamedAdapter.h"
#include "VirtualMachine.h"
#include "ZelAdapter.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>

namespace {

typedef std::vector<BYTE> Bytes;

VirtualMachine* NewVM(const WCHAR* name, const WCHAR* mac, int vlan) {
    VirtualMachine* vm = new VirtualMachine;
    vm->m_strSystemName = name;
    vm->m_strMAC = mac;
    vm->m_nVlanID = vlan;
    return vm;
}

void AddVM(TeamedAdapter* team, const WCHAR* mac, int vlan) {
    team->m_VirtualMachines.push_back(NewVM(TEXT("vm"), mac, vlan));
}

// The list built for `team`, with a guard after it that must stay untouched.
Bytes ListOf(const TeamedAdapter& team) {
    static_assert(sizeof(VM_INTERFACE_LIST) == 2608, "list size");
    std::vector<BYTE> room(sizeof(VM_INTERFACE_LIST) + 64, 0xA5);
    BuildVmInterfaceList(&team, reinterpret_cast<VM_INTERFACE_LIST*>(room.data()));
    for (size_t i = sizeof(VM_INTERFACE_LIST); i < room.size(); ++i) {
        EXPECT_EQ(0xA5, room[i]) << "written past the list at " << i;
    }
    return Bytes(room.begin(), room.begin() + sizeof(VM_INTERFACE_LIST));
}

// An empty list of `count` entries as the driver expects it.
Bytes Header(DWORD count) {
    Bytes bytes(2608, 0);
    bytes[0] = 1;
    bytes[4] = static_cast<BYTE>(count & 0xFF);
    bytes[5] = static_cast<BYTE>(count >> 8);
    return bytes;
}

void PutEntry(Bytes* list, size_t slot, const Bytes& entry) {
    ASSERT_EQ(10u, entry.size());
    memcpy(list->data() + 8 + 10 * slot, entry.data(), 10);
}

TEST(VmInterfaceList, EntriesByteForByte) {
    TeamedAdapter team;
    AddVM(&team, TEXT("00155D0A0B0C"), -1);
    AddVM(&team, TEXT("00155d0a0b0c"), 0);
    AddVM(&team, TEXT("0G155DX0FF0C"), 4094);  // pairs that start with no hex digit, "0G" reads 0
    AddVM(&team, TEXT("A1B2C3D4E5"), 70000);   // 10 characters; VLAN id keeps its low 16 bits
    AddVM(&team, TEXT("A1B2C3D4E5F"), -2);     // 11 characters: the lone last digit
    AddVM(&team, TEXT(""), 1);
    AddVM(&team, TEXT("1"), 4095);
    AddVM(&team, TEXT(" F-1+2\x0131z"), 7);   // blanks and signs as strtoul reads them
    AddVM(&team, TEXT("00155D0A0B0C99"), 8);  // characters past twelve are not read

    Bytes expected = Header(9);
    PutEntry(&expected, 0, {0x00, 0x15, 0x5D, 0x0A, 0x0B, 0x0C, 1, 0, 0xFF, 0xFF});
    PutEntry(&expected, 1, {0x00, 0x15, 0x5D, 0x0A, 0x0B, 0x0C, 1, 1, 0x00, 0x00});
    PutEntry(&expected, 2, {0x00, 0x15, 0x5D, 0x00, 0xFF, 0x0C, 1, 1, 0xFE, 0x0F});
    PutEntry(&expected, 3, {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x00, 1, 1, 0x70, 0x11});
    PutEntry(&expected, 4, {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0x0F, 1, 1, 0xFE, 0xFF});
    PutEntry(&expected, 5, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 1, 1, 0x01, 0x00});
    PutEntry(&expected, 6, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 1, 1, 0xFF, 0x0F});
    // " F" 0x0F; "-1" wraps to 0xFF; "+2" 2; U+0131 narrows to '1' then "z" stops: 1.
    PutEntry(&expected, 7, {0x0F, 0xFF, 0x02, 0x01, 0x00, 0x00, 1, 1, 0x07, 0x00});
    PutEntry(&expected, 8, {0x00, 0x15, 0x5D, 0x0A, 0x0B, 0x0C, 1, 1, 0x08, 0x00});
    EXPECT_EQ(expected, ListOf(team));

    // The private request: the OID and eight bytes of zeros before the list.
    BYTE* request = NewPrivateOidRequest(OID_ORVEX_VIRTUAL_MACHINE_INTERFACE_LIST, expected.data(),
                                         static_cast<ULONG>(expected.size()));
    ASSERT_NE(nullptr, request);
    EXPECT_EQ(Bytes({0x01, 0x01, 0x01, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}),
              Bytes(request, request + 12));
    EXPECT_EQ(expected, Bytes(request + 12, request + 12 + expected.size()));
    delete[] request;
}

TEST(VmInterfaceList, CountFromNoneTo261) {
    TeamedAdapter team;
    EXPECT_EQ(Header(0), ListOf(team));

    // Slot i carries the MAC 00000000xxxx with xxxx = i, so each entry shows where it came from.
    for (int i = 0; i < 261; ++i) {
        WCHAR mac[13];
        swprintf_s(mac, 13, TEXT("00000000%04X"), i);
        AddVM(&team, mac, i % 2 == 0 ? -1 : i);
        if (i + 1 != 260 && i + 1 != 261) {
            continue;
        }
        SCOPED_TRACE(i + 1);
        // A team larger than the list sends its first 260 VMs.
        Bytes expected = Header(260);
        for (int slot = 0; slot < 260; ++slot) {
            BYTE vlanValid = slot % 2 == 0 ? 0 : 1;
            BYTE vlanLow = slot % 2 == 0 ? 0xFF : static_cast<BYTE>(slot & 0xFF);
            BYTE vlanHigh = slot % 2 == 0 ? 0xFF : static_cast<BYTE>(slot >> 8);
            PutEntry(&expected, slot,
                     {0, 0, 0, 0, static_cast<BYTE>(slot >> 8), static_cast<BYTE>(slot & 0xFF), 1,
                      vlanValid, vlanLow, vlanHigh});
        }
        EXPECT_EQ(expected, ListOf(team));
    }
}

TEST(DeviceRoutines, LocalFailures) {
    ULONG returned = 7, needed = 7, error = 7;
    BYTE buffer[16] = {0};
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0xC0000001u, DeviceQuerySet(INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE,
                                          OID_ORVEX_VIRTUAL_MACHINE_INTERFACE_LIST, buffer,
                                          sizeof buffer, &returned, &needed, &error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(static_cast<ULONG>(ERROR_INVALID_HANDLE), error);
    EXPECT_EQ(0u, returned);
    EXPECT_EQ(0u, needed);

    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenPrivateDeviceHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(CloseDeviceHandle(INVALID_HANDLE_VALUE));
}

// Each case changes a clone: a clone that shared its VMs with the original would change both.
TEST(TeamedAdapter, EqualityComparesEveryFieldAndTheVMsInOrder) {
    TeamedAdapter* base = new TeamedAdapter;
    base->m_strGUID = TEXT("PCI#VEN_8086&DEV_1572#3&1#{ad498944-762f-11d0-8dcb-00c04fc3358c}");
    base->m_strName = TEXT("Team 1");
    base->m_bBound = true;
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
        // Another VLAN and the identity in other case: through the update pass in
        // TeamDiscovery.ReportsTeamsAsTheyAppearChangeAndVanish.
        {"a VM's MAC in other case", [](Team t) { t.m_VirtualMachines[0]->m_strMAC.MakeLower(); }},
        {"a VM fewer", [](Team t) { t.m_VirtualMachines.erase(t.m_VirtualMachines.end() - 1); }},
        // A null slot matches only a null slot (and the array deletes it as nothing).
        {"a null slot for the last VM",
         [](Team t) {
             t.m_VirtualMachines.erase(t.m_VirtualMachines.end() - 1, t.m_VirtualMachines.end());
             t.m_VirtualMachines.push_back(NULL);
         }},
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

}  // namespace
