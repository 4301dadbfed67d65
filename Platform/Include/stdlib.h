// The Microsoft C runtime's additions to <stdlib.h>: error numbers as a type, _TRUNCATE and the
// process-wide invalid-parameter handler that the bounded functions call before they fail.
#pragma once

#include_next <stdlib.h>

#ifdef __cplusplus

#include <stddef.h>
#include <stdint.h>

typedef int errno_t;
#ifndef _TRUNCATE
#define _TRUNCATE ((size_t)-1)
#endif

// Called with null texts and line 0, as a release runtime calls it. With none installed an
// invalid parameter ends the process.
typedef void (*_invalid_parameter_handler)(const char16_t* expression, const char16_t* function,
                                           const char16_t* file, unsigned int line,
                                           uintptr_t pReserved);

// Returns the handler installed before.
_invalid_parameter_handler _set_invalid_parameter_handler(_invalid_parameter_handler pNew);

int _wtoi(const char16_t* str);

#endif  // __cplusplus
