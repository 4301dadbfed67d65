// The wide printf engine on formats built from arbitrary bytes: literal text mixed with the
// directives the product uses. Whatever the format, a buffer too small for the output holds its
// first characters and the call says it was cut (-1), and one of exactly the output's size holds
// it all without a terminator, as the Microsoft runtime does.
#include <stdio.h>
#include <wchar.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char16_t kWide[] = u"Team A \u00e9";
const char kNarrow[] = "Team B";

// Every argument is passed in a 64-bit slot; the integer directives read their low half, as
// x86-64 passes them.
struct Directive {
    const char16_t* text;
    uint64_t argument;
};

const Directive kDirectives[] = {{u"%d", static_cast<uint64_t>(-42)},
                                 {u"%u", 4000000000u},
                                 {u"%x", 0xBEEF},
                                 {u"%08X", 0x1A2B},
                                 {u"%02.2d", 7},
                                 {u"%03.3d", 42},
                                 {u"%I64X", 0x2F3A4B5C6DULL},
                                 {u"%s", 0},
                                 {u"%-12s", 0},
                                 {u"%.3s", 0},
                                 {u"%c", u'Z'},
                                 {u"%%", 0},
                                 {u"%5d", 123456},
                                 {u"%ld", 99},
                                 {u"%S", 0}};
const size_t kMaxArguments = 6;

int PrintList(char16_t* buffer, size_t count, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    int result = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return result;
}

int Print(char16_t* buffer, size_t count, const std::u16string& format, const uint64_t* a) {
    return PrintList(buffer, count, format.c_str(), a[0], a[1], a[2], a[3], a[4], a[5]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string format;
    uint64_t arguments[kMaxArguments] = {};
    size_t used = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] < 0xF0 || used == kMaxArguments) {
            char16_t c = data[i] == '%' ? u'?' : static_cast<char16_t>(data[i] ? data[i] : ' ');
            format += c;
            continue;
        }
        const Directive& d =
            kDirectives[(data[i] - 0xF0) % (sizeof kDirectives / sizeof *kDirectives)];
        format += d.text;
        char16_t kind = d.text[std::char_traits<char16_t>::length(d.text) - 1];
        if (kind == u'%') {
            continue;  // takes no argument
        }
        arguments[used++] = kind == u's'   ? reinterpret_cast<uint64_t>(kWide)
                            : kind == u'S' ? reinterpret_cast<uint64_t>(kNarrow)
                                           : d.argument;
    }
    std::vector<char16_t> whole(format.size() * 4 + 64 * kMaxArguments + 1);
    int length = Print(whole.data(), whole.size(), format, arguments);
    if (length < 0 || static_cast<size_t>(length) >= whole.size() || whole[length] != 0) {
        std::abort();
    }
    for (size_t count : {size_t(0), static_cast<size_t>(length) / 2, static_cast<size_t>(length)}) {
        std::vector<char16_t> part(count + 1, u'#');
        int result = Print(part.data(), count, format, arguments);
        bool cut = count < static_cast<size_t>(length);
        if (result != (cut ? -1 : length) || part[count] != u'#' ||
            std::u16string(part.data(), count) != std::u16string(whole.data(), count)) {
            std::abort();
        }
    }
    return 0;
}
