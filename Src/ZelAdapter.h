// CZelAdapter and the device routines that carry a VM interface list to the teaming driver: the
// team adapter's device is opened by its interface name, the driver names its private control
// device, and the list travels to it as a private OID request.
#pragma once

#include <windows.h>

#include <winioctl.h>

#include "TeamedAdapter.h"
#include "ZelScopedHandle.h"
#include "ZelString.h"

#define OID_ORVEX_VIRTUAL_MACHINE_INTERFACE_LIST 0xFF010101
// Asked of the team adapter's device: the private control device's name, 8-bit, zero-ended.
#define OID_ORVEX_PRIVATE_DEVICE_NAME 0xFF0201A9
// OIDs from here on are the driver's own and go through its private control device.
#define OID_ORVEX_PRIVATE_FIRST 0xFF000000

#define IOCTL_PRIVATE_OID_REQUEST \
    CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 0xA00, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define ORVEX_NDIS_STATUS_SUCCESS 0x00000000UL
#define ORVEX_NDIS_STATUS_FAILURE 0xC0000001UL
#define ORVEX_NDIS_STATUS_NOT_SUPPORTED 0xC00000BBUL

#define VM_INTERFACE_LIST_ENTRIES 260

#pragma pack(push, 1)
typedef struct _VM_INTERFACE_ENTRY {
    BYTE MacAddress[6];
    BYTE InUse;
    BYTE VlanValid;
    USHORT VlanId;
} VM_INTERFACE_ENTRY;

typedef struct _VM_INTERFACE_LIST {
    ULONG Marker;
    ULONG Count;
    VM_INTERFACE_ENTRY Entries[VM_INTERFACE_LIST_ENTRIES];
} VM_INTERFACE_LIST;

// Input and output of IOCTL_PRIVATE_OID_REQUEST: the header, then Data of the payload's length.
typedef struct _PRIVATE_OID_REQUEST {
    ULONG Oid;
    ULONG Status;
    ULONG Length;
    BYTE Data[1];
} PRIVATE_OID_REQUEST;
#pragma pack(pop)

#define PRIVATE_OID_REQUEST_HEADER_SIZE 12

static_assert(sizeof(VM_INTERFACE_ENTRY) == 10, "the driver reads 10-byte entries");
static_assert(sizeof(VM_INTERFACE_LIST) == 2608, "the driver reads a 2608-byte list");

class CZelAdapter {
public:
    CZelAdapter();
    virtual ~CZelAdapter();

    // 0 when the team's list was delivered, else 31.
    DWORD NotifyBRXOfUpdate(TeamedAdapter* pTeam);
    // Opens the team adapter's device and, where the driver names one, its private device.
    DWORD GetDriverHandle(CZelString strGUID);
    DWORD QueryOID(ULONG ulOid, void* pBuffer, ULONG ulLength, ULONG* pulBytesReturned);

private:
    CZelAdapter(const CZelAdapter&);
    CZelAdapter& operator=(const CZelAdapter&);

    CZelKernelHandle m_hDevice;         // 0 when not open
    CZelKernelHandle m_hPrivateDevice;  // 0 or INVALID_HANDLE_VALUE when not open
};

// Carries one OID request: private OIDs through the private device when there is one, every
// other request as an NDIS query on the adapter's device. Returns the NDIS status (the driver's,
// or ORVEX_NDIS_STATUS_FAILURE for a local failure) and leaves *pulError as the last error.
ULONG DeviceQuerySet(HANDLE hDevice, HANDLE hPrivateDevice, ULONG ulOid, void* pBuffer,
                     ULONG ulLength, ULONG* pulBytesReturned, ULONG* pulBytesNeeded,
                     ULONG* pulError);
HANDLE OpenPrivateDeviceHandle(HANDLE hDevice);
BOOL CloseDeviceHandle(HANDLE hDevice);

// The list as the driver reads it: every VM of the team in order, up to the list's room.
void BuildVmInterfaceList(const TeamedAdapter* pTeam, VM_INTERFACE_LIST* pList);
// A PRIVATE_OID_REQUEST of PRIVATE_OID_REQUEST_HEADER_SIZE + ulLength bytes, with Status and
// Length zero and a copy of the payload; free with delete[]. NULL when out of memory.
BYTE* NewPrivateOidRequest(ULONG ulOid, const void* pData, ULONG ulLength);
