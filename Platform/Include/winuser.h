// User-interface resources: the string tables of a module.
#pragma once

#include "windef.h"

int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
