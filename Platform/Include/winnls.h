// National-language support: code pages.
#pragma once

#include "windef.h"
#include "winnt.h"

typedef const CHAR* LPCCH;
typedef const WCHAR* LPCWCH;

#define CP_ACP 0
#define CP_THREAD_ACP 3
#define CP_UTF8 65001

typedef DWORD LCTYPE;

#define LOCALE_IDEFAULTANSICODEPAGE 0x00001004

UINT WINAPI GetACP(void);

// Locale information; the machine answers LOCALE_IDEFAULTANSICODEPAGE of the locales it knows.
int WINAPI GetLocaleInfoW(LCID Locale, LCTYPE LCType, LPWSTR lpLCData, int cchData);

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar);
