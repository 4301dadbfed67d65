// Modules: the executable itself, the system libraries every process has loaded, and the
// libraries the machine's disk holds.
#pragma once

#include "windef.h"

typedef intptr_t INT_PTR;
typedef INT_PTR(WINAPI* FARPROC)();

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
