// The runtime's plain wide-string functions for WCHAR.
#include "Win32/CrtInternal.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

WCHAR LowerAscii(WCHAR c) {
    return c >= u'A' && c <= u'Z' ? WCHAR(c + (u'a' - u'A')) : c;
}
WCHAR UpperAscii(WCHAR c) {
    return c >= u'a' && c <= u'z' ? WCHAR(c - (u'a' - u'A')) : c;
}

bool StartsWith(const WCHAR* str, const WCHAR* prefix) {
    for (; *prefix; ++str, ++prefix) {
        if (*str != *prefix) {
            return false;
        }
    }
    return true;
}

// The first unit of `str` that is `c` or the terminator. The trace measures and searches every
// line, so eight units a step from 16-byte aligned blocks: a block never crosses a page, and the
// units it holds before `str` or past the terminator can be read, though they belong to no object
// of ours (the sanitizers are told).
__attribute__((no_sanitize("address", "thread"))) const WCHAR* FindOrEnd(const WCHAR* str,
                                                                         WCHAR c) {
    using Block = uint16_t __attribute__((vector_size(16), may_alias));
    const Block zero = {};
    const Block wanted = {c, c, c, c, c, c, c, c};
    const WCHAR* block = reinterpret_cast<const WCHAR*>(uintptr_t(str) & ~uintptr_t(15));
    // The first block's units before `str` do not count: bits of the two halves to look at.
    unsigned skip = unsigned(str - block) * 16;
    uint64_t low = skip < 64 ? ~0ULL << skip : 0;
    uint64_t high = skip < 64 ? ~0ULL : ~0ULL << (skip - 64);
    for (;; block += 8, low = high = ~0ULL) {
        Block units = *reinterpret_cast<const Block*>(block);
        auto hits = (units == zero) | (units == wanted);  // each unit's 16 bits all set or clear
        uint64_t halves[2];
        memcpy(halves, &hits, sizeof halves);
        if ((halves[0] & low) != 0) {
            return block + __builtin_ctzll(halves[0] & low) / 16;
        }
        if ((halves[1] & high) != 0) {
            return block + 4 + __builtin_ctzll(halves[1] & high) / 16;
        }
    }
}

}  // namespace

size_t wcslen(const WCHAR* str) {
    return size_t(FindOrEnd(str, 0) - str);
}

const WCHAR* wcschr(const WCHAR* str, WCHAR c) {
    const WCHAR* found = FindOrEnd(str, c);
    return *found == c ? found : nullptr;
}

WCHAR* wcschr(WCHAR* str, WCHAR c) {
    return const_cast<WCHAR*>(wcschr(const_cast<const WCHAR*>(str), c));
}

const WCHAR* wcsrchr(const WCHAR* str, WCHAR c) {
    const WCHAR* found = nullptr;
    for (;; ++str) {
        if (*str == c) {
            found = str;
        }
        if (!*str) {
            return found;
        }
    }
}

WCHAR* wcsrchr(WCHAR* str, WCHAR c) {
    return const_cast<WCHAR*>(wcsrchr(const_cast<const WCHAR*>(str), c));
}

const WCHAR* wcsstr(const WCHAR* str, const WCHAR* strSearch) {
    size_t length = wcslen(strSearch);
    for (; *str; ++str) {
        if (StartsWith(str, strSearch)) {
            return str;
        }
    }
    return length == 0 ? str : nullptr;
}

WCHAR* wcsstr(WCHAR* str, const WCHAR* strSearch) {
    return const_cast<WCHAR*>(wcsstr(const_cast<const WCHAR*>(str), strSearch));
}

int _wcsicmp(const WCHAR* string1, const WCHAR* string2) {
    for (size_t i = 0;; ++i) {
        WCHAR a = LowerAscii(string1[i]);
        WCHAR b = LowerAscii(string2[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
        if (!a) {
            return 0;
        }
    }
}

WCHAR* _wcslwr(WCHAR* str) {
    for (WCHAR* p = str; *p; ++p) {
        *p = LowerAscii(*p);
    }
    return str;
}

WCHAR* _wcsupr(WCHAR* str) {
    for (WCHAR* p = str; *p; ++p) {
        *p = UpperAscii(*p);
    }
    return str;
}

// As atoi: leading white space, a sign, decimal digits; out of range gives INT_MAX or INT_MIN
// with errno ERANGE.
int _wtoi(const WCHAR* str) {
    if (!str) {
        crt::InvalidParameter(EINVAL);
        return 0;
    }
    while (*str == u' ' || (*str >= u'\t' && *str <= u'\r')) {
        ++str;
    }
    bool negative = *str == u'-';
    if (*str == u'-' || *str == u'+') {
        ++str;
    }
    const long long limit = negative ? 2147483648LL : 2147483647LL;
    long long value = 0;
    bool overflow = false;
    for (; *str >= u'0' && *str <= u'9'; ++str) {
        value = value * 10 + (*str - u'0');
        if (value > limit) {
            value = limit;
            overflow = true;
        }
    }
    if (overflow) {
        errno = ERANGE;
    }
    return int(negative ? -value : value);
}
