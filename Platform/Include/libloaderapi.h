// Modules: the executable itself and the system libraries every process has loaded.
#pragma once

#include "windef.h"

typedef intptr_t INT_PTR;
typedef INT_PTR(WINAPI* FARPROC)();

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
