// The registry functions. They return their error code and leave the last error alone, as on
// Windows.
#include <windows.h>

#include "Machine/Faults/Faults.h"
#include "Machine/Machine.h"
#include "Machine/Registry/RegistryStore.h"

#include <cstring>

namespace {

sim::RegistryStore& Store() {
    return sim::Machine::Get().Registry();
}

std::u16string NameOf(LPCWSTR name) {
    return name != NULL ? std::u16string(name) : std::u16string();
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

WCHAR UnitAt(const BYTE* data, size_t index) {
    WCHAR unit;
    std::memcpy(&unit, data + index * sizeof(WCHAR), sizeof(WCHAR));
    return unit;
}

// Copies value data out as Windows does: a string stored without its terminator gets one when
// the buffer has room for it.
void CopyData(const std::vector<BYTE>& data, DWORD type, LPBYTE out, DWORD room) {
    if (!data.empty()) {
        std::memcpy(out, data.data(), data.size());
    }
    size_t size = data.size();
    if (IsStringType(type) && size >= sizeof(WCHAR) && size + sizeof(WCHAR) <= room &&
        (out[size - 2] != 0 || out[size - 1] != 0)) {
        out[size] = 0;
        out[size + 1] = 0;
    }
}

// The data of a value into the caller's buffer, with its size: ERROR_MORE_DATA and the size
// needed when it does not fit.
LONG ReturnData(const sim::RegValue& value, LPBYTE lpData, LPDWORD lpcbData) {
    DWORD size = static_cast<DWORD>(value.data.size());
    if (lpData != NULL) {
        if (size > *lpcbData) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        CopyData(value.data, value.type, lpData, *lpcbData);
    }
    if (lpcbData != NULL) {
        *lpcbData = size;
    }
    return ERROR_SUCCESS;
}

// Windows refuses a data pointer in the first 64 KB, where nothing is ever mapped.
bool BadPointer(const void* data) {
    return data != NULL && reinterpret_cast<uintptr_t>(data) < 0x10000;
}

}  // namespace

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
    UNREFERENCED_PARAMETER(ulOptions);
    DWORD error;
    if (phkResult == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = NULL;
    if (sim::InjectedFault("RegOpenKeyExW", &error)) {
        return static_cast<LONG>(error);
    }
    if (hKey == NULL) {
        return ERROR_INVALID_HANDLE;
    }
    return static_cast<LONG>(Store().Open(hKey, NameOf(lpSubKey), samDesired, phkResult));
}

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
    // The machine keeps no key classes and no security descriptors.
    UNREFERENCED_PARAMETER(Reserved);
    UNREFERENCED_PARAMETER(lpClass);
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    DWORD error;
    if (phkResult == NULL) {
        return ERROR_BADKEY;
    }
    *phkResult = NULL;
    if (sim::InjectedFault("RegCreateKeyExW", &error)) {
        return static_cast<LONG>(error);
    }
    if (hKey == NULL) {
        return ERROR_INVALID_HANDLE;
    }
    // Symbolic links are not modelled: REG_OPTION_CREATE_LINK is refused with the unknown bits.
    if (dwOptions & ~(REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK)) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD disposition = 0;
    error = Store().Create(hKey, NameOf(lpSubKey), dwOptions, samDesired, phkResult, &disposition);
    if (error == ERROR_SUCCESS && lpdwDisposition != NULL) {
        *lpdwDisposition = disposition;
    }
    return static_cast<LONG>(error);
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    DWORD error;
    if (sim::InjectedFault("RegCloseKey", &error)) {
        return static_cast<LONG>(error);
    }
    if (hKey == NULL) {
        return ERROR_INVALID_HANDLE;
    }
    return static_cast<LONG>(Store().Close(hKey));
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    DWORD error;
    if (sim::InjectedFault("RegQueryValueExW", &error)) {
        return static_cast<LONG>(error);
    }
    if ((lpData != NULL && lpcbData == NULL) || lpReserved != NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    sim::RegValue value;
    error = Store().QueryValue(hKey, NameOf(lpValueName), &value);
    if (error == ERROR_FILE_NOT_FOUND && lpData == NULL && lpcbData != NULL) {
        *lpcbData = 0;
    }
    if (error != ERROR_SUCCESS) {
        return static_cast<LONG>(error);
    }
    if (lpType != NULL) {
        *lpType = value.type;
    }
    return ReturnData(value, lpData, lpcbData);
}

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
    UNREFERENCED_PARAMETER(Reserved);
    DWORD error;
    if (sim::InjectedFault("RegSetValueExW", &error)) {
        return static_cast<LONG>(error);
    }
    if ((lpData == NULL && cbData != 0) || BadPointer(lpData)) {
        return ERROR_NOACCESS;
    }
    size_t size = cbData;
    // A string whose size leaves out its terminator, when one follows, keeps it: Windows looks
    // one character past the size given.
    if (lpData != NULL && IsStringType(dwType) && size >= sizeof(WCHAR)) {
        size_t last = size / sizeof(WCHAR) - 1;
        if (UnitAt(lpData, last) != 0 && UnitAt(lpData, last + 1) == 0) {
            size += sizeof(WCHAR);
        }
    }
    sim::RegValue value;
    value.name = NameOf(lpValueName);
    value.type = dwType;
    if (size != 0) {
        value.data.assign(lpData, lpData + size);
    }
    return static_cast<LONG>(Store().SetValue(hKey, std::move(value)));
}

LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    DWORD error;
    if (sim::InjectedFault("RegDeleteValueW", &error)) {
        return static_cast<LONG>(error);
    }
    return static_cast<LONG>(Store().DeleteValue(hKey, NameOf(lpValueName)));
}

LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    DWORD error;
    if (sim::InjectedFault("RegDeleteKeyW", &error)) {
        return static_cast<LONG>(error);
    }
    if (lpSubKey == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    return static_cast<LONG>(Store().DeleteKey(hKey, lpSubKey));
}

// samDesired names the view to delete from; the rest of it is not checked, as on Windows.
LONG WINAPI RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved) {
    UNREFERENCED_PARAMETER(Reserved);
    DWORD error;
    if (sim::InjectedFault("RegDeleteKeyExW", &error)) {
        return static_cast<LONG>(error);
    }
    if (lpSubKey == NULL) {
        return ERROR_INVALID_PARAMETER;
    }
    return static_cast<LONG>(Store().DeleteKey(hKey, lpSubKey, samDesired & KEY_WOW64_RES));
}

LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime) {
    DWORD error;
    if (sim::InjectedFault("RegEnumKeyExW", &error)) {
        return static_cast<LONG>(error);
    }
    if (lpName == NULL || lpcchName == NULL || lpReserved != NULL ||
        (lpClass != NULL && lpcchClass == NULL)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::u16string name;
    FILETIME lastWrite;
    error = Store().EnumKey(hKey, dwIndex, &name, &lastWrite);
    if (error != ERROR_SUCCESS) {
        return static_cast<LONG>(error);
    }
    // Nothing is written unless the name and the (empty) class fit with their terminators.
    if (name.size() >= *lpcchName || (lpClass != NULL && *lpcchClass == 0)) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass != NULL) {
        lpClass[0] = 0;
    }
    if (lpcchClass != NULL) {
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime != NULL) {
        *lpftLastWriteTime = lastWrite;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    DWORD error;
    if (sim::InjectedFault("RegEnumValueW", &error)) {
        return static_cast<LONG>(error);
    }
    if (lpValueName == NULL || lpcchValueName == NULL || lpReserved != NULL ||
        (lpData != NULL && lpcbData == NULL)) {
        return ERROR_INVALID_PARAMETER;
    }
    sim::RegValue value;
    error = Store().EnumValue(hKey, dwIndex, &value);
    if (error != ERROR_SUCCESS) {
        return static_cast<LONG>(error);
    }
    if (lpType != NULL) {
        *lpType = value.type;
    }
    // A name that does not fit leaves name and data untouched but still tells the data's size.
    if (value.name.size() >= *lpcchValueName) {
        if (lpcbData != NULL) {
            *lpcbData = static_cast<DWORD>(value.data.size());
        }
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpValueName, value.name.c_str(), (value.name.size() + 1) * sizeof(WCHAR));
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    return ReturnData(value, lpData, lpcbData);
}

LONG WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                             LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                             LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime) {
    DWORD error;
    if (sim::InjectedFault("RegQueryInfoKeyW", &error)) {
        return static_cast<LONG>(error);
    }
    if (lpReserved != NULL || (lpClass != NULL && lpcchClass == NULL)) {
        return ERROR_INVALID_PARAMETER;
    }
    sim::RegistryStore::KeyInfo info;
    error = Store().QueryInfo(hKey, &info);
    if (error != ERROR_SUCCESS) {
        return static_cast<LONG>(error);
    }
    // Keys have no class and no security descriptor of their own here: both are empty.
    if (lpClass != NULL && *lpcchClass != 0) {
        lpClass[0] = 0;
    }
    DWORD* outputs[] = {lpcchClass, lpcSubKeys,          lpcbMaxSubKeyLen, lpcbMaxClassLen,
                        lpcValues,  lpcbMaxValueNameLen, lpcbMaxValueLen,  lpcbSecurityDescriptor};
    DWORD values[] = {0,
                      info.subKeys,
                      info.maxSubKeyLength,
                      0,
                      info.values,
                      info.maxValueNameLength,
                      info.maxValueSize,
                      0};
    for (size_t i = 0; i < sizeof(values) / sizeof(values[0]); ++i) {
        if (outputs[i] != NULL) {
            *outputs[i] = values[i];
        }
    }
    if (lpftLastWriteTime != NULL) {
        *lpftLastWriteTime = info.lastWrite;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegFlushKey(HKEY hKey) {
    DWORD error;
    if (sim::InjectedFault("RegFlushKey", &error)) {
        return static_cast<LONG>(error);
    }
    return static_cast<LONG>(Store().Flush(hKey));
}
