#include "ZelAdapter.h"

#include <ntddndis.h>

#include "ZelDebug.h"
#include "ZelSecure.h"

#include <stdlib.h>
#include <string.h>

#include <new>

namespace {

const WCHAR kSourceFile[] = TEXT("Src\\ZelAdapter");
const DWORD kGeneralFailure = ERROR_GEN_FAILURE;
const size_t kPrivateNameBytes = 256;
const char kDevicePrefix[] = "\\\\.\\";
const size_t kDevicePrefixLength = 4;

// Byte k of a MAC text comes from its characters 2k and 2k + 1, each narrowed to its low byte and
// read by strtoul in base 16. A text shorter than 12 characters gives 0 for every pair that
// starts past its end, and the lone last digit's value for a pair cut in half.
BYTE MacByte(const CZelString& strMAC, size_t nPair) {
    char szPair[3] = {0, 0, 0};
    for (size_t i = 0; i < 2; ++i) {
        size_t nIndex = 2 * nPair + i;
        if (nIndex >= strMAC.size()) {
            break;
        }
        szPair[i] = static_cast<char>(strMAC[nIndex] & 0xFF);
    }
    return static_cast<BYTE>(strtoul(szPair, NULL, 16) & 0xFF);
}

}  // namespace

void BuildVmInterfaceList(const TeamedAdapter* pTeam, VM_INTERFACE_LIST* pList) {
    memset(pList, 0, sizeof *pList);
    pList->Marker = 1;
    size_t nCount = pTeam->m_VirtualMachines.size();
    // The list has room for 260 entries: a larger team sends its first 260 and says so in Count,
    // which keeps the driver's view of those VMs right rather than leaving it stale.
    if (nCount > VM_INTERFACE_LIST_ENTRIES) {
        DebugTrace(TEXT("WARNING:  Only the first %d of %d virtual machines fit the list"),
                   VM_INTERFACE_LIST_ENTRIES, static_cast<int>(nCount));
        nCount = VM_INTERFACE_LIST_ENTRIES;
    }
    pList->Count = static_cast<ULONG>(nCount);
    for (size_t i = 0; i < nCount; ++i) {
        VM_INTERFACE_ENTRY& entry = pList->Entries[i];
        const VirtualMachine* pVirtualMachine = pTeam->m_VirtualMachines[i];
        entry.InUse = 1;
        if (pVirtualMachine == NULL) {
            entry.VlanId = 0xFFFF;
            continue;
        }
        entry.VlanValid = pVirtualMachine->m_nVlanID != -1 ? 1 : 0;
        entry.VlanId = static_cast<USHORT>(pVirtualMachine->m_nVlanID & 0xFFFF);
        for (size_t k = 0; k < sizeof entry.MacAddress; ++k) {
            entry.MacAddress[k] = MacByte(pVirtualMachine->m_strMAC, k);
        }
    }
}

BYTE* NewPrivateOidRequest(ULONG ulOid, const void* pData, ULONG ulLength) {
    BYTE* pRequest = new (std::nothrow) BYTE[PRIVATE_OID_REQUEST_HEADER_SIZE + ulLength];
    if (pRequest == NULL) {
        return NULL;
    }
    memset(pRequest, 0, PRIVATE_OID_REQUEST_HEADER_SIZE);
    memcpy(pRequest, &ulOid, sizeof ulOid);
    if (ulLength != 0) {
        memcpy(pRequest + PRIVATE_OID_REQUEST_HEADER_SIZE, pData, ulLength);
    }
    return pRequest;
}

ULONG DeviceQuerySet(HANDLE hDevice, HANDLE hPrivateDevice, ULONG ulOid, void* pBuffer,
                     ULONG ulLength, ULONG* pulBytesReturned, ULONG* pulBytesNeeded,
                     ULONG* pulError) {
    *pulBytesReturned = 0;
    *pulBytesNeeded = 0;
    *pulError = 0;
    if (hDevice == INVALID_HANDLE_VALUE && hPrivateDevice == INVALID_HANDLE_VALUE) {
        *pulError = ERROR_INVALID_HANDLE;
        SetLastError(*pulError);
        return ORVEX_NDIS_STATUS_FAILURE;
    }
    ULONG ulStatus = ORVEX_NDIS_STATUS_SUCCESS;
    if (ulOid < OID_ORVEX_PRIVATE_FIRST || hPrivateDevice == INVALID_HANDLE_VALUE) {
        DWORD dwReturned = 0;
        if (!DeviceIoControl(hDevice, IOCTL_NDIS_QUERY_GLOBAL_STATS, &ulOid, sizeof ulOid, pBuffer,
                             ulLength, &dwReturned, NULL)) {
            *pulError = GetLastError();
            ulStatus = ORVEX_NDIS_STATUS_FAILURE;
        }
        *pulBytesReturned = dwReturned;
        SetLastError(*pulError);
        return ulStatus;
    }

    DWORD dwRequestSize = PRIVATE_OID_REQUEST_HEADER_SIZE + ulLength;
    BYTE* pRequest = NewPrivateOidRequest(ulOid, pBuffer, ulLength);
    if (pRequest == NULL) {
        *pulError = ERROR_NOT_ENOUGH_MEMORY;
        SetLastError(*pulError);
        return ORVEX_NDIS_STATUS_FAILURE;
    }
    DWORD dwReturned = 0;
    if (!DeviceIoControl(hPrivateDevice, IOCTL_PRIVATE_OID_REQUEST, pRequest, dwRequestSize,
                         pRequest, dwRequestSize, &dwReturned, NULL)) {
        *pulError = GetLastError();
        ulStatus = ORVEX_NDIS_STATUS_FAILURE;
    } else {
        PRIVATE_OID_REQUEST* pAnswer = reinterpret_cast<PRIVATE_OID_REQUEST*>(pRequest);
        ulStatus = pAnswer->Status;
        if (ulStatus != ORVEX_NDIS_STATUS_SUCCESS) {
            *pulError = ulStatus == ORVEX_NDIS_STATUS_NOT_SUPPORTED ? ERROR_NOT_SUPPORTED
                                                                    : ERROR_GEN_FAILURE;
            *pulBytesNeeded = pAnswer->Length;
        }
        // Never more than the caller's buffer, whatever Length the driver claims.
        ULONG ulCopy = pAnswer->Length < ulLength ? pAnswer->Length : ulLength;
        *pulBytesReturned = ulCopy;
        if (ulCopy != 0) {
            memcpy(pBuffer, pRequest + PRIVATE_OID_REQUEST_HEADER_SIZE, ulCopy);
        }
    }
    delete[] pRequest;
    SetLastError(*pulError);
    return ulStatus;
}

HANDLE OpenPrivateDeviceHandle(HANDLE hDevice) {
    if (hDevice == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    // One byte beyond the answer's room stays zero, so a name that fills it still ends.
    char szName[kPrivateNameBytes + 1];
    memset(szName, 0, sizeof szName);
    memcpy(szName, kDevicePrefix, kDevicePrefixLength);
    ULONG ulOid = OID_ORVEX_PRIVATE_DEVICE_NAME;
    DWORD dwReturned = 0;
    if (!DeviceIoControl(hDevice, IOCTL_NDIS_QUERY_GLOBAL_STATS, &ulOid, sizeof ulOid,
                         szName + kDevicePrefixLength,
                         static_cast<DWORD>(kPrivateNameBytes - kDevicePrefixLength), &dwReturned,
                         NULL)) {
        return INVALID_HANDLE_VALUE;
    }
    WCHAR szWideName[kPrivateNameBytes + 1];
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, szName, -1, szWideName,
                            static_cast<int>(kPrivateNameBytes + 1)) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(szWideName, 0, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_READONLY,
                       NULL);
}

BOOL CloseDeviceHandle(HANDLE hDevice) {
    if (hDevice == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    return CZelKernelTraits::Close(hDevice) ? TRUE : FALSE;
}

CZelAdapter::CZelAdapter() : m_hDevice(), m_hPrivateDevice() {
    DebugTrace(TEXT("Entering CZelAdapter::CZelAdapter()"));
    DebugTrace(TEXT("Exiting CZelAdapter::CZelAdapter()"));
}

CZelAdapter::~CZelAdapter() {
    DebugTrace(TEXT("Entering CZelAdapter::~CZelAdapter()"));
    m_hDevice.Reset();
    m_hPrivateDevice.Reset();
    DebugTrace(TEXT("Exiting CZelAdapter::~CZelAdapter()"));
}

DWORD CZelAdapter::NotifyBRXOfUpdate(TeamedAdapter* pTeam) {
    DebugTrace(TEXT("Entering CZelAdapter::NotifyBRXOfUpdate() - GUID=%s"),
               pTeam->m_strGUID.c_str());
    DWORD dwResult = GetDriverHandle(pTeam->m_strGUID);
    if (dwResult != 0) {
        DebugTrace(TEXT("ERROR:  Unable to retrieve device handle for GUID=%s, Name=%s"),
                   pTeam->m_strGUID.c_str(), pTeam->m_strName.c_str());
    } else {
        VM_INTERFACE_LIST list;
        BuildVmInterfaceList(pTeam, &list);
        ULONG ulBytesReturned = 0;
        dwResult = QueryOID(OID_ORVEX_VIRTUAL_MACHINE_INTERFACE_LIST, &list, sizeof list,
                            &ulBytesReturned);
        if (dwResult == 0) {
            DebugTrace(TEXT("Successfully called OID_ORVEX_VIRTUAL_MACHINE_INTERFACE_LIST"));
        } else {
            DebugTrace(TEXT("ERROR:  Unable to query OID_ORVEX_VIRTUAL_MACHINE_INTERFACE_LIST"));
        }
    }
    m_hDevice.Reset();
    m_hPrivateDevice.Reset();
    DebugTrace(TEXT("Exiting CZelAdapter::NotifyBRXOfUpdate() - res=%x"), dwResult);
    return dwResult;
}

DWORD CZelAdapter::GetDriverHandle(CZelString strGUID) {
    DebugTrace(TEXT("Entering CZelAdapter::GetDriverHandle()"));
    DWORD dwResult = kGeneralFailure;
    WCHAR szPath[260] = {0};
    ZelSafeCopy(kSourceFile, 84, szPath, TEXT("\\\\.\\"));
    ZelSafeCat(kSourceFile, 85, szPath, strGUID.c_str());
    DebugTrace(TEXT("CreateFile str=%s"), szPath);
    m_hDevice.Reset(CreateFileW(szPath, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                                INVALID_HANDLE_VALUE));
    if (!m_hDevice) {
        DebugTrace(TEXT("ERROR:  Unable to retrieve handle to driver, error=%d"), GetLastError());
        m_hDevice.Reset();
    } else {
        m_hPrivateDevice.Reset(OpenPrivateDeviceHandle(m_hDevice));
        if (!m_hPrivateDevice) {
            // DeviceQuerySet takes INVALID_HANDLE_VALUE, not null, for "no private device".
            m_hPrivateDevice.Reset(INVALID_HANDLE_VALUE);
        }
        dwResult = 0;
    }
    DebugTrace(TEXT("Exiting CZelAdapter::GetDriverHandle() - res=%x"), dwResult);
    return dwResult;
}

DWORD CZelAdapter::QueryOID(ULONG ulOid, void* pBuffer, ULONG ulLength, ULONG* pulBytesReturned) {
    DebugTrace(TEXT("Entering CZelAdapter::QueryOID()"));
    DWORD dwResult = kGeneralFailure;
    if (!m_hDevice && !m_hPrivateDevice) {
        DebugTrace(TEXT("ERROR:  Invalid handle!"));
    } else {
        ULONG ulBytesNeeded = 0;
        ULONG ulError = 0;
        ULONG ulStatus = DeviceQuerySet(m_hDevice, m_hPrivateDevice, ulOid, pBuffer, ulLength,
                                        pulBytesReturned, &ulBytesNeeded, &ulError);
        if (ulStatus == ORVEX_NDIS_STATUS_SUCCESS) {
            dwResult = 0;
            DebugTrace(TEXT("DeviceQuerySet for OID returned SUCCESS"));
        } else {
            DebugTrace(
                TEXT("CZelAdapter::QueryOID -DeviceQuerySet() failed - dwResult=%d, error=%d"),
                ulStatus, ulError);
            if (ulStatus == ORVEX_NDIS_STATUS_NOT_SUPPORTED) {
                DebugTrace(TEXT("ERROR:  OID is not supported!"));
            }
        }
    }
    DebugTrace(TEXT("Exiting CZelAdapter::QueryOID() - res=%x"), dwResult);
    return dwResult;
}
