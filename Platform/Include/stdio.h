// The Microsoft C runtime's wide formatted output and wide file opening for WCHAR (char16_t),
// beside the C library's own. In a wide format %s takes a wide string and %S a narrow one; a
// stream opened in text mode by _wfopen gets narrow text in the machine's ANSI code page with
// "\n" written as "\r\n".
#pragma once

#include_next <stdio.h>

#ifdef __cplusplus

#include <stdarg.h>
#include <stddef.h>

typedef int errno_t;
#ifndef _TRUNCATE
#define _TRUNCATE ((size_t)-1)
#endif

// Unbounded by a buffer size: -1 and no terminator when the text does not fit in `count`.
int _vsnwprintf(char16_t* buffer, size_t count, const char16_t* format, va_list argptr);

// Bounded: at most `count` characters (or as many as fit, with _TRUNCATE), always terminated;
// -1 when cut. Text that overflows the buffer itself is an invalid parameter (ERANGE).
int _vsnwprintf_s(char16_t* buffer, size_t sizeOfBuffer, size_t count, const char16_t* format,
                  va_list argptr);
int _snwprintf_s(char16_t* buffer, size_t sizeOfBuffer, size_t count, const char16_t* format, ...);
int vswprintf_s(char16_t* buffer, size_t numberOfElements, const char16_t* format, va_list argptr);
int swprintf_s(char16_t* buffer, size_t sizeOfBuffer, const char16_t* format, ...);

template <size_t size>
int _vsnwprintf_s(char16_t (&buffer)[size], size_t count, const char16_t* format, va_list argptr) {
    return _vsnwprintf_s(buffer, size, count, format, argptr);
}
template <size_t size>
int _snwprintf_s(char16_t (&buffer)[size], size_t count, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    int result = _vsnwprintf_s(buffer, size, count, format, args);
    va_end(args);
    return result;
}
template <size_t size>
int swprintf_s(char16_t (&buffer)[size], const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    int result = vswprintf_s(buffer, size, format, args);
    va_end(args);
    return result;
}

int fwprintf(FILE* stream, const char16_t* format, ...);

FILE* _wfopen(const char16_t* filename, const char16_t* mode);
int _fileno(FILE* stream);

#endif  // __cplusplus
