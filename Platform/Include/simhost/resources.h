// What the simulated machine's loader takes in place of the resource section a Windows
// executable carries. Not part of the Windows API: a program built for the simulated machine
// hands its string table over before main, from a static constructor of its own.
#pragma once

#include "../windef.h"

typedef struct SIMHOST_STRING_RESOURCE {
    WORD wLanguage;  // LANGID; 0 is the neutral entry
    UINT uID;
    LPCWSTR pszText;
} SIMHOST_STRING_RESOURCE;

// The string table LoadStringW reads for the executable's own module. The table is not copied: it
// must be static data. Register it once, before the process starts threads; until then the
// executable has no string table.
void WINAPI SimHostRegisterStrings(const SIMHOST_STRING_RESOURCE* pStrings, UINT cStrings);
