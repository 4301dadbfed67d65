// The NDIS query interface that user mode reaches through an adapter's device.
#pragma once

#include "windef.h"
#include "winioctl.h"

typedef int NDIS_STATUS, *PNDIS_STATUS;
typedef ULONG NDIS_OID, *PNDIS_OID;

#define _NDIS_CONTROL_CODE(request, method) \
    CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, request, method, FILE_ANY_ACCESS)
#define IOCTL_NDIS_QUERY_GLOBAL_STATS _NDIS_CONTROL_CODE(0, METHOD_OUT_DIRECT)
