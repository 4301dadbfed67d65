#include "Machine/Utf.h"

#include <utf8.h>

#include <iterator>

namespace sim {

namespace {

unsigned char Byte(const char* at) {
    return static_cast<unsigned char>(*at);
}

// How many bytes of a broken sequence one U+FFFD stands for: the longest start of it that could
// still have become a character, at least its first byte (Unicode's "maximal subpart", which
// Windows follows).
size_t BrokenLength(const char* at, size_t left) {
    unsigned char lead = Byte(at);
    size_t need = lead >= 0xC2 && lead <= 0xDF   ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 1;
    // The second byte's range also rules out overlong forms, surrogates and beyond U+10FFFF.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    size_t length = 1;
    for (; length < need && length < left; ++length, low = 0x80, high = 0xBF) {
        if (Byte(at + length) < low || Byte(at + length) > high) {
            break;
        }
    }
    return length;
}

// A surrogate written on its own as three bytes; 0 when `at` holds none.
char16_t EncodedSurrogate(const char* at, size_t left) {
    if (left < 3 || Byte(at) != 0xED || Byte(at + 1) < 0xA0 || Byte(at + 1) > 0xBF ||
        Byte(at + 2) < 0x80 || Byte(at + 2) > 0xBF) {
        return 0;
    }
    return static_cast<char16_t>(0xD000 | (Byte(at + 1) & 0x3F) << 6 | (Byte(at + 2) & 0x3F));
}

}  // namespace

size_t Utf8ToUtf16(std::string_view in, std::u16string& out, BrokenUtf broken) {
    const char* at = in.data();
    const char* end = at + in.size();
    while (at != end) {
        const char* bad = utf8::find_invalid(at, end);
        utf8::unchecked::utf8to16(at, bad, std::back_inserter(out));
        at = bad;
        if (at == end) {
            break;
        }
        char16_t surrogate = EncodedSurrogate(at, end - at);
        if (broken == BrokenUtf::Keep && surrogate != 0) {
            out.push_back(surrogate);
            at += 3;
        } else if (broken == BrokenUtf::Replace) {
            out.push_back(0xFFFD);
            at += BrokenLength(at, end - at);
        } else {
            return at - in.data();
        }
    }
    return in.size();
}

size_t Utf16ToUtf8(std::u16string_view in, std::string& out, BrokenUtf broken) {
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t c = in[i];
        if (IsHighSurrogate(c) && i + 1 < in.size() && IsLowSurrogate(in[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[++i] - 0xDC00);
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            c = broken == BrokenUtf::Replace ? 0xFFFD : c;
        }
        utf8::unchecked::append(c, std::back_inserter(out));
    }
    return in.size();
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    Utf8ToUtf16(utf8, out, BrokenUtf::Replace);
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16, BrokenUtf broken) {
    std::string out;
    Utf16ToUtf8(utf16, out, broken);
    return out;
}

}  // namespace sim
