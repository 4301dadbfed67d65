// The process's current directory.
#pragma once

#include "windef.h"

DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer);
