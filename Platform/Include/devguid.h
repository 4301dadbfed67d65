// Setup classes of devices. Defined here in every translation unit (a C++17 inline variable), as
// INITGUID or the uuid library provides them on Windows.
#pragma once

#include "guiddef.h"

inline constexpr GUID GUID_DEVCLASS_NET = {
    0x4d36e972, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
