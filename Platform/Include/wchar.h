// The Microsoft C runtime's wide-string functions for WCHAR (char16_t), declared beside the C
// library's wchar_t ones. Microsoft's <wchar.h> also carries the wide formatted output, so this
// one pulls in our <stdio.h>.
#pragma once

#include_next <wchar.h>

#ifdef __cplusplus

#include <stddef.h>
#include <stdio.h>

typedef int errno_t;
#ifndef _TRUNCATE
#define _TRUNCATE ((size_t)-1)
#endif

size_t wcslen(const char16_t* str);
const char16_t* wcschr(const char16_t* str, char16_t c);
char16_t* wcschr(char16_t* str, char16_t c);
const char16_t* wcsrchr(const char16_t* str, char16_t c);
char16_t* wcsrchr(char16_t* str, char16_t c);
const char16_t* wcsstr(const char16_t* str, const char16_t* strSearch);
char16_t* wcsstr(char16_t* str, const char16_t* strSearch);

// Case-insensitive for A-Z only: the runtime's "C" locale, which nothing here changes.
int _wcsicmp(const char16_t* string1, const char16_t* string2);
char16_t* _wcslwr(char16_t* str);
char16_t* _wcsupr(char16_t* str);

int _wtoi(const char16_t* str);

// 0, EINVAL (22) or ERANGE (34); both call the invalid-parameter handler before they return an
// error, and leave the destination empty whenever it can be written.
errno_t wcscpy_s(char16_t* dest, size_t destSize, const char16_t* src);
errno_t wcscat_s(char16_t* dest, size_t destSize, const char16_t* src);

template <size_t size>
errno_t wcscpy_s(char16_t (&dest)[size], const char16_t* src) {
    return wcscpy_s(dest, size, src);
}
template <size_t size>
errno_t wcscat_s(char16_t (&dest)[size], const char16_t* src) {
    return wcscat_s(dest, size, src);
}

#endif  // __cplusplus
