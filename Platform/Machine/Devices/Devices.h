// The machine's devices as the registry lists them, the way Windows lays them out:
//
//   HKLM\SYSTEM\CurrentControlSet\Enum\<enumerator>\<device>\<instance>   one key per device,
//       named by its instance identifier, with ClassGUID, Driver ("{class}\NNNN"), Mfg, ...
//   HKLM\SYSTEM\CurrentControlSet\Control\Class\{class}\NNNN             the driver key,
//       for network adapters with NetCfgInstanceId (the adapter's GUID)
//   HKLM\SYSTEM\CurrentControlSet\Services\oBRXProtocol\Parameters\Adapters\{member GUID}
//       the teaming protocol's configuration: MiniportBindingList names the team adapters
//       that sit on that member
//
// The registry is the only store: device information sets and the teaming driver read it
// whenever they are asked, so that a change by another process is seen at the next call.
#pragma once

#include "Machine/Registry/RegFile.h"

#include <guiddef.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

extern const char16_t kEnumPath[];           // below HKEY_LOCAL_MACHINE
extern const char16_t kClassPath[];          // below HKEY_LOCAL_MACHINE
extern const char16_t kTeamAdaptersPath[];   // below HKEY_LOCAL_MACHINE
extern const char16_t kNetClassGuid[];       // "{4d36e972-e325-11ce-bfc1-08002be10318}"
extern const char16_t kNetInterfaceClass[];  // "{AD498944-762F-11D0-8DCB-00C04FC3358C}"

bool ParseGuid(const std::u16string& text, GUID* guid);
std::u16string GuidText(const GUID& guid);  // lower case, in braces, as ClassGUID holds it

struct DeviceEntry {
    std::u16string instanceId;  // as the Enum keys spell it
    GUID classGuid{};
};

// The devices of one setup class (or of every class when `classGuid` is null), from one
// enumerator's tree when `enumerator` is not empty, in the registry's order. Fails with
// ERROR_INVALID_DATA for an enumerator the machine does not have.
DWORD ListDevices(const RegKey& tree, const GUID* classGuid, const std::u16string& enumerator,
                  std::vector<DeviceEntry>* devices);

// The key of a device below the tree's top (null when it is gone), and its driver key's path
// below HKEY_LOCAL_MACHINE (empty when it has no Driver value).
const RegKey* DeviceKey(const RegKey& tree, const std::u16string& instanceId);
std::u16string DriverKeyPath(const RegKey& device);

// A network adapter that the teaming protocol's configuration names in a MiniportBindingList:
// a team adapter, for which the teaming driver makes a device.
struct TeamAdapterDevice {
    std::u16string guid;           // NetCfgInstanceId as stored
    std::u16string instanceId;     // as the Enum keys spell it
    std::u16string interfaceName;  // instance id and network interface class, "\" turned "#"
};
std::vector<TeamAdapterDevice> ListTeamAdapters(const RegKey& tree);

// Device information sets: what SetupDiGetClassDevsW hands out. They are not kernel objects
// (CloseHandle does not take them); the table is process state, made on first use.
class DeviceInfoSets {
public:
    struct Set {
        std::vector<DeviceEntry> devices;
        std::vector<DWORD> devInst;  // each device's node number, one per device
    };

    static DeviceInfoSets& Get();

    void* Add(std::vector<DeviceEntry> devices);
    std::shared_ptr<const Set> Find(void* handle);
    bool Destroy(void* handle);

private:
    DeviceInfoSets() = default;
    DWORD NodeOf(const std::u16string& instanceId);

    std::mutex m_lock;
    std::unordered_map<uintptr_t, std::shared_ptr<const Set>> m_sets;
    std::unordered_map<std::u16string, DWORD> m_nodes;  // by upper-cased instance identifier
    uintptr_t m_next = 0x71000;
};

}  // namespace sim
