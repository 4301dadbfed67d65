// Kernel functions: errors, threads, synchronisation, time, environment, debugging.
#pragma once

#include "windef.h"

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);
