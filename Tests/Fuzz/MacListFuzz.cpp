// The driver's interface list packed from arbitrary VM records. Each record is a length byte,
// that many MAC characters and a 16-bit VLAN (0xFFFF: none). The list must hold the first 260
// records in order, every pair of hexadecimal digits packed as its byte, and nothing past Count.
#include "TeamedAdapter.h"
#include "ZelAdapter.h"
#include "ZelDebug.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

CZelDebug g_ZelDebug;

namespace {

int HexValue(WCHAR c) {
    return c < 128 && std::isxdigit(c) ? std::stoi(std::string(1, char(c)), nullptr, 16) : -1;
}

bool EntryMatches(const VM_INTERFACE_ENTRY& entry, const VirtualMachine& vm) {
    if (entry.InUse != 1 || entry.VlanValid != (vm.m_nVlanID != -1) ||
        entry.VlanId != static_cast<USHORT>(vm.m_nVlanID & 0xFFFF)) {
        return false;
    }
    for (size_t k = 0; k < 6 && 2 * k + 1 < vm.m_strMAC.size(); ++k) {
        int high = HexValue(vm.m_strMAC[2 * k]);
        int low = HexValue(vm.m_strMAC[2 * k + 1]);
        if (high >= 0 && low >= 0 && entry.MacAddress[k] != high * 16 + low) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TeamedAdapter team;
    for (size_t i = 0; i < size;) {
        size_t length = data[i++] % 16;
        auto vm = std::make_unique<VirtualMachine>();
        for (; length > 0 && i < size; --length, ++i) {
            vm->m_strMAC.push_back(data[i] ? data[i] : '0');
        }
        int vlan = i + 1 < size ? data[i] | data[i + 1] << 8 : 0xFFFF;
        vm->m_nVlanID = vlan == 0xFFFF ? -1 : vlan;
        i += 2;
        team.m_VirtualMachines.push_back(vm.release());
    }
    auto list = std::make_unique<VM_INTERFACE_LIST>();
    memset(list.get(), 0xCC, sizeof *list);
    BuildVmInterfaceList(&team, list.get());
    size_t count = team.m_VirtualMachines.size();
    count = count < VM_INTERFACE_LIST_ENTRIES ? count : VM_INTERFACE_LIST_ENTRIES;
    if (list->Marker != 1 || list->Count != count) {
        std::abort();
    }
    static const VM_INTERFACE_ENTRY kEmpty = {};
    for (size_t n = 0; n < VM_INTERFACE_LIST_ENTRIES; ++n) {
        bool ok = n < count ? EntryMatches(list->Entries[n], *team.m_VirtualMachines[n])
                            : memcmp(&list->Entries[n], &kEmpty, sizeof kEmpty) == 0;
        if (!ok) {
            std::abort();
        }
    }
    return 0;
}
