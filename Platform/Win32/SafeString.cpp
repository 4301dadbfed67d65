// The bounded string copies and the process-wide invalid-parameter handler they report to.
#include "Win32/CrtInternal.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <atomic>

namespace {

// Constant-initialised: usable from any static constructor or destructor.
std::atomic<_invalid_parameter_handler> g_handler{nullptr};

errno_t Fail(WCHAR* dest, int errorNumber) {
    if (dest) {
        dest[0] = 0;
    }
    crt::InvalidParameter(errorNumber);
    return errorNumber;
}

}  // namespace

namespace crt {

void InvalidParameter(int errorNumber) {
    errno = errorNumber;
    _invalid_parameter_handler handler = g_handler.load();
    if (!handler) {
        // The real runtime ends the process here too (without a message); a message at least
        // tells the developer why.
        fputs(
            "Invalid parameter passed to a C runtime function; no invalid-parameter handler "
            "installed: ending the process.\n",
            stderr);
        abort();
    }
    handler(nullptr, nullptr, nullptr, 0, 0);
}

}  // namespace crt

_invalid_parameter_handler _set_invalid_parameter_handler(_invalid_parameter_handler pNew) {
    return g_handler.exchange(pNew);
}

errno_t wcscpy_s(WCHAR* dest, size_t destSize, const WCHAR* src) {
    if (!dest || destSize == 0) {
        return Fail(nullptr, EINVAL);
    }
    if (!src) {
        return Fail(dest, EINVAL);
    }
    for (size_t i = 0; i < destSize; ++i) {
        dest[i] = src[i];
        if (!src[i]) {
            return 0;
        }
    }
    return Fail(dest, ERANGE);
}

errno_t wcscat_s(WCHAR* dest, size_t destSize, const WCHAR* src) {
    if (!dest || destSize == 0) {
        return Fail(nullptr, EINVAL);
    }
    if (!src) {
        return Fail(dest, EINVAL);
    }
    size_t end = 0;
    while (end < destSize && dest[end]) {
        ++end;
    }
    if (end == destSize) {
        return Fail(dest, EINVAL);  // the destination holds no terminator
    }
    for (size_t i = 0; end + i < destSize; ++i) {
        dest[end + i] = src[i];
        if (!src[i]) {
            return 0;
        }
    }
    return Fail(dest, ERANGE);
}
