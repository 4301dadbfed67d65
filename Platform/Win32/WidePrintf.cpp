// The wide printf engine, reading formats the way the Microsoft runtime reads them, and the
// counted and bounded wide sprintf functions on top of it.
//
// Differences from the C library worth knowing: in a wide format %s and %c take wide arguments
// and %S, %C, %hs, %hc narrow ones (narrow text goes through the ANSI code page); l is 32 bits;
// I, I32 and I64 are size prefixes; a null string prints "(null)" (cut by the precision); the 0
// flag pads strings and characters too. Only the conversions the product formats are here: the
// floating-point ones, %p, %n and %a count as an unknown conversion.
#include "Win32/CrtInternal.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

namespace {

enum class Size { None, Char, Short, Long, LongLong, Pointer, Wide };

struct FieldFormat {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1;  // none given
    Size size = Size::None;
};

class Writer {
public:
    explicit Writer(crt::WideSink& sink) : m_sink(sink) {}

    // Copies literal text up to the next % or the end; returns where it stopped.
    const WCHAR* Literal(const WCHAR* p) {
        const WCHAR* end = p;
        // % and the terminator sort below letters, digits and most punctuation: one comparison
        // per character of ordinary text.
        while (*end > u'%' || (*end != u'%' && *end != 0)) {
            ++end;
        }
        Text(p, size_t(end - p));
        return end;
    }
    void Text(const WCHAR* text, size_t length) {
        if (length) {
            m_sink.Put(text, length);
            m_count += long(length);
        }
    }
    void Repeat(WCHAR c, long times) {
        static const WCHAR kSpaces[] = u"                                ";
        static const WCHAR kZeros[] = u"00000000000000000000000000000000";
        const long kBlock = long(sizeof kSpaces / sizeof *kSpaces - 1);
        for (; times > 0; times -= kBlock) {
            Text(c == u' ' ? kSpaces : kZeros, size_t(times < kBlock ? times : kBlock));
        }
    }
    // `prefix` (sign, 0x) then `body`, padded to the width.
    void Field(const FieldFormat& field, const WCHAR* prefix, size_t prefixLength,
               const WCHAR* body, size_t bodyLength, bool zeroPad) {
        long pad = long(field.width) - long(prefixLength + bodyLength);
        if (!field.left && !zeroPad) {
            Repeat(u' ', pad);
        }
        Text(prefix, prefixLength);
        if (!field.left && zeroPad) {
            Repeat(u'0', pad);
        }
        Text(body, bodyLength);
        if (field.left) {
            Repeat(u' ', pad);
        }
    }
    long Count() const { return m_count; }

private:
    crt::WideSink& m_sink;
    long m_count = 0;
};

size_t BoundedLength(const WCHAR* text, int precision) {
    size_t length = 0;
    if (precision < 0) {
        while (text[length]) {
            ++length;
        }
        return length;
    }
    while (length < size_t(precision) && text[length]) {
        ++length;
    }
    return length;
}

// Writes the digits of `value` backwards from `end`; returns where they start (at `end` for 0).
WCHAR* Digits(unsigned long long value, WCHAR conversion, WCHAR* end) {
    const char* digitSet = conversion == u'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    WCHAR* p = end;
    if (conversion == u'x' || conversion == u'X') {
        for (; value; value >>= 4) {
            *--p = WCHAR(digitSet[value & 15]);
        }
    } else if (conversion == u'o') {
        for (; value; value >>= 3) {
            *--p = WCHAR(u'0' + (value & 7));
        }
    } else {
        for (; value > 0xFFFFFFFF; value /= 10) {
            *--p = WCHAR(u'0' + value % 10);
        }
        for (unsigned small = unsigned(value); small; small /= 10) {
            *--p = WCHAR(u'0' + small % 10);
        }
    }
    return p;
}

void Integer(Writer& out, const FieldFormat& field, WCHAR conversion, va_list* args) {
    bool isSigned = conversion == u'd' || conversion == u'i';
    unsigned long long magnitude = 0;
    bool negative = false;
    if (isSigned) {
        long long value;
        switch (field.size) {
            case Size::Char:
                value = static_cast<signed char>(va_arg(*args, int));
                break;
            case Size::Short:
                value = static_cast<short>(va_arg(*args, int));
                break;
            case Size::LongLong:
                value = va_arg(*args, long long);
                break;
            case Size::Pointer:
                value = va_arg(*args, intptr_t);
                break;
            default:
                value = va_arg(*args, int);
                break;  // l is 32 bits, as on Windows
        }
        negative = value < 0;
        magnitude = negative ? 0ULL - static_cast<unsigned long long>(value) : value;
    } else {
        switch (field.size) {
            case Size::Char:
                magnitude = static_cast<unsigned char>(va_arg(*args, unsigned));
                break;
            case Size::Short:
                magnitude = static_cast<unsigned short>(va_arg(*args, unsigned));
                break;
            case Size::LongLong:
                magnitude = va_arg(*args, unsigned long long);
                break;
            case Size::Pointer:
                magnitude = va_arg(*args, uintptr_t);
                break;
            default:
                magnitude = va_arg(*args, unsigned);
                break;
        }
    }

    // The precision's zeros stop at the buffer's size.
    WCHAR buffer[32];
    WCHAR* end = buffer + sizeof buffer / sizeof *buffer;
    WCHAR* digits = Digits(magnitude, conversion, end);
    size_t minimum = field.precision < 0 ? 1 : size_t(field.precision);
    while (size_t(end - digits) < minimum && digits > buffer) {
        *--digits = u'0';
    }
    if (conversion == u'o' && field.alternate && (digits == end || *digits != u'0')) {
        *--digits = u'0';
    }

    WCHAR prefix[2];
    size_t prefixLength = 0;
    if (isSigned) {
        if (negative) {
            prefix[prefixLength++] = u'-';
        } else if (field.plus) {
            prefix[prefixLength++] = u'+';
        } else if (field.space) {
            prefix[prefixLength++] = u' ';
        }
    } else if ((conversion == u'x' || conversion == u'X') && field.alternate && magnitude != 0) {
        prefix[prefixLength++] = u'0';
        prefix[prefixLength++] = conversion;
    }
    // A precision turns the 0 flag off for integers.
    out.Field(field, prefix, prefixLength, digits, size_t(end - digits),
              field.zero && field.precision < 0);
}

void String(Writer& out, const FieldFormat& field, bool wide, va_list* args) {
    static const WCHAR kNull[] = u"(null)";
    if (wide) {
        const WCHAR* text = va_arg(*args, const WCHAR*);
        if (!text) {
            text = kNull;
        }
        out.Field(field, nullptr, 0, text, BoundedLength(text, field.precision), field.zero);
        return;
    }
    const char* text = va_arg(*args, const char*);
    if (!text) {
        text = "(null)";
    }
    // The precision counts the narrow string's bytes.
    size_t length = 0;
    while ((field.precision < 0 || length < size_t(field.precision)) && text[length]) {
        ++length;
    }
    std::u16string converted = crt::AnsiToWide(text, length);
    out.Field(field, nullptr, 0, converted.data(), converted.size(), field.zero);
}

void Character(Writer& out, const FieldFormat& field, bool wide, va_list* args) {
    int value = va_arg(*args, int);
    if (wide) {
        WCHAR c = WCHAR(value);
        out.Field(field, nullptr, 0, &c, 1, field.zero);
        return;
    }
    char narrow = char(value);
    std::u16string converted = crt::AnsiToWide(&narrow, 1);
    out.Field(field, nullptr, 0, converted.data(), converted.size(), field.zero);
}

const WCHAR* ReadNumber(const WCHAR* p, int* value) {
    long number = 0;
    for (; *p >= u'0' && *p <= u'9'; ++p) {
        number = number * 10 + (*p - u'0');
        if (number > 0x7FFFFFFF) {
            number = 0x7FFFFFFF;
        }
    }
    *value = int(number);
    return p;
}

// Reads the size prefix at `p`; returns the position after it.
const WCHAR* ReadSize(const WCHAR* p, Size* size) {
    switch (*p) {
        case u'h':
            if (p[1] == u'h') {
                *size = Size::Char;
                return p + 2;
            }
            *size = Size::Short;
            return p + 1;
        case u'l':
            if (p[1] == u'l') {
                *size = Size::LongLong;
                return p + 2;
            }
            *size = Size::Long;
            return p + 1;
        case u'w':
            *size = Size::Wide;
            return p + 1;
        case u'L':
            return p + 1;  // a long double's prefix: no conversion left reads one
        case u'j':
            *size = Size::LongLong;
            return p + 1;
        case u'z':
        case u't':
            *size = Size::Pointer;
            return p + 1;
        case u'I':
            if (p[1] == u'6' && p[2] == u'4') {
                *size = Size::LongLong;
                return p + 3;
            }
            if (p[1] == u'3' && p[2] == u'2') {
                *size = Size::Long;
                return p + 3;
            }
            *size = Size::Pointer;
            return p + 1;
        default:
            return p;
    }
}

}  // namespace

namespace crt {

long FormatWide(WideSink& sink, const WCHAR* format, va_list argsIn) {
    va_list args;
    va_copy(args, argsIn);
    Writer out(sink);
    for (const WCHAR* p = format; *p;) {
        if (*p != u'%') {
            p = out.Literal(p);
            continue;
        }
        ++p;
        FieldFormat field;
        for (;; ++p) {
            if (*p == u'-')
                field.left = true;
            else if (*p == u'+')
                field.plus = true;
            else if (*p == u' ')
                field.space = true;
            else if (*p == u'#')
                field.alternate = true;
            else if (*p == u'0')
                field.zero = true;
            else
                break;
        }
        if (*p == u'*') {
            field.width = va_arg(args, int);
            if (field.width < 0) {
                field.left = true;
                field.width = field.width == INT32_MIN ? INT32_MAX : -field.width;
            }
            ++p;
        } else {
            p = ReadNumber(p, &field.width);
        }
        if (*p == u'.') {
            ++p;
            if (*p == u'*') {
                field.precision = va_arg(args, int);
                if (field.precision < 0) {
                    field.precision = -1;
                }
                ++p;
            } else {
                p = ReadNumber(p, &field.precision);
            }
        }
        p = ReadSize(p, &field.size);
        WCHAR conversion = *p ? *p++ : 0;
        bool narrowSize = field.size == Size::Short;
        bool wideSize = field.size == Size::Long || field.size == Size::Wide;
        switch (conversion) {
            case u'%':
                out.Text(&conversion, 1);
                break;
            case u'd':
            case u'i':
            case u'u':
            case u'o':
            case u'x':
            case u'X':
                Integer(out, field, conversion, &args);
                break;
            case u's':
                String(out, field, !narrowSize, &args);
                break;
            case u'S':
                String(out, field, wideSize, &args);
                break;
            case u'c':
                Character(out, field, !narrowSize, &args);
                break;
            case u'C':
                Character(out, field, wideSize, &args);
                break;
            default:
                va_end(args);
                InvalidParameter(EINVAL);
                return -1;
        }
    }
    va_end(args);
    return out.Count();
}

}  // namespace crt

namespace {

// Keeps the first `capacity` characters, counting all.
class BufferSink final : public crt::WideSink {
public:
    BufferSink(WCHAR* buffer, size_t capacity) : m_buffer(buffer), m_capacity(capacity) {}
    void Put(const WCHAR* text, size_t length) override {
        size_t room = m_capacity - m_used;
        size_t kept = length < room ? length : room;
        if (kept) {  // a counting call has no buffer
            memcpy(m_buffer + m_used, text, kept * sizeof(WCHAR));
            m_used += kept;
        }
    }

private:
    WCHAR* m_buffer;
    size_t m_capacity;
    size_t m_used = 0;
};

}  // namespace

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list argptr) {
    if (!format || (!buffer && count)) {
        crt::InvalidParameter(EINVAL);
        return -1;
    }
    BufferSink sink(buffer, count);
    long length = crt::FormatWide(sink, format, argptr);
    if (length < 0) {
        return -1;
    }
    if (size_t(length) < count) {
        buffer[length] = 0;
    } else if (size_t(length) > count) {
        return -1;  // cut, and not terminated
    }
    return int(length);
}

int _vsnwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format,
                  va_list argptr) {
    if (!format) {
        crt::InvalidParameter(EINVAL);
        return -1;
    }
    if (!buffer && sizeOfBuffer == 0 && count == 0) {
        return 0;
    }
    if (!buffer || sizeOfBuffer == 0) {
        crt::InvalidParameter(EINVAL);
        return -1;
    }
    // A count below the buffer's size, or _TRUNCATE, cuts quietly; otherwise the text must fit.
    bool quiet = count < sizeOfBuffer || count == _TRUNCATE;
    size_t limit = count < sizeOfBuffer ? count : sizeOfBuffer - 1;
    BufferSink sink(buffer, limit);
    long length = crt::FormatWide(sink, format, argptr);
    if (length < 0) {
        buffer[0] = 0;
        return -1;
    }
    if (size_t(length) <= limit) {
        buffer[length] = 0;
        return int(length);
    }
    if (quiet) {
        buffer[limit] = 0;
        return -1;
    }
    buffer[0] = 0;
    crt::InvalidParameter(ERANGE);
    return -1;
}

int _snwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int result = _vsnwprintf_s(buffer, sizeOfBuffer, count, format, args);
    va_end(args);
    return result;
}

int vswprintf_s(WCHAR* buffer, size_t numberOfElements, const WCHAR* format, va_list argptr) {
    if (!format || !buffer || numberOfElements == 0) {
        if (buffer && numberOfElements) {
            buffer[0] = 0;
        }
        crt::InvalidParameter(EINVAL);
        return -1;
    }
    BufferSink sink(buffer, numberOfElements - 1);
    long length = crt::FormatWide(sink, format, argptr);
    if (length < 0) {
        buffer[0] = 0;
        return -1;
    }
    if (size_t(length) >= numberOfElements) {
        buffer[0] = 0;
        crt::InvalidParameter(ERANGE);
        return -1;
    }
    buffer[length] = 0;
    return int(length);
}

int swprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int result = vswprintf_s(buffer, sizeOfBuffer, format, args);
    va_end(args);
    return result;
}
