// GUIDs with the SDK's names: the type, its reference forms, DEFINE_GUID and the comparisons.
#pragma once

#include "windef.h"

#include <string.h>

typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
typedef GUID IID;
typedef IID* LPIID;
typedef GUID CLSID;
typedef CLSID* LPCLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

// One definition in every translation unit that includes it, whether or not INITGUID is defined:
// the C++17 inline variable does what the SDK needs INITGUID (or a uuid library) for.
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

inline int IsEqualGUID(REFGUID rguid1, REFGUID rguid2) {
    return memcmp(&rguid1, &rguid2, sizeof(GUID)) == 0;
}
inline int InlineIsEqualGUID(REFGUID rguid1, REFGUID rguid2) {
    return IsEqualGUID(rguid1, rguid2);
}
#define IsEqualIID(riid1, riid2) IsEqualGUID(riid1, riid2)
#define IsEqualCLSID(rclsid1, rclsid2) IsEqualGUID(rclsid1, rclsid2)

inline bool operator==(REFGUID guidOne, REFGUID guidOther) {
    return IsEqualGUID(guidOne, guidOther) != 0;
}
inline bool operator!=(REFGUID guidOne, REFGUID guidOther) {
    return !(guidOne == guidOther);
}
