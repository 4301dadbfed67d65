// Class identifiers of COM's own classes.
#pragma once

#include "guiddef.h"
#include "winnt.h"

DEFINE_GUID(CLSID_StdGlobalInterfaceTable, 0x00000323, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x00, 0x46);
