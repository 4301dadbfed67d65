// Device information sets over the devices the machine's registry lists
// (Machine/Devices/Devices.h). A set holds the devices found when it was made; everything else is
// read from the registry when asked, as Windows reads it from the device's keys.
#include <windows.h>

#include "FaceResult.h"
#include <setupapi.h>

#include "Machine/Devices/Devices.h"
#include "Machine/Faults/Faults.h"
#include "Machine/Machine.h"
#include "Machine/Registry/RegistryStore.h"

#include <cstring>
#include <new>

namespace {

// The device a caller's SP_DEVINFO_DATA names in a set.
DWORD FindDevice(HDEVINFO set, PSP_DEVINFO_DATA data, std::u16string* instanceId) {
    std::shared_ptr<const sim::DeviceInfoSets::Set> devices = sim::DeviceInfoSets::Get().Find(set);
    if (devices == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (data == NULL || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return ERROR_INVALID_PARAMETER;
    }
    size_t index = data->Reserved - 1;
    if (data->Reserved == 0 || index >= devices->devices.size() ||
        devices->devInst[index] != data->DevInst) {
        return ERROR_INVALID_PARAMETER;
    }
    *instanceId = devices->devices[index].instanceId;
    return ERROR_SUCCESS;
}

// The device properties that are values of the device's key.
const char16_t* PropertyValueName(DWORD property) {
    switch (property) {
        case SPDRP_DEVICEDESC:
            return u"DeviceDesc";
        case SPDRP_HARDWAREID:
            return u"HardwareID";
        case SPDRP_COMPATIBLEIDS:
            return u"CompatibleIDs";
        case SPDRP_SERVICE:
            return u"Service";
        case SPDRP_CLASS:
            return u"Class";
        case SPDRP_CLASSGUID:
            return u"ClassGUID";
        case SPDRP_DRIVER:
            return u"Driver";
        case SPDRP_CONFIGFLAGS:
            return u"ConfigFlags";
        case SPDRP_MFG:
            return u"Mfg";
        case SPDRP_FRIENDLYNAME:
            return u"FriendlyName";
        default:
            return nullptr;
    }
}

}  // namespace

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                                     DWORD Flags) {
    UNREFERENCED_PARAMETER(hwndParent);
    DWORD error = ERROR_SUCCESS;
    HDEVINFO set = INVALID_HANDLE_VALUE;
    if (sim::InjectedFault("SetupDiGetClassDevsW", &error)) {
    } else if (Flags & ~(DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE |
                         DIGCF_DEVICEINTERFACE)) {
        error = ERROR_INVALID_FLAGS;
    } else if (Flags & (DIGCF_DEVICEINTERFACE | DIGCF_DEFAULT)) {
        // Device interfaces are not kept in this machine's registry.
        error = ERROR_INVALID_FLAGS;
    } else if (ClassGuid == NULL && !(Flags & DIGCF_ALLCLASSES)) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        // Every device the registry lists is present: the machine keeps no other state of
        // them, so DIGCF_PRESENT and DIGCF_PROFILE leave the set as it is.
        try {
            std::u16string enumerator = Enumerator ? Enumerator : u"";
            const GUID* only = (Flags & DIGCF_ALLCLASSES) ? nullptr : ClassGuid;
            std::vector<sim::DeviceEntry> devices;
            sim::Machine::Get().Registry().Read([&](const sim::RegKey& tree) {
                error = sim::ListDevices(tree, only, enumerator, &devices);
            });
            if (error == ERROR_SUCCESS) {
                set = sim::DeviceInfoSets::Get().Add(std::move(devices));
            }
        } catch (const std::bad_alloc&) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    SetLastError(error);
    return set;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                  PSP_DEVINFO_DATA DeviceInfoData) {
    DWORD error;
    if (sim::InjectedFault("SetupDiEnumDeviceInfo", &error)) {
        return FailWith(error);
    }
    std::shared_ptr<const sim::DeviceInfoSets::Set> set =
        sim::DeviceInfoSets::Get().Find(DeviceInfoSet);
    if (set == nullptr) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (DeviceInfoData == NULL) {
        return FailWith(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return FailWith(ERROR_INVALID_USER_BUFFER);
    }
    if (MemberIndex >= set->devices.size()) {
        return FailWith(ERROR_NO_MORE_ITEMS);
    }
    DeviceInfoData->ClassGuid = set->devices[MemberIndex].classGuid;
    DeviceInfoData->DevInst = set->devInst[MemberIndex];
    DeviceInfoData->Reserved = MemberIndex + 1;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 DWORD Scope, DWORD HwProfile, DWORD KeyType, REGSAM samDesired) {
    UNREFERENCED_PARAMETER(HwProfile);
    DWORD error;
    HKEY key = static_cast<HKEY>(INVALID_HANDLE_VALUE);
    std::u16string instanceId;
    if (sim::InjectedFault("SetupDiOpenDevRegKey", &error)) {
    } else if ((error = FindDevice(DeviceInfoSet, DeviceInfoData, &instanceId)) != 0) {
    } else if (Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) {
        error = ERROR_INVALID_FLAGS;
    } else if (Scope == DICS_FLAG_CONFIGSPECIFIC) {
        // Hardware profiles are not modelled: no configuration-specific key exists.
        error = ERROR_KEY_DOES_NOT_EXIST;
    } else if (KeyType != DIREG_DEV && KeyType != DIREG_DRV) {
        error = ERROR_INVALID_FLAGS;
    } else {
        try {
            std::u16string path;
            bool exists = false;
            sim::Machine::Get().Registry().Read([&](const sim::RegKey& tree) {
                const sim::RegKey* device = sim::DeviceKey(tree, instanceId);
                exists = device != nullptr;
                if (device == nullptr) {
                } else if (KeyType == DIREG_DEV) {
                    path = std::u16string(sim::kEnumPath) + u"\\" + instanceId +
                           u"\\Device Parameters";
                } else {
                    path = sim::DriverKeyPath(*device);
                }
            });
            if (!exists) {
                error = ERROR_NO_SUCH_DEVINST;
            } else if (path.empty()) {
                error = ERROR_KEY_DOES_NOT_EXIST;
            } else {
                error =
                    sim::Machine::Get().Registry().Open(HKEY_LOCAL_MACHINE, path, samDesired, &key);
                if (error == ERROR_FILE_NOT_FOUND) {
                    error = ERROR_KEY_DOES_NOT_EXIST;
                }
                if (error != ERROR_SUCCESS) {
                    key = static_cast<HKEY>(INVALID_HANDLE_VALUE);
                }
            }
        } catch (const std::bad_alloc&) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    SetLastError(error);
    return key;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                        PDWORD RequiredSize) {
    DWORD error;
    std::u16string instanceId;
    if (sim::InjectedFault("SetupDiGetDeviceInstanceIdW", &error)) {
        return FailWith(error);
    }
    try {
        error = FindDevice(DeviceInfoSet, DeviceInfoData, &instanceId);
    } catch (const std::bad_alloc&) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (error != ERROR_SUCCESS) {
        return FailWith(error);
    }
    if (DeviceInstanceId == NULL && DeviceInstanceIdSize != 0) {
        return FailWith(ERROR_INVALID_USER_BUFFER);
    }
    DWORD needed = static_cast<DWORD>(instanceId.size() + 1);
    if (RequiredSize != NULL) {
        *RequiredSize = needed;
    }
    if (DeviceInstanceIdSize < needed) {
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(DeviceInstanceId, instanceId.c_str(), needed * sizeof(WCHAR));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    DWORD error;
    std::u16string instanceId;
    if (sim::InjectedFault("SetupDiGetDeviceRegistryPropertyW", &error)) {
        return FailWith(error);
    }
    sim::RegValue value;
    bool exists = false;
    bool found = false;
    try {
        error = FindDevice(DeviceInfoSet, DeviceInfoData, &instanceId);
        if (error != ERROR_SUCCESS) {
            return FailWith(error);
        }
        if (PropertyBuffer == NULL && PropertyBufferSize != 0) {
            return FailWith(ERROR_INVALID_USER_BUFFER);
        }
        const char16_t* name = PropertyValueName(Property);
        if (name == nullptr) {
            return FailWith(ERROR_INVALID_REG_PROPERTY);
        }
        sim::Machine::Get().Registry().Read([&](const sim::RegKey& tree) {
            const sim::RegKey* device = sim::DeviceKey(tree, instanceId);
            exists = device != nullptr;
            const sim::RegValue* stored = device ? device->Value(name) : nullptr;
            if (stored != nullptr) {
                value = *stored;
                found = true;
            }
        });
    } catch (const std::bad_alloc&) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!exists) {
        return FailWith(ERROR_NO_SUCH_DEVINST);
    }
    if (!found) {
        return FailWith(ERROR_INVALID_DATA);
    }
    DWORD size = static_cast<DWORD>(value.data.size());
    if (PropertyRegDataType != NULL) {
        *PropertyRegDataType = value.type;
    }
    if (RequiredSize != NULL) {
        *RequiredSize = size;
    }
    if (PropertyBufferSize < size) {
        return FailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    if (size != 0) {
        std::memcpy(PropertyBuffer, value.data.data(), size);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    DWORD error;
    if (sim::InjectedFault("SetupDiDestroyDeviceInfoList", &error)) {
        return FailWith(error);
    }
    if (!sim::DeviceInfoSets::Get().Destroy(DeviceInfoSet)) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
